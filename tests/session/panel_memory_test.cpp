// The remembered panel, against a store kept in memory.
#include "panel_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "backend.h"
#include "platform.h"

using mdq::platform::SettingsStore;

namespace {

struct MemoryStore : SettingsStore {
  Read mode = Read::Ok;
  std::map<std::string, std::string> values;
  int asides = 0;
  std::string location() const override { return "/cfg/mdq/mdq.ini"; }
  Read read(std::map<std::string, std::string>* out, std::string* why) override {
    if (mode == Read::Unreadable) *why = "cannot read it (Permission denied)";
    if (mode == Read::Ok) *out = values;
    return mode;
  }
  bool write(const std::map<std::string, std::string>& v, std::string*) override {
    values = v;
    mode = Read::Ok;
    return true;
  }
  std::string setAside() override {
    ++asides;
    return "/cfg/mdq/mdq.ini.bad";
  }
};

int num(int control) {
  double v = 0;
  GetCtrlVal(p1h, control, &v);
  return static_cast<int>(v);
}
double dbl(int control) {
  double v = 0;
  GetCtrlVal(p1h, control, &v);
  return v;
}
std::string text(int control) {
  std::string t;
  GetCtrlVal(p1h, control, &t);
  return t;
}

class PanelMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    p1h = 1;
    loadPanel();
    panel_memory_set_store(&store_);
    panel_memory_take_defaults();
  }
  void TearDown() override { panel_memory_set_store(nullptr); }

  // What the panel file gives, as a backend would declare it.
  static void loadPanel() {
    using mdq::platform::define_control;
    define_control(P1_NEV, false, 0, 1e8, 2000);
    define_control(P1_FRAC, false, 0, 1, 0.1);
    define_control(P1_FILE, true, 0, 0, 0, "run");
    define_control(P1_TDC_YMODE, false, 0, 1, 0);
    define_control(P1_SAVE, false, 0, 1, 1);
    define_control(P1_EVENT, false, -1e9, 1e9, 0);
    define_control(P1_RUN_STATUS, true, 0, 0, 0, "idle");
    define_control(P1_OVERWRITE, false, 0, 1, 0);
    define_control(P1_RUN, false, 0, 1, 0);
  }
  void operatorSettings() {
    SetCtrlVal(p1h, P1_NEV, 123);
    SetCtrlVal(p1h, P1_FRAC, 0.25);
    SetCtrlVal(p1h, P1_FILE, "out/scan {run}, bar 2");
    SetCtrlVal(p1h, P1_TDC_YMODE, 1);
    SetCtrlVal(p1h, P1_SAVE, 0);
    SetCtrlVal(p1h, P1_EVENT, 55);
    SetCtrlVal(p1h, P1_RUN_STATUS, "ended");
    SetCtrlVal(p1h, P1_OVERWRITE, 1);
  }
  void expectPanelFileValues() {
    EXPECT_EQ(num(P1_NEV), 2000);
    EXPECT_DOUBLE_EQ(dbl(P1_FRAC), 0.1);
    EXPECT_EQ(text(P1_FILE), "run");
    EXPECT_EQ(num(P1_TDC_YMODE), 0);
    EXPECT_EQ(num(P1_SAVE), 1);
  }
  MemoryStore store_;
};

}  // namespace

TEST_F(PanelMemory, SettingsSurviveARestartAndIndicatorsDoNot) {
  operatorSettings();
  mdq::platform::ConsoleCapture con;
  panel_memory_save();
  EXPECT_EQ(con.text(), "Panel settings saved to /cfg/mdq/mdq.ini.\n");
  EXPECT_EQ(store_.values.at("format"), "1");
  EXPECT_EQ(store_.values.at("panel/P1_NEV"), "123");
  EXPECT_EQ(store_.values.at("panel/P1_FRAC"), "0.25");
  for (const char* k : {"panel/P1_EVENT", "panel/P1_RUN_STATUS", "panel/P1_OVERWRITE", "panel/P1_RUN"})
    EXPECT_EQ(store_.values.count(k), 0u) << k << " is not an operator's lasting setting";

  // The next session.
  mdq::platform::reset_for_tests();
  loadPanel();
  panel_memory_take_defaults();
  const auto posted = EventsPosted();
  con.clear();
  panel_memory_restore(true);
  EXPECT_EQ(con.text(), "Panel settings restored from /cfg/mdq/mdq.ini (5 settings).\n");
  EXPECT_EQ(num(P1_NEV), 123);
  EXPECT_DOUBLE_EQ(dbl(P1_FRAC), 0.25);
  EXPECT_EQ(text(P1_FILE), "out/scan {run}, bar 2");
  EXPECT_EQ(num(P1_TDC_YMODE), 1);
  EXPECT_EQ(num(P1_SAVE), 0);
  EXPECT_EQ(num(P1_EVENT), 0);
  EXPECT_EQ(text(P1_RUN_STATUS), "idle");
  EXPECT_EQ(num(P1_OVERWRITE), 0);
  // The selector's handler gets to make the graph follow it.
  ASSERT_EQ(EventsPosted(), posted + 1);
  int panel = 0, control = 0;
  EXPECT_EQ(GetUserEvent(0, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, P1_TDC_YMODE);
}

TEST_F(PanelMemory, AFileThatCannotBeUsedChangesNothing) {
  struct Case {
    const char* what;
    SettingsStore::Read mode;
    std::map<std::string, std::string> values;
    const char* said;
  };
  const Case cases[] = {
      {"bad number", SettingsStore::Read::Ok,
       {{"format", "1"}, {"panel/P1_FILE", "x"}, {"panel/P1_NEV", "12x"}}, "P1_NEV = \"12x\""},
      {"bad real", SettingsStore::Read::Ok,
       {{"format", "1"}, {"panel/P1_NEV", "5"}, {"panel/P1_FRAC", "nan"}}, "P1_FRAC"},
      {"empty number", SettingsStore::Read::Ok, {{"format", "1"}, {"panel/P1_SAVE", ""}}, "P1_SAVE"},
      {"no format", SettingsStore::Read::Ok, {{"panel/P1_NEV", "5"}}, "no format entry"},
      {"other format", SettingsStore::Read::Ok, {{"format", "9"}, {"panel/P1_NEV", "5"}},
       "unknown format 9"},
      {"unreadable", SettingsStore::Read::Unreadable, {}, "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store_.mode = c.mode;
    store_.values = c.values;
    store_.asides = 0;
    mdq::platform::ConsoleCapture con;
    panel_memory_restore(true);
    expectPanelFileValues();
    EXPECT_NE(con.text().find("Panel settings in /cfg/mdq/mdq.ini not restored: "), std::string::npos)
        << con.text();
    EXPECT_NE(con.text().find(c.said), std::string::npos) << con.text();
    EXPECT_NE(con.text().find("kept as /cfg/mdq/mdq.ini.bad"), std::string::npos) << con.text();
    EXPECT_EQ(store_.asides, 1);
  }
}

TEST_F(PanelMemory, NothingSavedNoRestoreAndNoStore) {
  store_.mode = SettingsStore::Read::Missing;
  mdq::platform::ConsoleCapture con;
  panel_memory_restore(true);
  EXPECT_NE(con.text().find("none saved yet"), std::string::npos) << con.text();
  expectPanelFileValues();

  store_.mode = SettingsStore::Read::Ok;
  store_.values = {{"format", "1"}, {"panel/P1_NEV", "77"}};
  con.clear();
  panel_memory_restore(false);
  EXPECT_NE(con.text().find("not restored (--no-restore)"), std::string::npos) << con.text();
  EXPECT_NE(con.text().find("/cfg/mdq/mdq.ini"), std::string::npos);
  EXPECT_EQ(num(P1_NEV), 2000);

  panel_memory_set_store(nullptr);
  con.clear();
  panel_memory_restore(true);
  panel_memory_save();
  EXPECT_EQ(con.text(), "");
  EXPECT_EQ(num(P1_NEV), 2000);
}

TEST_F(PanelMemory, DefaultsGoBackToThePanelFile) {
  operatorSettings();
  mdq::platform::ConsoleCapture con;
  panel_memory_defaults(P1_DEFAULTS);
  expectPanelFileValues();
  EXPECT_EQ(num(P1_OVERWRITE), 0);
  EXPECT_EQ(num(P1_EVENT), 55) << "an indicator shows what happened, not a setting";
  EXPECT_EQ(text(P1_RUN_STATUS), "ended");
  EXPECT_EQ(con.text(), "Panel settings back to the panel file's values (6 changed).\n");
}

// What the panel file shows as read-only is what the table calls an
// indicator: a new counter entered as a setting would come back from the
// last session as if it had been measured now.
TEST(PanelFile, ReadOnlyControlsAreExactlyTheIndicators) {
  std::ifstream in(MDQ_UIR);
  const std::string uir((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(uir.empty());
  const std::regex widget(R"re(<widget class="\w+" name="(P1_\w+)">)re");
  const std::regex readOnly(R"re(<property name="readOnly">\s*<bool>true</bool>)re");
  int checked = 0;
  for (std::sregex_iterator it(uir.begin(), uir.end(), widget), end; it != end; ++it) {
    const std::string name = (*it)[1].str();
    const CtrlInfo* c = mdq_ui_find(name.c_str());
    ASSERT_NE(c, nullptr) << name;
    const auto from = uir.begin() + (it->position(0) + it->length(0));
    const auto to = uir.begin() + static_cast<std::ptrdiff_t>(
                                      std::min(uir.find("<widget", it->position(0) + 1), uir.size()));
    const bool shownReadOnly = std::regex_search(from, to, readOnly);
    EXPECT_EQ(shownReadOnly, c->role == CtrlRole::Indicator) << name;
    ++checked;
  }
  EXPECT_EQ(checked, P1_CONTROL_COUNT - 1);
}
