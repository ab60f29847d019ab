#include "run_series.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class SeriesDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mdq_series_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  void touch(const std::string& name, const std::string& text = "x") {
    std::ofstream(dir_ / name) << text;
  }
  fs::path dir_;
};

}  // namespace

TEST_F(SeriesDir, TheSeriesIsItsNumberedFilesAndRecordOnly) {
  for (const char* n : {"scan_file01.dat", "scan_file02.dat", "scan_file100.dat", "scan_run.json",
                        // look-alikes that belong to no run of "scan"
                        "scan_file1.dat", "scan_file01.dat.bak", "scan_fileAB.dat", "scan2_file01.dat",
                        "xscan_file01.dat", "scan_run.json~", "scan.dat", "scan"})
    touch(n);
  const std::string base = at("scan");
  EXPECT_EQ(run_series::existing(base),
            (std::vector<std::string>{base + "_file01.dat", base + "_file02.dat",
                                      base + "_file100.dat", base + "_run.json"}));
  EXPECT_TRUE(run_series::existing(at("other")).empty());

  std::string why;
  ASSERT_TRUE(run_series::remove(base, &why)) << why;
  EXPECT_TRUE(run_series::existing(base).empty());
  for (const char* n : {"scan_file1.dat", "scan_file01.dat.bak", "scan2_file01.dat", "scan"})
    EXPECT_TRUE(fs::exists(dir_ / n)) << n << " is not part of the series and must stay";
}

TEST_F(SeriesDir, NamesWithPatternCharactersAndNoFolder) {
  touch("a+b (1)_file01.dat");
  touch("aab (1)_file01.dat");  // what "a+b" would match as a pattern
  EXPECT_EQ(run_series::existing(at("a+b (1)")),
            std::vector<std::string>{at("a+b (1)") + "_file01.dat"});
  EXPECT_EQ(run_series::existing(at("a.b")), std::vector<std::string>{});

  // A bare name is looked for in the working directory, and named as given.
  const auto cwd = fs::current_path();
  fs::current_path(dir_);
  touch("bare_file03.dat");
  EXPECT_EQ(run_series::existing("bare"), std::vector<std::string>{"bare_file03.dat"});
  fs::current_path(cwd);
}

TEST_F(SeriesDir, RunNumbersFollowTheHighestEverTaken) {
  const std::string pattern = at("scan_{run}");
  std::string why;
  EXPECT_EQ(run_series::next_number(pattern, &why), 1);
  EXPECT_EQ(run_series::expand(pattern, 1), at("scan_00001"));

  touch("scan_00001_file01.dat");
  touch("scan_00003_file01.dat");  // 00002 was deleted: its number is not given again
  touch("scan_00003_file02.dat");
  EXPECT_EQ(run_series::next_number(pattern, &why), 4);

  // Unrelated files with numbers in them count for nothing.
  for (const char* n : {"scan_00050.txt", "scan_00051_notes.dat", "scan_0099_file01.dat",
                        "other_00077_file01.dat", "scan_00088_file01.dat.bak", "xscan_00066_file01.dat"})
    touch(n);
  EXPECT_EQ(run_series::next_number(pattern, &why), 4);

  // A run whose only file so far is its record still holds its number.
  touch("scan_00120_run.json");
  EXPECT_EQ(run_series::next_number(pattern, &why), 121);
  touch("scan_123456_file01.dat");
  EXPECT_EQ(run_series::next_number(pattern, &why), 123457);
  EXPECT_EQ(run_series::expand(pattern, 123457), at("scan_123457"));
}

TEST_F(SeriesDir, PlaceholderRulesAndFoldersNotThereYet) {
  std::string why;
  EXPECT_FALSE(run_series::has_placeholder(at("scan")));
  EXPECT_TRUE(run_series::has_placeholder(at("scan_{run}")));
  EXPECT_EQ(run_series::expand("r{run}/x_{run}_y", 7), "r00007/x_00007_y");

  // Both places carry the same number: a file with two different ones is no run.
  touch("r00004_x00004_file01.dat");
  touch("r00009_x00002_file01.dat");
  EXPECT_EQ(run_series::next_number(at("r{run}_x{run}"), &why), 5);

  EXPECT_EQ(run_series::next_number(at("missing/scan_{run}"), &why), 1);
  EXPECT_EQ(run_series::next_number(at("d{run}/scan"), &why), -1);
  EXPECT_NE(why.find("folder"), std::string::npos) << why;
  why.clear();
  touch("plain");
  EXPECT_EQ(run_series::next_number(at("plain/scan_{run}"), &why), -1);
  EXPECT_FALSE(why.empty());
}
