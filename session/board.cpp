// EASIROC board commands: connect, configure, probe, single events and the
// continuous read-out.
#include "board.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "backend.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
#include "sitcp.h"
#include "live_histograms.h"
#include "mdq_main.h"
#include "run_state.h"
#include "board_link.h"

namespace {

char iniFileBuff[260];
int transmitProbeCh = 0;
int transmitProbeType = 0;
char esrcDaqFile[256];
int esrcDaqNeve = 0;
int esrcADCreturn = 0;

// Progress of a continuous read-out on the panel; called on the read-out's
// worker (indicator updates are batched by the panel).
void daq_progress(const EasirocProgress& p, void*) {
  SetCtrlVal(p1h, P1_EVENT, int(p.framesWritten));
  char status[128];
  std::snprintf(status, sizeof status, "%s%lld frames, %lld bytes",
                p.finished ? "done: " : (p.draining ? "draining: " : ""), p.framesWritten,
                p.bytesWritten);
  SetCtrlVal(p1h, P1_ER_DAQ_STATUS, status);
}

// The read-out's worker, like a run's: scheduled by the button, it ends by
// itself and is collected at the next look.
int g_readoutId = 0;
std::atomic<bool> g_readoutActive{false};

int daq_worker(void*) {
  if (easiroc_fDAQ(esrcDaqFile, esrcDaqNeve) == 0) con_printf("\nEASIROC DAQ SUCESS\n");
  easiroc_set_progress_hook(nullptr, nullptr);
  g_readoutActive.store(false);
  return 0;
}

void reclaim_readout_worker() {
  if (g_readoutId && CmtReleaseThreadPoolFunctionID(poolHandle, g_readoutId) == 0) g_readoutId = 0;
}

}  // namespace

// Only a read-out going on is stopped: a stale request must not end the next one.
void board_request_stop() {
  if (board_readout_active()) easiroc::board().ForceStop = 1;
}

namespace {
int cb_er_daq_stop(int, int, int, void*, int, int) {
  board_request_stop();
  return 0;
}

// The board's own operations say what went wrong; the panel adds which
// command it was, so a failure never passes for done.
void say_if_failed(const char* command, int result) {
  if (result != 0) con_printf("%s failed (see above).\n", command);
}

// The connection has one user at a time: a command that talks to the board
// waits for no read-out and no run to be using it.
bool board_in_use(const char* command) {
  const char* user = board_readout_active() ? "the board read-out"
                     : run_state().active()   ? "a run"
                                              : nullptr;
  if (!user) return false;
  con_printf("%s refused: %s is using the board -- stop it first.\n", command, user);
  return true;
}
}  // namespace

void board_on_connect(int) {
  if (board_in_use("Connect")) return;
  if (easiroc_LoadIni(EASIROC_DEFAULT_INI) == 0) {
    std::string loaded;
    easiroc_ini_source(&loaded, nullptr);
    if (loaded.empty()) {
      // A board configured from an empty table is not a board to take data with.
      con_printf("Board not configured: no configuration loaded (%s cannot be read) -- load one "
                 "with the ini file button, then Connect.\n",
                 EASIROC_DEFAULT_INI);
      SetCtrlVal(p1h, P1_ER_DAQ_STATUS, "board NOT configured -- see console");
      return;
    }
    con_printf("Keeping the configuration loaded from %s.\n", loaded.c_str());
  }
  const char* address = board_link().host();
  // easiroc_Init has said what failed; the panel keeps the verdict in view.
  const bool ready = easiroc_Init(address, 3) == 0;
  SetCtrlVal(p1h, P1_ER_DAQ_STATUS, ready ? "board ready" : "board NOT configured -- see console");
}

void board_on_close(int) {
  if (!board_in_use("Close")) easiroc_Close();
}

void board_on_load_ini(int) {
  iniFileBuff[0] = '\0';
  if (FileSelectPopupEx("", "*.ini", "*.ini;*.*", "EASIROC ini file", 3, 0, 0, iniFileBuff,
                        sizeof iniFileBuff) > 0) {
    con_printf("Loading ini file %s\n", iniFileBuff);
    if (easiroc_LoadIni(iniFileBuff) == 0) con_printf("Error loading Ini file %s!!!\n", iniFileBuff);
  }
}

void board_on_sc(int) {
  if (!board_in_use("Slow control")) say_if_failed("Slow control", easiroc_fTransmitSC());
}
void board_on_read_sc(int) {
  if (!board_in_use("Read slow control"))
    say_if_failed("Read slow control", easiroc_fTransmitReadSC());
}
void board_on_asic_init(int) {
  if (!board_in_use("ASIC initialise"))
    say_if_failed("ASIC initialise", easiroc_fAsicInitialize());
}

void board_on_probe(int) {
  if (board_in_use("Probe")) return;
  GetCtrlVal(p1h, P1_ER_PROBE_CH, &transmitProbeCh);
  GetCtrlVal(p1h, P1_ER_PROBE_TYPE, &transmitProbeType);
  con_printf("transmitProbeCh = %d | transmitProbeType = %d\n", transmitProbeCh, transmitProbeType);
  if (easiroc_fTransmitProbe(transmitProbeCh, transmitProbeType) == 0)
    con_printf("\nTransmit Probe SUCESS\n");
}

// The read-out runs on a worker of its own; the button returns at once and
// the panel stays live (its stop button included), progress on the panel.
void board_on_daq(int) {
  reclaim_readout_worker();
  if (board_readout_active()) {
    con_printf("Read-out already running -- press Stop read-out first.\n");
    return;
  }
  if (run_state().active()) {
    con_printf("Read-out refused: a run is reading the board -- stop the run first.\n");
    return;
  }
  GetCtrlVal(p1h, P1_FILE, esrcDaqFile, sizeof esrcDaqFile);
  GetCtrlVal(p1h, P1_NEV, &esrcDaqNeve);
  EasirocSettings& es = easiroc_settings();
  int dump = 0;
  GetCtrlVal(p1h, P1_ER_DUMP, &dump);
  es.frameDump = dump == 1   ? EasirocSettings::FrameDump::Every
                 : dump == 2 ? EasirocSettings::FrameDump::None
                             : EasirocSettings::FrameDump::Sampled;
  GetCtrlVal(p1h, P1_ER_FRAME_PAUSE, &es.framePauseUs);
  easiroc_set_progress_hook(daq_progress, nullptr);
  easiroc::board().ForceStop = 0;
  g_readoutActive.store(true);
  if (CmtScheduleThreadPoolFunction(poolHandle, daq_worker, nullptr, &g_readoutId) != 0) {
    g_readoutId = 0;
    g_readoutActive.store(false);
    easiroc_set_progress_hook(nullptr, nullptr);
    con_printf("Read-out not started: no worker thread available.\n");
  }
}

bool board_readout_active() { return g_readoutActive.load(); }

bool board_wait_readout(int timeoutMs) {
  if (g_readoutId == 0) return !board_readout_active();
  if (CmtWaitForThreadPoolFunctionCompletionFor(poolHandle, g_readoutId,
                                                OPT_TP_PROCESS_EVENTS_WHILE_WAITING,
                                                timeoutMs) == 1)
    return false;
  reclaim_readout_worker();
  return true;
}

void board_on_single_start(int) {
  if (!board_in_use("Single-event start"))
    say_if_failed("Single-event start", easiroc_singleADCstart());
}

void board_on_single_event(int) {
  if (board_in_use("Single event")) return;
  esrcADCreturn = easiroc_singleADCevent(easiroc::board().esrcdata);
  con_printf("esrcADCreturn = %d\n", esrcADCreturn);
  std::string line;
  char item[32];
  for (int iw = 0; iw < esrcADCreturn && iw < ESRCDATA_WORDS; ++iw) {
    std::snprintf(item, sizeof item, "[%d] 0x%x ", iw, easiroc::board().esrcdata[iw]);
    line += item;
  }
  line += '\n';
  con_write(line);
}

void board_on_single_stop(int) {
  if (!board_in_use("Single-event stop"))
    say_if_failed("Single-event stop", easiroc_singleADCstop());
}

void board_install_handlers() {
  RegisterCtrlCallback("P1_ER_DAQ_STOP", cb_er_daq_stop);
  session_set_handler(P1_ER_CONNECT, board_on_connect);
  session_set_handler(P1_ER_CLOSE, board_on_close);
  session_set_handler(P1_ER_LOAD_INI, board_on_load_ini);
  session_set_handler(P1_ER_SC, board_on_sc);
  session_set_handler(P1_ER_READ_SC, board_on_read_sc);
  session_set_handler(P1_ER_ASIC_INIT, board_on_asic_init);
  session_set_handler(P1_ER_PROBE, board_on_probe);
  session_set_handler(P1_ER_DAQ, board_on_daq);
  session_set_handler(P1_ER_SINGLE_START, board_on_single_start);
  session_set_handler(P1_ER_SINGLE_EVENT, board_on_single_event);
  session_set_handler(P1_ER_SINGLE_STOP, board_on_single_stop);
}
