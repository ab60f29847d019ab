// Operator scripts: a text file of panel actions played through the real
// event loop from a thread of its own, as a person at the panel would.
//
//   # comment
//   set CONTROL VALUE     set a control (a switch or selector also fires its event)
//   press CONTROL         press a button and wait until its handler has run
//   post CONTROL          press a button and go on at once (a long read-out)
//   zoom GRAPH MIN MAX    show bins MIN..MAX of a spectrum graph ("zoom GRAPH full": all)
//   file PATH             answer the next file dialog with PATH ("file" alone: cancel)
//   wait SECONDS          pause
//   wait-run [SECONDS]    wait until no run is active (default bound 3600 s)
//   expect CONTROL VALUE  fail the script unless the control holds VALUE
//   screenshot PATH       save a picture of the panel
//   echo TEXT             print TEXT on the console
//   quit                  press P1_QUIT
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class ScriptRunner {
 public:
  ScriptRunner() = default;
  ~ScriptRunner() { join(); }
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  void start(const std::string& path);
  void join();
  bool failed() const { return failed_.load(); }

  // Saves a picture of the panel to a PNG file (set by the panel backend).
  static void set_screenshot_hook(std::function<bool(const std::string&)> hook);
  // Bound on one handler's run time before the script gives up on the station.
  static void set_press_timeout(double seconds);
  // Quit when the script ends without saying so (no one else would).
  static void set_quit_at_end(bool on);

 private:
  void run(std::string path);
  bool step(const std::string& line, int lineNo);
  std::thread thread_;
  std::atomic<bool> failed_{false};
};
