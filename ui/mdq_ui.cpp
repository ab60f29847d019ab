#include "mdq_ui.h"

#include <array>
#include <cstring>

namespace {
#define C(name, kind) CtrlInfo{name, #name, CtrlKind::kind}
#define I(name, kind) CtrlInfo{name, #name, CtrlKind::kind, CtrlRole::Indicator}
// Not carried into the next session: overwriting a run must be asked for anew, a
// run comment belongs to one sitting, the ADC range follows P1_XY at start.
#define T(name, kind) CtrlInfo{name, #name, CtrlKind::kind, CtrlRole::Transient}
constexpr std::array kControls = {
    C(P1_QUIT, Command),          C(P1_CLEAR, Command),
    C(P1_TIMER, Timer),           C(P1_REFRESH, Command),
    C(P1_OPEN_RUN, Command),      C(P1_ADC_YMODE, Ring),
    C(P1_TDC_YMODE, Ring),        C(P1_PIO_VETO_ON, Command),
    C(P1_PIO_VETO_OFF, Command),  C(P1_PIO_PULSE, Command),
    C(P1_TDC_RESET, Command),     C(P1_TDC_HANDSHAKE, Command),
    C(P1_TDC_INIT, Command),      C(P1_TDC_READ_CONFIG, Command),
    C(P1_RUN, Toggle),            C(P1_ER_CONNECT, Command),
    C(P1_ER_CLOSE, Command),      C(P1_ER_LOAD_INI, Command),
    C(P1_ER_SC, Command),         C(P1_ER_READ_SC, Command),
    C(P1_ER_ASIC_INIT, Command),  C(P1_ER_PROBE, Command),
    C(P1_ER_DAQ, Command),        C(P1_ER_SINGLE_START, Command),
    C(P1_ER_SINGLE_EVENT, Command), C(P1_ER_SINGLE_STOP, Command),
    C(P1_ER_UDP_OPEN, Command),   C(P1_ER_UDP_CLOSE, Command),
    C(P1_ER_HV_CONTROL, Command), C(P1_ER_HV_READ, Command),
    C(P1_TDC_GRAPH, Graph),       C(P1_ADC_GRAPH, Graph),
    C(P1_CHANNEL, Int),           C(P1_TDC_RANGE, Int),
    T(P1_ADC_RANGE, Int),         C(P1_AUTO_REFRESH, Switch),
    C(P1_NEV, Int),               C(P1_XY, Int),
    C(P1_NX, Int),                C(P1_X0, Int),
    C(P1_DX, Int),                C(P1_NY, Int),
    C(P1_Y0, Int),                C(P1_DY, Int),
    C(P1_FILE, Text),             C(P1_PED, Int),
    C(P1_STEP_MINUTES, Int),      C(P1_SAVE, Switch),
    C(P1_FMAX, Int),              C(P1_SUPPRESS, Switch),
    C(P1_TDCMIN, Int),            C(P1_FRAC, Double),
    C(P1_DBG_TDC_TERM, Switch),   C(P1_DBG_TDC_FILE, Switch),
    I(P1_EVENT, Int),             I(P1_IX, Int),
    I(P1_IY, Int),                I(P1_XSET, Int),
    I(P1_YSET, Int),              C(P1_TDC_WINDOW_WIDTH, Int),
    C(P1_TDC_WINDOW_OFFSET, Int), C(P1_TDC_EXTRA_MARGIN, Int),
    C(P1_TDC_EDGE, Int),          C(P1_ER_PROBE_CH, Int),
    C(P1_ER_PROBE_TYPE, Int),     C(P1_ER_HV, Double),
    C(P1_ER_DAQ_STOP, Immediate), I(P1_ER_DAQ_STATUS, Text),
    C(P1_LOAD_SPECTRA, Command),  C(P1_LOAD_ALL, Switch),
    C(P1_LOAD_IX, Int),           C(P1_LOAD_IY, Int),
    I(P1_LOAD_STATUS, Text),      C(P1_EXPORT_CSV, Command),
    C(P1_EXPORT_PNG, Command),    I(P1_RUN_STATUS, Text),
    C(P1_READ_BOARD, Switch),     C(P1_LATE_SKIP, Switch),
    T(P1_COMMENT, Text),
    C(P1_TDC_FIT, Command),       C(P1_ADC_FIT, Command),
    C(P1_FIT_BACKGROUND, Switch), C(P1_ZOOM_RESET, Command),
    C(P1_ZOOM_DATA, Command),     I(P1_TDC_STATS, Text),
    I(P1_ADC_STATS, Text),        C(P1_MAP, Map),
    C(P1_MAP_QUANTITY, Ring),     C(P1_MAP_LOG, Ring),
    C(P1_MAP_EXPORT_CSV, Command), C(P1_MAP_EXPORT_PNG, Command),
    C(P1_ER_DUMP, Ring),          C(P1_ER_FRAME_PAUSE, Int),
    T(P1_OVERWRITE, Switch),      I(P1_RUN_NUMBER, Text),
    C(P1_DEFAULTS, Command),
};
#undef C
#undef I
#undef T
static_assert(kControls.size() == P1_CONTROL_COUNT - 1, "every control id has a table entry");

constexpr bool ids_in_order() {
  for (std::size_t i = 0; i < kControls.size(); ++i)
    if (kControls[i].id != static_cast<int>(i) + 1) return false;
  return true;
}
static_assert(ids_in_order(), "table order follows the ids");
}  // namespace

int p1h = 0;

std::span<const CtrlInfo> mdq_ui_controls() { return kControls; }

const CtrlInfo* mdq_ui_find(int id) {
  if (id < 1 || id >= P1_CONTROL_COUNT) return nullptr;
  return &kControls[static_cast<std::size_t>(id - 1)];
}

const CtrlInfo* mdq_ui_find(const char* name) {
  for (const auto& c : kControls)
    if (std::strcmp(c.name, name) == 0) return &c;
  return nullptr;
}
