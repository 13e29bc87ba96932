#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "protocol/trace_log.h"
#include "pty_pair.h"
#include "text/cp932.h"

using namespace mirvo;
using mirvo::text::Cp932;

namespace {

// The dump with its time stamp replaced, so rows compare byte for byte.
std::string Dump(const std::string& block, std::string_view title) {
  std::string out;
  EXPECT_EQ(AppendHexDump(&out, block.data(), static_cast<int>(block.size()), title), 0);
  EXPECT_TRUE(std::regex_search(out, std::regex("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] "))) << out.substr(0, 20);
  return "hh:mm:ss" + out.substr(8);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const std::string kRuler = "--------+-------------------------------------------------------------------\r\n";

}  // namespace

TEST(HexDump, WorkedExampleByteForByte) {
  const std::string frame("\x03\x00\x0A" "GET_LIST\r\n\x81\x9A", 15);
  EXPECT_EQ(Dump(frame, "ETX" + Cp932("送信")),
            "hh:mm:ss ETX" + Cp932("送信") + "(Len=15)\r\n" + kRuler +
                "00000000: 03 00 0A 47 45 54 5F 4C-49 53 54 0D 0A 81 9A     ...GET_LIST....\r\n\r\n");
}

TEST(HexDump, RowShapesAndFillers) {
  const std::string one = Dump("A", "t");
  EXPECT_NE(one.find("00000000: 41" + std::string(45, ' ') + "  A\r\n"), std::string::npos);

  std::string sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back(static_cast<char>('a' + i));
  const std::string d16 = Dump(sixteen, "t");
  EXPECT_NE(d16.find("00000000: 61 62 63 64 65 66 67 68-69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop\r\n\r\n"),
            std::string::npos);

  const std::string d17 = Dump(sixteen + "q", "t");
  EXPECT_NE(d17.find("00000010: 71" + std::string(45, ' ') + "  q\r\n"), std::string::npos);
  // every full row is 75 characters with "-" in column 34
  const auto row = d16.substr(d16.find("00000000"), 75);
  EXPECT_EQ(row.size(), 75u);
  EXPECT_EQ(row[33], '-');
}

TEST(HexDump, CharactersHaveTheirTopBitCleared) {
  const std::string bytes("\x00\x1F\x7F\x80\x9F\xFF\xC1\x20", 8);
  const std::string d = Dump(bytes, "t");
  EXPECT_NE(d.find("00000000: 00 1F 7F 80 9F FF C1 20 "), std::string::npos);
  EXPECT_NE(d.find("  ......A \r\n"), std::string::npos);
}

TEST(HexDump, EmptyTitleZeroLengthAndNullArguments) {
  EXPECT_EQ(Dump("", ""), "hh:mm:ss " + Cp932("データ内容") + "(Len=0)\r\n" + kRuler + "\r\n");
  std::string out;
  EXPECT_EQ(AppendHexDump(nullptr, "a", 1, "t"), -1);
  EXPECT_EQ(AppendHexDump(&out, nullptr, 1, "t"), -1);
  EXPECT_TRUE(out.empty());
}

TEST(HexDump, LongBlocksStopAfter4097Rows) {
  const std::string big(70000, 'x');
  const std::string d = Dump(big, "t");
  EXPECT_NE(d.find("(Len=70000)\r\n"), std::string::npos);
  std::size_t rows = 0;
  for (std::size_t p = 0; (p = d.find(": ", p)) != std::string::npos; ++p) ++rows;
  EXPECT_EQ(rows, 4097u);
  EXPECT_NE(d.find("00010000: 78"), std::string::npos);
  EXPECT_EQ(d.find("00010010:"), std::string::npos);
}

TEST(TraceLog, OffWhenTheFileIsAbsent) {
  mirvo::testing::TempDir dir;
  const std::string path = dir.path() + "/debug.log";
  LogStartAt(path);
  EXPECT_FALSE(LogIsOn());
  EXPECT_EQ(LogWriteLine("x"), -1);
  EXPECT_EQ(LogDump("x", 1, "t"), -1);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TraceLog, BannerThenEntriesAsTheyHappen) {
  mirvo::testing::TempDir dir;
  const std::string path = dir.path() + "/debug.log";
  std::ofstream(path) << "old content that must go";
  LogStartAt(path);
  ASSERT_TRUE(LogIsOn());

  const std::string banner = ReadFile(path);
  const std::string rule(44, '=');
  EXPECT_TRUE(std::regex_match(
      banner, std::regex(rule + "\r\n" + Cp932("　Mirvo") + "\r\n" + Cp932("　                 Version 1.11") +
                         "\r\n" + Cp932("　出力日時: ") + "[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r\n" +
                         rule + "\r\n\r\n")))
      << banner;

  EXPECT_EQ(LogWriteLine(Cp932("■転送開始■")), 0);
  EXPECT_EQ(LogWriteLine(""), 0);
  EXPECT_EQ(LogDump("\x06", 1, "ACK" + Cp932("受信")), 0);
  // Nothing held back: the file holds every entry before the log is closed.
  const std::string now = ReadFile(path);
  EXPECT_EQ(now.substr(banner.size(), 16), Cp932("■転送開始■") + "\r\n\r\n");
  EXPECT_NE(now.find("ACK" + Cp932("受信") + "(Len=1)\r\n"), std::string::npos);
  LogClose();
  EXPECT_FALSE(LogIsOn());
  EXPECT_EQ(LogWriteLine("after"), -1);
}

TEST(TraceLog, OnlyARegularFileIsOpenedAndNothingBlocks) {
  mirvo::testing::TempDir dir;
  const std::string path = dir.path() + "/debug.log";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  LogStartAt(path);  // would wait for a reader forever
  EXPECT_FALSE(LogIsOn());
  std::filesystem::remove(path);
  std::filesystem::create_symlink("/dev/null", path);
  LogStartAt(path);
  EXPECT_FALSE(LogIsOn());
}

TEST(TraceLog, ExistingFileThatCannotBeRecreatedLeavesTracingOff) {
  if (geteuid() == 0) {
    // root writes through permission bits; a directory in the way stands in.
    mirvo::testing::TempDir dir;
    const std::string path = dir.path() + "/debug.log";
    std::filesystem::create_directory(path);
    LogStartAt(path);
    EXPECT_FALSE(LogIsOn());
    EXPECT_EQ(LogWriteLine("x"), -1);
    return;
  }
  mirvo::testing::TempDir dir;
  const std::string path = dir.path() + "/debug.log";
  std::ofstream(path) << "keep";
  chmod(path.c_str(), 0444);
  LogStartAt(path);
  EXPECT_FALSE(LogIsOn());
  EXPECT_EQ(ReadFile(path), "keep");
}
