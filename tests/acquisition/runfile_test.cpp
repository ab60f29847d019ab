#include <gtest/gtest.h>

#include "temp_dir.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "backend.h"
#include "dump.h"
#include "runfile.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> le32(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> b;
  for (auto w : words)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  return b;
}

std::vector<std::uint8_t> slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TempDir : mdq::test::TempDir {
  TempDir() : mdq::test::TempDir("runfile") {}
};

}  // namespace

TEST(RunFileRecords, LayoutsMatchHandMadeBytes) {
  RUNREC r;
  r.time = 0x11223344;
  r.nev = 2000;
  r.ped = 7;
  r.xy = 3;
  r.nx = 3, r.x0 = -5, r.dx = 10, r.ny = 2, r.y0 = 100, r.dy = -20;
  auto expRun = le32({1, 56, 0x00010000, 0x11223344, 2000, 32, 7, 3, 3, 0xFFFFFFFB, 10, 2, 100,
                      0xFFFFFFEC});
  auto run = encode(r);
  EXPECT_EQ(std::vector<std::uint8_t>(run.begin(), run.end()), expRun);
  EXPECT_EQ(run[12], 0x44);  // little-endian on the wire whatever the host

  POSREC p;
  p.time = 9, p.ix = 1, p.x = 0, p.xset = 15, p.iy = 2, p.y = 0, p.yset = -40;
  auto expPos = le32({3, 36, 9, 1, 0, 15, 2, 0, 0xFFFFFFD8});
  auto pos = encode(p);
  EXPECT_EQ(std::vector<std::uint8_t>(pos.begin(), pos.end()), expPos);

  EVTREC e;
  e.nev = 1000;
  for (int i = 0; i < 64; ++i) e.data[i] = static_cast<std::uint16_t>(0x0100 * i + i);
  auto evt = encode(e);
  ASSERT_EQ(evt.size(), 140u);
  auto head = le32({4, 140, 1000});
  EXPECT_TRUE(std::equal(head.begin(), head.end(), evt.begin()));
  EXPECT_EQ(evt[12], 0x00);
  EXPECT_EQ(evt[14], 0x01);  // data[1] = 0x0101, low byte first
  EXPECT_EQ(evt[15], 0x01);
  EXPECT_EQ(evt[76], 32);    // data[32] = 0x2020
  EXPECT_EQ(evt[139], 63);   // high byte of data[63] = 0x3F3F

  ENDREC end;
  end.time = 0xA0B0C0D0;
  auto endb = encode(end);
  EXPECT_EQ(std::vector<std::uint8_t>(endb.begin(), endb.end()), le32({2, 12, 0xA0B0C0D0}));

  // Round trip through the decoders.
  RUNREC r2 = decode_runrec(run);
  EXPECT_EQ(r2.dy, -20);
  EXPECT_EQ(r2.x0, -5);
  EXPECT_EQ(decode_evtrec(evt).data, e.data);
  EXPECT_EQ(decode_posrec(pos).yset, -40);
}

TEST(RunFileNames, FormatAndLengthLimit) {
  EXPECT_EQ(run_file_name("run7", 1), "run7_file01.dat");
  EXPECT_EQ(run_file_name("run7", 2), "run7_file02.dat");
  EXPECT_EQ(run_file_name("run7", 100), "run7_file100.dat");
  std::string base(259 - 11, 'a');  // "_file01.dat" is 11 characters
  EXPECT_EQ(run_file_name(base, 1).size(), 259u);
  EXPECT_TRUE(run_file_name(base + "a", 1).empty());
  EXPECT_TRUE(run_file_name(base, 100).empty());  // one more digit
}

TEST(RunFileWriter, TooLongBaseNameSavesNothing) {
  mdq::platform::ConsoleCapture con;
  TempDir d;
  std::string base = d / std::string(300, 'x');
  RunFileWriter w;
  EXPECT_FALSE(w.open(base, 0));
  EXPECT_TRUE(w.failed());
  EXPECT_FALSE(w.write(RUNREC{}));
  EXPECT_NE(con.text().find("too long"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(d.path()));
}

TEST(RunFileWriter, RollOverBoundary) {
  TempDir d;
  // RUNREC + POSREC = 92 bytes, then 140 per event.
  const std::int64_t at = 56 + 36 + 140;
  for (std::int64_t fmax : {at, std::int64_t{0}, at - 1}) {
    const std::string base = d / ("r" + std::to_string(fmax));
    mdq::platform::ConsoleCapture con;
    RunFileWriter w;
    ASSERT_TRUE(w.open(base, fmax));
    ASSERT_TRUE(w.write(RUNREC{}));
    ASSERT_TRUE(w.write(POSREC{}));
    ASSERT_TRUE(w.write(EVTREC{}));
    ASSERT_EQ(w.position(), at);
    ASSERT_TRUE(w.rollover_if_needed(5));
    bool rolled = fmax == at - 1;
    EXPECT_EQ(w.fcount(), rolled ? 2 : 1) << "fmax " << fmax;
    EXPECT_EQ(con.text().find("\tOpened file ") != std::string::npos, rolled);
    ASSERT_TRUE(w.write(EVTREC{}));
    ASSERT_TRUE(w.close(6));
    auto s1 = scan_run_file(base + "_file01.dat");
    EXPECT_TRUE(s1.complete);
    EXPECT_TRUE(s1.error.empty());
    if (rolled) {
      ASSERT_EQ(s1.records.size(), 4u);
      EXPECT_EQ(s1.records.back().end.time, 5u);
      auto s2 = scan_run_file(base + "_file02.dat");
      ASSERT_EQ(s2.records.size(), 2u);  // continuation: no run header
      EXPECT_EQ(s2.records[0].id, EVTREC_ID);
      EXPECT_EQ(s2.records[1].end.time, 6u);
    } else {
      EXPECT_EQ(s1.records.size(), 5u);
      EXPECT_FALSE(fs::exists(base + "_file02.dat"));
    }
  }
}

TEST(RunFileWriter, NeverWritesOverAnExistingFile) {
  TempDir d;
  const std::string base = d / "kept";
  std::ofstream(base + "_file01.dat") << "an earlier run";
  {
    mdq::platform::ConsoleCapture con;
    RunFileWriter w;
    EXPECT_FALSE(w.open(base, 0));
    EXPECT_NE(con.text().find(base + "_file01.dat exists -- not overwritten"), std::string::npos)
        << con.text();
    EXPECT_FALSE(w.write(RUNREC{}));
  }
  EXPECT_EQ(slurp(base + "_file01.dat").size(), 14u);

  // Roll-over onto a later file that appeared meanwhile: the current file
  // is ended whole, the other one is left as it was, saving stops.
  const std::string other = d / "roll";
  RunFileWriter w;
  ASSERT_TRUE(w.open(other, 100));
  std::ofstream(other + "_file02.dat") << "not this run's";
  ASSERT_TRUE(w.write(RUNREC{}));
  ASSERT_TRUE(w.write(POSREC{}));
  ASSERT_TRUE(w.write(EVTREC{}));
  mdq::platform::ConsoleCapture con;
  EXPECT_FALSE(w.rollover_if_needed(7));
  EXPECT_TRUE(w.failed());
  EXPECT_FALSE(w.write(EVTREC{}));
  EXPECT_NE(con.text().find(other + "_file02.dat exists"), std::string::npos) << con.text();
  EXPECT_NE(con.text().find("NOT recorded"), std::string::npos);
  EXPECT_EQ(slurp(other + "_file02.dat").size(), 14u);
  RunFileScan s1 = scan_run_file(other + "_file01.dat");
  EXPECT_TRUE(s1.complete);
  EXPECT_EQ(s1.records.back().end.time, 7u);
  EXPECT_EQ(w.files(), std::vector<std::string>{other + "_file01.dat"});

  // A device is not a file of data: the writer may still write into one.
  fs::create_symlink("/dev/null", d / "sink_file01.dat");
  RunFileWriter sink;
  EXPECT_TRUE(sink.open(d / "sink", 0));
  EXPECT_TRUE(sink.write(RUNREC{}));
  EXPECT_TRUE(sink.close(1));
}

TEST(RunFileWriter, FailuresAreReportedNotSwallowed) {
  TempDir d;
  {
    mdq::platform::ConsoleCapture con;
    RunFileWriter w;
    EXPECT_FALSE(w.open(d / "no/such/dir/run", 0));
    EXPECT_NE(con.text().find("open failed"), std::string::npos);
    EXPECT_FALSE(w.write(EVTREC{}));
  }
  // A full disk: the device refuses every byte. Buffered writes surface the
  // error at the latest when the file is closed.
  fs::create_symlink("/dev/full", d / "full_file01.dat");
  mdq::platform::ConsoleCapture con;
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "full", 0));
  bool ok = w.write(RUNREC{});
  for (int i = 0; ok && i < 1000; ++i) ok = w.write(EVTREC{});
  if (ok) ok = w.close(1);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(w.failed());
  EXPECT_NE(con.text().find("NOT recorded"), std::string::npos);
}

TEST(RunFileReader, RefusesShortAndForeignFiles) {
  TempDir d;
  std::string why;
  EXPECT_FALSE(read_run_header(d / "missing.dat", &why));
  EXPECT_NE(why.find("cannot open"), std::string::npos);

  auto write = [&](const std::string& n, const std::vector<std::uint8_t>& b) {
    std::ofstream(d / n, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                 static_cast<std::streamsize>(b.size()));
    return d / n;
  };
  auto run = encode(RUNREC{});
  EXPECT_FALSE(read_run_header(write("short.dat", {run.begin(), run.begin() + 55}), &why));
  EXPECT_NE(why.find("55 bytes"), std::string::npos);
  auto notrun = std::vector<std::uint8_t>(run.begin(), run.end());
  notrun[0] = 2;
  EXPECT_FALSE(read_run_header(write("end.dat", notrun), &why));
  RUNREC r;
  r.nx = 4;
  auto good = encode(r);
  auto got = read_run_header(write("good.dat", {good.begin(), good.end()}), &why);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->nx, 4);
}

TEST(RunFileReader, TruncatedAndCorruptFilesNameTheOffset) {
  TempDir d;
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "t", 0));
  w.write(RUNREC{});
  w.write(POSREC{});
  w.write(EVTREC{});
  ASSERT_TRUE(w.close(1));
  auto bytes = slurp(d / "t_file01.dat");
  ASSERT_EQ(bytes.size(), 56u + 36 + 140 + 12);

  auto save = [&](const std::string& n, std::vector<std::uint8_t> b) {
    std::ofstream(d / n, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                 static_cast<std::streamsize>(b.size()));
    return d / n;
  };
  // Cut in the middle of the event record.
  auto cut = scan_run_file(save("cut.dat", {bytes.begin(), bytes.begin() + 56 + 36 + 70}));
  EXPECT_FALSE(cut.complete);
  EXPECT_EQ(cut.records.size(), 2u);
  EXPECT_EQ(cut.errorOffset, 92u);
  EXPECT_NE(cut.error.find("truncated"), std::string::npos);

  // A garbage record type after the position record.
  auto bad = bytes;
  bad[92] = 0x77;
  auto corrupt = scan_run_file(save("bad.dat", bad));
  EXPECT_EQ(corrupt.errorOffset, 92u);
  EXPECT_NE(corrupt.error.find("unknown record type 119"), std::string::npos);

  // A wrong length field is not trusted.
  auto badlen = bytes;
  badlen[96] = 200;
  EXPECT_NE(scan_run_file(save("len.dat", badlen)).error.find("length 200"), std::string::npos);

  // The dump says so and fails, without crashing.
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  int rc = dump_run_files({d / "t_file01.dat", d / "cut.dat"}, false, mem);
  std::fclose(mem);
  std::string out(buf, len);
  free(buf);
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("CORRUPT at byte offset 92"), std::string::npos);
  EXPECT_NE(out.find("INCOMPLETE"), std::string::npos);
}

TEST(RunFileWriter, PositionRecordsReachTheKernelAtOnce) {
  TempDir d;
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "flush", 0));
  RUNREC r;
  ASSERT_TRUE(w.write(r));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(w.write(EVTREC{}));
  POSREC p;
  p.ix = 7;
  ASSERT_TRUE(w.write(p));
  // Without a close: what a crash right now would leave on disk.
  EXPECT_EQ(fs::file_size(d / "flush_file01.dat"), kRunRecSize + 5 * kEvtRecSize + kPosRecSize);
  ASSERT_TRUE(w.write(EVTREC{}));
  ASSERT_TRUE(w.flush());
  EXPECT_EQ(fs::file_size(d / "flush_file01.dat"), static_cast<std::uintmax_t>(w.position()));
  ASSERT_TRUE(w.close(1));
}

TEST(RunFileRepair, CopiesCompleteRecordsAndEndsThemWithoutTouchingTheOriginal) {
  TempDir d;
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "cut", 0));
  ASSERT_TRUE(w.write(RUNREC{}));
  ASSERT_TRUE(w.write(POSREC{}));
  for (std::uint32_t i = 1; i <= 10; ++i) {
    EVTREC e;
    e.nev = i;
    e.data[3] = static_cast<std::uint16_t>(100 + i);
    ASSERT_TRUE(w.write(e));
  }
  ASSERT_TRUE(w.close(5));
  const std::string whole = d / "cut_file01.dat";
  // A crash mid-record: the end record and half of the last event are gone.
  const std::string cut = d / "crashed.dat";
  fs::copy_file(whole, cut);
  fs::resize_file(cut, kRunRecSize + kPosRecSize + 9 * kEvtRecSize + 70);
  const auto before = slurp(cut);

  RepairResult r = repair_run_file(cut, d / "fixed.dat");
  ASSERT_TRUE(r.error.empty()) << r.error;
  EXPECT_EQ(r.recordsKept, 11u);
  EXPECT_EQ(r.bytesDropped, 70u);
  EXPECT_TRUE(r.endAdded);
  EXPECT_EQ(slurp(cut), before);
  RunFileScan s = scan_run_file(d / "fixed.dat");
  EXPECT_TRUE(s.complete);
  EXPECT_TRUE(s.error.empty());
  ASSERT_EQ(s.records.size(), 12u);
  EXPECT_EQ(s.records[10].evt.nev, 9u);
  EXPECT_EQ(s.records[10].evt.data[3], 109u);
  // The kept records are the original's bytes.
  auto fixed = slurp(d / "fixed.dat");
  ASSERT_EQ(fixed.size(), before.size() - 70 + kEndRecSize);
  EXPECT_TRUE(std::equal(fixed.begin(), fixed.end() - kEndRecSize, before.begin()));

  // A complete file is copied as it is.
  ASSERT_TRUE(repair_run_file(whole, d / "same.dat").error.empty());
  EXPECT_EQ(slurp(d / "same.dat"), slurp(whole));

  // Refusals: the original as target, a file with nothing usable.
  EXPECT_FALSE(repair_run_file(cut, cut).error.empty());
  EXPECT_EQ(slurp(cut), before);
  std::ofstream(d / "junk.dat") << "garbage, not a run file, long enough to be read as one or two";
  EXPECT_FALSE(repair_run_file(d / "junk.dat", d / "junk_fixed.dat").error.empty());
  EXPECT_FALSE(fs::exists(d / "junk_fixed.dat"));
}
