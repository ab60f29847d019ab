#include "dispatch.h"

#include <array>

#include "mdq_ui.h"
#include "platform.h"
#include "settings.h"

namespace {
std::array<ControlHandler, P1_CONTROL_COUNT> g_handlers{};
}

StationSettings& station_settings() {
  static StationSettings s;
  return s;
}

void session_set_handler(int control, ControlHandler handler) {
  if (control > 0 && control < P1_CONTROL_COUNT) g_handlers[static_cast<std::size_t>(control)] = handler;
}

ControlHandler session_handler(int control) {
  if (control <= 0 || control >= P1_CONTROL_COUNT) return nullptr;
  return g_handlers[static_cast<std::size_t>(control)];
}

bool session_dispatch(int control) {
  if (ControlHandler h = session_handler(control)) {
    h(control);
    return true;
  }
  const CtrlInfo* info = mdq_ui_find(control);
  // Commands whose module is not part of this build say so rather than
  // silently doing nothing.
  if (info && (info->kind == CtrlKind::Command || info->kind == CtrlKind::Toggle) &&
      control != P1_QUIT) {
    con_printf("%s: not available in this build yet\n", info->name);
  }
  return false;
}
