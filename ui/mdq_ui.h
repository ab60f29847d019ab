// Identifiers of the main panel and its controls. The object names in
// mdq_ui.uir are these names; the table below is what the loader checks.
#pragma once
#include <span>

enum : int { PANEL = 1 };

enum MdqControl : int {
  P1_QUIT = 1,
  P1_CLEAR,
  P1_TIMER,
  P1_REFRESH,
  P1_OPEN_RUN,
  P1_ADC_YMODE,
  P1_TDC_YMODE,
  P1_PIO_VETO_ON,
  P1_PIO_VETO_OFF,
  P1_PIO_PULSE,
  P1_TDC_RESET,
  P1_TDC_HANDSHAKE,
  P1_TDC_INIT,
  P1_TDC_READ_CONFIG,
  P1_RUN,
  P1_ER_CONNECT,
  P1_ER_CLOSE,
  P1_ER_LOAD_INI,
  P1_ER_SC,
  P1_ER_READ_SC,
  P1_ER_ASIC_INIT,
  P1_ER_PROBE,
  P1_ER_DAQ,
  P1_ER_SINGLE_START,
  P1_ER_SINGLE_EVENT,
  P1_ER_SINGLE_STOP,
  P1_ER_UDP_OPEN,
  P1_ER_UDP_CLOSE,
  P1_ER_HV_CONTROL,
  P1_ER_HV_READ,
  // value controls and indicators
  P1_TDC_GRAPH,
  P1_ADC_GRAPH,
  P1_CHANNEL,
  P1_TDC_RANGE,
  P1_ADC_RANGE,
  P1_AUTO_REFRESH,
  P1_NEV,
  P1_XY,
  P1_NX,
  P1_X0,
  P1_DX,
  P1_NY,
  P1_Y0,
  P1_DY,
  P1_FILE,
  P1_PED,
  P1_STEP_MINUTES,
  P1_SAVE,
  P1_FMAX,
  P1_SUPPRESS,
  P1_TDCMIN,
  P1_FRAC,
  P1_DBG_TDC_TERM,
  P1_DBG_TDC_FILE,
  P1_EVENT,
  P1_IX,
  P1_IY,
  P1_XSET,
  P1_YSET,
  P1_TDC_WINDOW_WIDTH,
  P1_TDC_WINDOW_OFFSET,
  P1_TDC_EXTRA_MARGIN,
  P1_TDC_EDGE,
  P1_ER_PROBE_CH,
  P1_ER_PROBE_TYPE,
  P1_ER_HV,
  P1_ER_DAQ_STOP,
  P1_ER_DAQ_STATUS,
  // stored run: loaded into the spectra, spectra exported
  P1_LOAD_SPECTRA,
  P1_LOAD_ALL,
  P1_LOAD_IX,
  P1_LOAD_IY,
  P1_LOAD_STATUS,
  P1_EXPORT_CSV,
  P1_EXPORT_PNG,
  P1_RUN_STATUS,
  P1_READ_BOARD,
  P1_LATE_SKIP,
  P1_COMMENT,  // the operator's note on the next run
  // spectrum analysis and the scan map
  P1_TDC_FIT,
  P1_ADC_FIT,
  P1_FIT_BACKGROUND,
  P1_ZOOM_RESET,
  P1_ZOOM_DATA,
  P1_TDC_STATS,
  P1_ADC_STATS,
  P1_MAP,
  P1_MAP_QUANTITY,
  P1_MAP_LOG,
  P1_MAP_EXPORT_CSV,
  P1_MAP_EXPORT_PNG,
  P1_ER_DUMP,         // read-out console: sampled / every frame / none
  P1_ER_FRAME_PAUSE,  // read-out pause per frame, us
  // run series and the remembered panel
  P1_OVERWRITE,
  P1_RUN_NUMBER,
  P1_DEFAULTS,
  P1_CONTROL_COUNT  // one past the last id
};

// How a control behaves: whether it produces events and what value it holds.
enum class CtrlKind {
  Command,  // button: produces an event, holds no value
  Immediate,  // button whose callback (registered under the control's name)
              // runs at once, even while a handler is busy
  Toggle,   // switch that produces an event when flipped; int value 0/1
  Ring,     // selector that produces an event when changed; int value (index)
  Switch,   // int 0/1, no event
  Int,      // integer, no event
  Double,   // floating point, no event
  Text,     // string, no event
  Graph,    // spectrum graph: produces an event when its visible range changes
  Map,      // colour map: a click on a cell sets P1_LOAD_IX/IY and produces an event
  Timer,
};

// Whether a value control is one of the operator's settings, kept from one
// session to the next.
enum class CtrlRole {
  Setting,    // remembered
  Indicator,  // the program's output (counters, status): never remembered
  Transient,  // the operator's, but starts from the panel file every time
};

struct CtrlInfo {
  int id;
  const char* name;
  CtrlKind kind;
  CtrlRole role = CtrlRole::Setting;
};

std::span<const CtrlInfo> mdq_ui_controls();
const CtrlInfo* mdq_ui_find(int id);
const CtrlInfo* mdq_ui_find(const char* name);

// Handle of the main panel, set once at start-up (device code reads its
// settings through it).
extern int p1h;
