// Register words on the wire, the configuration file, and the probe stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "backend.h"
#include "easiroc.h"
#include "platform.h"

namespace stdfs = std::filesystem;

TEST(RegisterWord, WireBytesCarryWriteFlagLittleEndian) {
  unsigned char b[4];
  easiroc_register_bytes(0x9400 + EASIROC_WRITE_FLAG, b);
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{0x00, 0x94, 0x00, 0x80}));
  easiroc_register_bytes((0x1Fu << 16) + (3u << 8) + EASIROC_WRITE_FLAG, b);
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{0x00, 0x03, 0x1F, 0x80}));
  easiroc_register_bytes(EASIROC_START_WORD, b);
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{0x00, 0x00, 0x64, 0x20}));
}

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    dir_ = stdfs::temp_directory_path() / ("mdq_ini_" + std::to_string(::getpid()));
    stdfs::create_directories(dir_);
    std::fill(std::begin(easiroc::board().config.iniData), std::end(easiroc::board().config.iniData), 0u);
  }
  void TearDown() override { stdfs::remove_all(dir_); }
  std::string write(const std::string& text) {
    std::string p = (dir_ / ("f" + std::to_string(n_++) + ".ini")).string();
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  static std::string values(int first, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += std::to_string(first + i) + "\n";
    return s;
  }
  stdfs::path dir_;
  int n_ = 0;
};

TEST_F(IniFile, ValuesCommentsAndBlankLines) {
  mdq::platform::ConsoleCapture cap;
  std::string text =
      "# header comment\n"
      "1 2\t3   # trailing comment 99\n"
      "\n\n"
      "4294967295\r\n"
      "# another\n"
      "5\n";
  ASSERT_EQ(easiroc_LoadIni(write(text).c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[0], 1u);
  EXPECT_EQ(easiroc::board().config.iniData[1], 2u);
  EXPECT_EQ(easiroc::board().config.iniData[2], 3u);
  EXPECT_EQ(easiroc::board().config.iniData[3], 4294967295u);
  EXPECT_EQ(easiroc::board().config.iniData[4], 5u);
  EXPECT_EQ(easiroc::board().config.iniData[5], 0u);
  EXPECT_EQ(cap.text(), "");
}

TEST_F(IniFile, OnlyCommentsChangesNothing) {
  easiroc::board().config.iniData[0] = 77;
  ASSERT_EQ(easiroc_LoadIni(write("# a\n\n# b\n").c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[0], 77u);
}

TEST_F(IniFile, ShortFileAfterFullFileKeepsTail) {
  ASSERT_EQ(easiroc_LoadIni(write(values(100, 34)).c_str()), 1);
  ASSERT_EQ(easiroc_LoadIni(write("7 8 9\n").c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[0], 7u);
  EXPECT_EQ(easiroc::board().config.iniData[2], 9u);
  EXPECT_EQ(easiroc::board().config.iniData[3], 103u);
  EXPECT_EQ(easiroc::board().config.iniData[33], 133u);
}

TEST_F(IniFile, JunkTextIsReportedWithLineAndLeavesTableAlone) {
  ASSERT_EQ(easiroc_LoadIni(write(values(100, 34)).c_str()), 1);
  for (const char* bad : {"1 2\n3 x4\n5\n", "1\n2\n12abc\n", "1\n-5\n", "4294967296\n"}) {
    mdq::platform::ConsoleCapture cap;
    std::string p = write(bad);
    EXPECT_EQ(easiroc_LoadIni(p.c_str()), 0) << bad;
    EXPECT_NE(cap.text().find(p), std::string::npos) << cap.text();
    EXPECT_NE(cap.text().find("line"), std::string::npos);
    EXPECT_EQ(easiroc::board().config.iniData[0], 100u) << "table must stay as it was for: " << bad;
  }
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_LoadIni(write("1 2\n3 x4\n").c_str()), 0) << "a bad value fails the load";
  EXPECT_NE(cap.text().find("line 2"), std::string::npos);
  EXPECT_NE(cap.text().find("\"x4\""), std::string::npos);
}

TEST_F(IniFile, ValuesBeyond34AreReportedAndIgnored) {
  easiroc::board().config.iniData[33] = 5;
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_LoadIni(write(values(1, 40)).c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[33], 34u);
  EXPECT_NE(cap.text().find("more than 34 values"), std::string::npos);
  EXPECT_NE(cap.text().find("35"), std::string::npos);
}

TEST_F(IniFile, LongCommentLineIsSkippedWhole) {
  std::string longComment = "# " + std::string(600, 'c') + " 42 " + std::string(300, 'd') + "\n";
  ASSERT_EQ(easiroc_LoadIni(write(longComment + "9\n").c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[0], 9u);
}

TEST_F(IniFile, IndentedCommentTakesNoPositionButIsNoted) {
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_LoadIni(write("# a\n\n# b\n   # c\n1\n2\n").c_str()), 1);
  EXPECT_EQ(easiroc::board().config.iniData[0], 1u);
  EXPECT_EQ(easiroc::board().config.iniData[1], 2u);
  EXPECT_NE(cap.text().find("line 3"), std::string::npos) << cap.text();
}

TEST_F(IniFile, MissingFile) {
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_LoadIni((dir_ / "none.ini").string().c_str()), 0);
  EXPECT_NE(cap.text().find("easiroc::LoadIni() cannot open file"), std::string::npos);
}

TEST(ShippedIni, HasExactly34Values) {
  // The example beside the sources; the tests run from the build tree.
  std::string p = std::string(MDQ_SOURCE_DIR) + "/EASIROCini/EASIROC.ini";
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_LoadIni(p.c_str()), 1);
  EXPECT_EQ(cap.text(), "") << "no warnings for the shipped file";
  EXPECT_EQ(easiroc::board().config.iniData[2], 192u);
  EXPECT_EQ(easiroc::board().config.iniData[17], 192u);
}

struct ProbeCase {
  int ch, type;
  int word;
  unsigned value;
};

TEST(ProbeStream, OneBitPerChoice) {
  mdq::platform::reset_for_tests();
  const ProbeCase cases[] = {
      {16, 4, easiroc::ssh_16, 0x40000000u}, {16, 3, easiroc::ssh_16, 0x80000000u}, {15, 2, easiroc::pa_0, 0x00000001u},
      {15, 1, easiroc::pa_0, 0x00000002u},   {0, 5, easiroc::fs_all, 0x80000000u},  {0, 6, easiroc::fs_all, 0x80000000u},
      {31, 7, easiroc::fs_all, 0x00000001u}, {3, 4, easiroc::ssh_0, 1u << 24},      {31, 1, easiroc::pa_16, 0x00000002u},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(PreparePSC(c.ch, c.type), 0);
    for (int w = 0; w < easiroc::sizeAsign; ++w)
      EXPECT_EQ(easiroc::board().streams.Probedata[w], w == c.word ? c.value : 0u) << "ch " << c.ch << " type " << c.type;
  }
}

TEST(ProbeStream, BitMapPrintAndReset) {
  mdq::platform::reset_for_tests();
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(PreparePSC(0, 5), 0);
  std::string first = cap.text().substr(0, cap.text().find('\n'));
  EXPECT_EQ(first, std::string(31, '.') + "!");
  cap.clear();
  ASSERT_EQ(PreparePSC(5, 8), 0);
  EXPECT_EQ(easiroc::board().streams.ProbeBuffer, 0u);
  for (unsigned w : easiroc::board().streams.Probedata) EXPECT_EQ(w, 0u);
  EXPECT_EQ(cap.text(), "");
}

TEST(ProbeStream, ChannelOutsideRangeRefusedNothingSent) {
  mdq::platform::reset_for_tests();
  for (int ch : {-1, 64, 1000}) {
    mdq::platform::ConsoleCapture cap;
    EXPECT_EQ(easiroc_fTransmitProbe(ch, 5), -1);
    EXPECT_NE(cap.text().find("outside 0..63"), std::string::npos);
    // Nothing attempted on the link (it would complain about the connection).
    EXPECT_EQ(cap.text().find("connection"), std::string::npos) << cap.text();
  }
  EXPECT_EQ(PreparePSC(32, 5), -1);
}
