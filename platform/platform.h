// Panel, event, graph, dialog, timing and thread-pool services.
//
// Qt-free: device, protocol and acquisition code may call all of this. The
// control values live in a thread-safe cache here, so GetCtrlVal/SetCtrlVal
// work from any thread and without a window; a panel backend (platform/qt)
// mirrors the cache onto real widgets when one is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- panel and controls -------------------------------------------------

int LoadPanel(int parent, const char* file, int panelResource);
int DisplayPanel(int panel);
int DiscardPanel(int panel);

// Reads fill the whole variable; 0 on success, negative when the control
// is unknown to the panel.
int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, unsigned* value);
int GetCtrlVal(int panel, int control, float* value);
int GetCtrlVal(int panel, int control, double* value);
// Text: copies at most size-1 characters and always terminates.
int GetCtrlVal(int panel, int control, char* text, std::size_t size);
int GetCtrlVal(int panel, int control, std::string* text);

int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, unsigned value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* text);

enum : int {
  ATTR_MAX_VALUE = 730,
  ATTR_MIN_VALUE = 731,
  ATTR_YMAP_MODE = 1096,
};
enum : int { VAL_LINEAR = 0, VAL_LOG = 1 };

int SetCtrlAttribute(int panel, int control, int attribute, int value);
// Bounds the panel applies to a numeric control (set by the panel
// description or ATTR_MAX_VALUE); values set are clamped into them.
int GetCtrlAttribute(int panel, int control, int attribute, int* value);

// ---- events -------------------------------------------------------------

enum : int { EVENT_COMMIT = 2 };

// Blocks (wait != 0) until a control event or queued user event arrives.
// Returns the event number; 0 when wait == 0 and nothing is queued.
int GetUserEvent(int wait, int* panel, int* control);
int QueueUserEvent(int event, int panel, int control);
// An operator action on a control (button press, switch flip): what the
// panel backend and the operator scripts post. Returns the event's sequence
// number: it has been handled once EventsCompleted() reaches it.
std::uint64_t PostControlEvent(int panel, int control);
// Number of events GetUserEvent has handed out whose handlers have
// finished (the loop came back for the next event).
std::uint64_t EventsCompleted();
std::uint64_t EventsPosted();

// ---- graphs -------------------------------------------------------------

enum : int {
  VAL_CHAR = 0,
  VAL_INTEGER = 1,  // 32-bit signed
  VAL_THIN_LINE = 0,
  VAL_THICK_LINE = 3,
  VAL_NO_POINT = 0,
  VAL_SOLID = 0,
  VAL_IMMEDIATE_DRAW = 1,
  VAL_DELAYED_DRAW = 0,
};

// Draws array[0..n) against its index; returns a plot handle > 0, or a
// negative value. Only VAL_INTEGER is supported.
int PlotY(int panel, int graph, const void* array, std::size_t n, int type, int plotStyle,
          int pointStyle, int lineStyle, int pointFrequency, int color);
// PlotY of integer counts that hands the vector itself over instead of a
// copy: `bins` comes back the same size with unspecified contents (the
// graph's previous counts), ready for the next refresh to fill.
int PlotYVector(int panel, int graph, std::vector<std::int32_t>& bins, int color);
int DeleteGraphPlot(int panel, int graph, int plot, int refresh);
// Saves a picture of the graph as drawn to a PNG file. 0 on success;
// negative when there is no panel window to draw it (headless without a
// backend), the graph is unknown or the file cannot be written.
int SaveGraphImage(int panel, int graph, const char* path);

// Visible part of a graph's x axis. VAL_AUTOSCALE shows the whole
// spectrum; VAL_MANUAL the range [min, max] (bins). Without a panel window
// the range is only remembered.
enum : int { VAL_XAXIS = 0, VAL_MANUAL = 0, VAL_AUTOSCALE = 1 };
int SetAxisScalingMode(int panel, int graph, int axis, int mode, double min, double max);
int GetAxisScalingMode(int panel, int graph, int axis, int* mode, double* min, double* max);
// Draws y[i] against x[i] over the graph's spectrum (n 0 removes it).
int PlotOverlay(int panel, int graph, const double* x, const double* y, std::size_t n);

// ---- dialogs ------------------------------------------------------------

// 0 cancelled, 1 an existing file chosen (path written).
int FileSelectPopup(const char* defaultDir, const char* pattern, const char* typeList,
                    const char* title, int buttonLabel, int restrictDir, int restrictExt,
                    int allowCancel, int allowMakeDir, char* path, std::size_t pathSize);
// Positive when a file was chosen (path written), 0 when cancelled.
int FileSelectPopupEx(const char* defaultDir, const char* pattern, const char* typeList,
                      const char* title, int buttonLabel, int restrictDir, int restrictExt,
                      char* path, std::size_t pathSize);
// The next file dialog answers with this path instead of asking (operator
// scripts, tests). An empty path answers "cancelled".
void QueueFileSelection(const std::string& path);

// ---- console ------------------------------------------------------------

// Formatted output to standard output and the panel's console view.
void con_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void con_write(const std::string& text);
// Hands what standard output holds to the system (the event loop does this
// every 100 ms; a line is never held longer).
void con_flush();

// ---- files --------------------------------------------------------------

// Creates a file for binary writing, never over a regular file that is
// already there (nullptr with errno EEXIST then; checked and created in one
// step). A device such as /dev/null opens as with "wb".
std::FILE* fopen_new(const char* path);
// The newest console lines, for readers off the event loop (the monitor).
// Off until enabled, so a station nobody watches keeps no copy. A line is
// kept once its newline is written; lines are numbered from 1.
struct ConsoleLine {
  std::uint64_t seq;
  std::string text;  // without the newline
};
void con_history_enable(std::size_t lines);  // 0 turns it off and forgets
// Kept lines numbered above `since`, oldest first; *next (optional) is the
// number to ask from next time.
std::vector<ConsoleLine> con_history_since(std::uint64_t since, std::uint64_t* next = nullptr);

// ---- time, platform, random ---------------------------------------------

void Delay(double seconds);
void CVI_GetSystemTime(int* hours, int* minutes, int* seconds);
int GetCurrentPlatform();  // 0 on this system
void SetSleepPolicy(int policy);

// Fills y[0..n) with uniform numbers in [0,1]. A positive seed starts a new
// sequence; -1 continues the current one.
int Uniform(int n, int seed, double* y);

// ---- thread pool --------------------------------------------------------

using ThreadFunctionPtr = int (*)(void* functionData);

int CmtNewThreadPool(int maxThreads, int* poolHandle);
int CmtScheduleThreadPoolFunction(int poolHandle, ThreadFunctionPtr fn, void* data,
                                  int* functionId);
enum : int { OPT_TP_PROCESS_EVENTS_WHILE_WAITING = 1 };
// Returns when the function has returned; with option 1 the panel keeps
// repainting and its timer keeps running meanwhile (events stay queued).
int CmtWaitForThreadPoolFunctionCompletion(int poolHandle, int functionId, int options);
// The same wait for at most timeoutMs: 0 when the function has returned, 1
// when it is still running, -1 for an unknown function.
int CmtWaitForThreadPoolFunctionCompletionFor(int poolHandle, int functionId, int options,
                                              int timeoutMs);
int CmtReleaseThreadPoolFunctionID(int poolHandle, int functionId);
int CmtDiscardThreadPool(int poolHandle);
// Functions scheduled and not yet returned (tests, diagnostics).
int CmtRunningThreadPoolFunctions(int poolHandle);

// ---- control callbacks --------------------------------------------------

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
// The panel description names callbacks (the timer's cb_timer); the program
// registers them under those names before loading the panel.
void RegisterCtrlCallback(const char* name, CtrlCallbackPtr fn);
CtrlCallbackPtr FindCtrlCallback(const char* name);
