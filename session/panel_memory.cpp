#include "panel_memory.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "backend.h"
#include "platform.h"

namespace {

using mdq::platform::CtrlValue;
using mdq::platform::SettingsStore;

SettingsStore* g_store = nullptr;
std::map<int, CtrlValue> g_defaults;

// Marks a file as this station's, in this layout.
constexpr const char* kFormatKey = "format";
constexpr const char* kFormat = "1";

bool has_value(CtrlKind k) {
  switch (k) {
    case CtrlKind::Switch:
    case CtrlKind::Ring:
    case CtrlKind::Int:
    case CtrlKind::Double:
    case CtrlKind::Text:
      return true;
    default:
      return false;
  }
}

std::string key_of(const CtrlInfo& c) { return std::string("panel/") + c.name; }

std::string encode(const CtrlInfo& c, const CtrlValue& v) {
  if (c.kind == CtrlKind::Text) return v.text;
  char text[40];
  if (c.kind != CtrlKind::Double) {
    std::snprintf(text, sizeof text, "%.0f", v.num);
    return text;
  }
  // The shortest text that reads back as the same number: 0.1, not 0.10000000000000001.
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, v.num);
    if (std::strtod(text, nullptr) == v.num) break;
  }
  return text;
}

// The stored text as the control's value; false when it is not one.
bool decode(const CtrlInfo& c, const std::string& text, CtrlValue* v) {
  v->isText = c.kind == CtrlKind::Text;
  if (v->isText) {
    v->text = text;
    return true;
  }
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  if (c.kind == CtrlKind::Double) {
    v->num = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(v->num);
  }
  const long long n = std::strtoll(text.c_str(), &end, 10);
  v->num = static_cast<double>(n);
  return *end == '\0' && errno == 0;
}

void apply(const CtrlInfo& c, const CtrlValue& v) {
  if (c.kind == CtrlKind::Text) SetCtrlVal(p1h, c.id, v.text.c_str());
  else SetCtrlVal(p1h, c.id, v.num);
  // A selector's handler makes the panel follow it (the graphs' y mode).
  if (c.kind == CtrlKind::Ring) PostControlEvent(p1h, c.id);
}

bool differs(const CtrlValue& a, const CtrlValue& b, bool text) {
  return text ? a.text != b.text : a.num != b.num;
}

}  // namespace

bool panel_remembers(const CtrlInfo& c) { return c.role == CtrlRole::Setting && has_value(c.kind); }

void panel_memory_set_store(SettingsStore* store) { g_store = store; }

void panel_memory_take_defaults() {
  g_defaults.clear();
  for (const CtrlInfo& c : mdq_ui_controls())
    if (c.role != CtrlRole::Indicator && has_value(c.kind) && mdq::platform::control_defined(c.id))
      g_defaults[c.id] = mdq::platform::get_value(c.id);
}

void panel_memory_restore(bool restore) {
  if (!g_store) return;
  const std::string where = g_store->location();
  if (!restore) {
    con_printf("Panel settings not restored (--no-restore): the panel file's values are in use; "
               "they are saved to %s at quit.\n",
               where.c_str());
    return;
  }
  std::map<std::string, std::string> stored;
  std::string why;
  SettingsStore::Read r = g_store->read(&stored, &why);
  if (r == SettingsStore::Read::Missing) {
    con_printf("Panel settings: none saved yet; the panel's settings are saved to %s at quit.\n",
               where.c_str());
    return;
  }
  // Everything is checked before anything is set: a bad file changes nothing.
  std::vector<std::pair<const CtrlInfo*, CtrlValue>> values;
  if (r == SettingsStore::Read::Ok) {
    auto format = stored.find(kFormatKey);
    if (format == stored.end() || format->second != kFormat) {
      why = format == stored.end() ? "not a settings file of this station (no format entry)"
                                   : "unknown format " + format->second;
    } else {
      for (const CtrlInfo& c : mdq_ui_controls()) {
        auto it = stored.find(key_of(c));
        if (!panel_remembers(c) || it == stored.end() || !mdq::platform::control_defined(c.id))
          continue;
        CtrlValue v;
        if (!decode(c, it->second, &v)) {
          why = std::string(c.name) + " = \"" + it->second + "\" is not a value for it";
          values.clear();
          break;
        }
        values.emplace_back(&c, v);
      }
    }
  }
  if (!why.empty()) {
    const std::string aside = g_store->setAside();
    con_printf("Panel settings in %s not restored: %s; the panel file's values are in use%s.\n",
               where.c_str(), why.c_str(),
               aside.empty() ? "" : (" (the file is kept as " + aside + ")").c_str());
    return;
  }
  for (const auto& [c, v] : values) {
    const CtrlValue now = mdq::platform::get_value(c->id);
    if (c->kind != CtrlKind::Ring || differs(now, v, false)) apply(*c, v);
  }
  con_printf("Panel settings restored from %s (%zu settings).\n", where.c_str(), values.size());
}

void panel_memory_save() {
  if (!g_store) return;
  std::map<std::string, std::string> values{{kFormatKey, kFormat}};
  for (const CtrlInfo& c : mdq_ui_controls())
    if (panel_remembers(c) && mdq::platform::control_defined(c.id))
      values[key_of(c)] = encode(c, mdq::platform::get_value(c.id));
  std::string why;
  if (g_store->write(values, &why))
    con_printf("Panel settings saved to %s.\n", g_store->location().c_str());
  else
    con_printf("Panel settings could not be saved to %s: %s\n", g_store->location().c_str(),
               why.c_str());
}

void panel_memory_defaults(int) {
  int changed = 0;
  for (const auto& [id, v] : g_defaults) {
    const CtrlInfo* c = mdq_ui_find(id);
    if (!c || !differs(mdq::platform::get_value(id), v, c->kind == CtrlKind::Text)) continue;
    apply(*c, v);
    ++changed;
  }
  con_printf("Panel settings back to the panel file's values (%d changed).\n", changed);
}
