// The pieces of mirvo-cli that need no handset: the command line, the list
// cells, which names are accepted, and the all-or-nothing file write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_files.h"
#include "cli/cli.h"
#include "cli/cli_args.h"
#include "cli/cli_commands.h"
#include "cli/cli_format.h"
#include "cli/cli_mount_store.h"
#include "cli/local_file.h"
#include "protocol/list_records.h"
#include "pty_pair.h"
#include "text/cp932.h"

using namespace mirvo;
using namespace mirvo::cli;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(CliArgs, OptionsAnywhereAndTheirForms) {
  CliArgs a;
  std::string error;
  ASSERT_TRUE(ParseCliArgs({"get", "x", "--port=COM4", "-o", "out", "y", "--password", "pw"}, a, error)) << error;
  EXPECT_EQ(a.command, CliCommand::Get);
  EXPECT_EQ(a.operands, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(a.port, "COM4");
  EXPECT_EQ(a.password, "pw");
  EXPECT_EQ(a.output_dir, "out");

  ASSERT_TRUE(ParseCliArgs({"del", "--", "-odd", "--port"}, a, error)) << error;
  EXPECT_EQ(a.operands, (std::vector<std::string>{"-odd", "--port"}));
  EXPECT_FALSE(a.port);

  ASSERT_TRUE(ParseCliArgs({"list", "x", "--help"}, a, error));
  EXPECT_EQ(a.command, CliCommand::Help);
}

TEST(CliArgs, UsageErrorsExitTwoWithoutTouchingAPort) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"fetch", "x"},
      {"get"},
      {"put"},
      {"del"},
      {"list", "a", "b"},
      {"ports", "x"},
      {"put", "f", "-o", "dir"},
      {"get", "f", "--to", "dir"},
      {"backup"},
      {"backup", "a", "b"},
      {"list", "--port"},
      {"list", "--port="},
      {"list", "--verbose"},
  };
  for (const auto& args : bad) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCli(args, out, err, {}), kExitUsage) << ::testing::PrintToString(args);
    EXPECT_NE(err.str().find("mirvo-cli --help"), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().empty());
  }
}

TEST(CliArgs, HelpDocumentsTheCommandsAndExitStatus) {
  std::ostringstream out, err;
  EXPECT_EQ(RunCli({"--help"}, out, err, {}), kExitOk);
  for (const char* word : {"ports", "list [PATTERN]", "get NAME", "put FILE", "del NAME", "backup DIR", "--to", "--port", "--password",
                           "-o", "config.ini", "Exit status", "tab", "last part"})
    EXPECT_NE(out.str().find(word), std::string::npos) << word;
  EXPECT_TRUE(err.str().empty());
}

TEST(CliFormat, ListCells) {
  EXPECT_EQ(SizeCell(0), "0 B");
  EXPECT_EQ(SizeCell(1234), "1,234 B");
  EXPECT_EQ(SizeCell(1234567), "1,234,567 B");

  EXPECT_EQ(DateCell("2004/01/23/1530"), "2004/01/23 15:30");
  EXPECT_EQ(DateCell("2004/02/29/2359"), "2004/02/29 23:59");
  EXPECT_EQ(DateCell("1899/12/30/0000"), "1899/12/30 00:00");
  EXPECT_EQ(DateCell("1899/12/29/0000"), "1899/12/29 00:00");
  EXPECT_EQ(DateCell("1850/06/01/1201"), "1850/06/01 12:01");
  EXPECT_EQ(DateCell(""), "");
  EXPECT_EQ(DateCell("2004/02/30/1200"), "");  // no such day: no invented date
  EXPECT_EQ(DateCell("2004/1/23/1530"), "");

  ListRecord item;
  ASSERT_EQ(ParseListLine("#A#dir\xA5sub\xA5" "f.txt,1234,2004/01/23/1530,10" + std::string(30, '-') + ",", item), 0);
  EXPECT_EQ(ListRow(item), "dir\\sub\\f.txt\t1,234 B\t2004/01/23 15:30\tON\tOFF");
  ASSERT_EQ(ParseListLine(text::Cp932("写真.jpg") + ",5,,,", item), 0);
  EXPECT_EQ(ListRow(item), "写真.jpg\t5 B\t\t\t");
  item.name = "tab\there";
  EXPECT_EQ(ListRow(item), "tab?here\t5 B\t\t\t");
  item.name = "\x81";  // a lead byte alone: no UTF-8 form
  EXPECT_FALSE(ListRow(item));
}

TEST(CliFormat, PatternWrapping) {
  EXPECT_EQ(WrapPattern("jpg"), "*jpg*");
  EXPECT_EQ(WrapPattern(""), "**");
  EXPECT_EQ(WrapPattern("*.mid"), "*.mid");
}

TEST(CliFormat, LocalNameKeepsOnlyASafeLastComponent) {
  std::string why;
  EXPECT_EQ(LocalNameFor("a.txt", why), "a.txt");
  EXPECT_EQ(LocalNameFor("pics\\sub\\b.bin", why), "b.bin");
  // 表 is 0x95 0x5C: its second byte is no folder separator.
  EXPECT_EQ(LocalNameFor(text::Cp932("表"), why), "表");
  EXPECT_EQ(LocalNameFor(text::Cp932("フォルダ\\表.txt"), why), "表.txt");
  for (const std::string& bad : std::vector<std::string>{"..\\..\\x", "a\\..\\b", "..", ".", "", "a\\", "\\x", "a\\\\b", "/etc/x", "a\\b/c",
                                std::string("x\0y", 3), "new\nline", "\x81"}) {
    why.clear();
    EXPECT_FALSE(LocalNameFor(bad, why)) << ::testing::PrintToString(bad);
    EXPECT_FALSE(why.empty());
  }
}

TEST(CliFormat, HandsetNameRefusesWhatTheHandsetWouldMisread) {
  std::string why;
  EXPECT_EQ(HandsetNameFor("表.txt", why), text::Cp932("表.txt"));
  for (const char* bad : {"a\\b.txt", "a,b.txt", "a･b.txt", "tab\there", "😀.txt", ""}) {
    why.clear();
    EXPECT_FALSE(HandsetNameFor(bad, why)) << bad;
    EXPECT_FALSE(why.empty());
  }
}

TEST(CliFormat, ResultTextsNameTheHandsetsAnswer) {
  EXPECT_NE(ResultText(ExchangeResult::Failed).find("\"ERROR\""), std::string::npos);
  EXPECT_NE(ResultText(ExchangeResult::Refused).find("\"REJ\""), std::string::npos);
  EXPECT_NE(ResultText(ExchangeResult::Broken).find("-100"), std::string::npos);
  EXPECT_EQ(ShowText("ok\x81"), "ok\\x81");
  // Handset text must not drive the terminal.
  EXPECT_EQ(ShowText("a\x1b[2Jb\r"), "a?[2Jb?");
}

TEST(CliFormat, HandsetFolderForPutTo) {
  std::string why;
  EXPECT_EQ(HandsetFolderFor("pics", why), "pics\\");
  EXPECT_EQ(HandsetFolderFor("a/表/", why), text::Cp932("a\\表\\"));
  EXPECT_EQ(HandsetFolderFor("", why), "");
  for (const char* bad : {"..", "a/../b", "a//b", "a,b", "a･b", "#T#", "tab\there"}) {
    why.clear();
    EXPECT_FALSE(HandsetFolderFor(bad, why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(CliBackup, PlanRefusesWhatWouldOverwriteAnotherCopyOrLeaveTheFolder) {
  const std::string flags = "," + std::string(32, '-') + ",";
  // 0x87 0x90 and 0x81 0xE0 are two handset names for one character, "≒".
  const std::vector<BackupItem> plan = PlanBackup({
      "#T#dir\xA5" "f.txt,1,2004/01/23/1530" + flags,
      "x\x87\x90.txt,1," + flags,
      "",
      "x\x81\xE0.txt,2," + flags,
      "size,unknown," + flags,
      "..\xA5up.txt,3," + flags,
      std::string(70000, 'n') + ",4," + flags,
      "after.txt,5," + flags,
  });
  ASSERT_EQ(plan.size(), 7u);
  EXPECT_EQ(plan[0].folders, (std::vector<std::string>{"#T#", "dir"}));
  EXPECT_EQ(plan[0].name, "f.txt");
  EXPECT_EQ(plan[1].name, "x≒.txt");
  EXPECT_EQ(plan[1].refusal, "");
  EXPECT_EQ(plan[2].refusal, "refused: another handset file is written to ./x≒.txt");
  EXPECT_EQ(plan[3].what, "list");
  EXPECT_NE(plan[3].refusal.find("unreadable list line"), std::string::npos);
  EXPECT_NE(plan[4].refusal.find("refused: "), std::string::npos);
  // A name no frame can carry costs only its own file.
  EXPECT_NE(plan[5].refusal.find("refused: the name is too long for the handset"), std::string::npos);
  EXPECT_EQ(plan[6].refusal, "");
}

TEST(CliLocalFile, WriteReplacesWholeOrNotAtAll) {
  mirvo::testing::TempDir tmp;
  const std::string dir = tmp.path() + "/out/deeper";
  std::string why;
  ASSERT_TRUE(MakeOutputDir(dir, why)) << why;
  ASSERT_TRUE(WriteFileInDir(dir, "f.bin", std::string("a\0b", 3), why)) << why;
  EXPECT_EQ(mirvo::testing::ReadFile(dir + "/f.bin"), std::string("a\0b", 3));
  ASSERT_TRUE(WriteFileInDir(dir, "f.bin", "new", why)) << why;
  EXPECT_EQ(mirvo::testing::ReadFile(dir + "/f.bin"), "new");
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"f.bin"});

  // A folder in the way: the write fails and leaves no temporary file.
  fs::create_directory(dir + "/taken");
  fs::create_directory(dir + "/taken/inside");
  EXPECT_FALSE(WriteFileInDir(dir, "taken", "data", why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"f.bin", "taken"}));

  for (const char* bad : {"", ".", "..", "../escape", "a/b"}) EXPECT_FALSE(WriteFileInDir(dir, bad, "x", why)) << bad;
  EXPECT_FALSE(fs::exists(tmp.path() + "/out/escape"));

  // A file where the folder should be: say so.
  std::ofstream(tmp.path() + "/plain") << "x";
  EXPECT_FALSE(MakeOutputDir(tmp.path() + "/plain", why));
  EXPECT_NE(why.find("in the way"), std::string::npos) << why;
  EXPECT_FALSE(MakeOutputDir(tmp.path() + "/plain/sub", why));
  EXPECT_NE(why.find("Not a directory"), std::string::npos) << why;
}

TEST(CliMountStore, PrivateFolderOnlyBelowTrustedFolders) {
  mirvo::testing::TempDir tmp;
  const std::string base = tmp.path() + "/cache";
  fs::create_directory(base);
  fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  std::string store_path;
  {
    MountStore store;
    std::string why;
    ASSERT_TRUE(store.Open(base, why)) << why;
    store_path = store.Path();
    EXPECT_EQ(fs::path(store_path).parent_path(), fs::path(base));
    EXPECT_EQ(fs::status(base).permissions() & fs::perms::all, fs::perms::owner_all);  // narrowed
  }
  EXPECT_FALSE(fs::exists(store_path));

  // Anyone may rename or replace what lies below a folder open to all.
  const std::string open = tmp.path() + "/open";
  fs::create_directory(open);
  fs::permissions(open, fs::perms::all);
  MountStore store;
  std::string why;
  EXPECT_FALSE(store.Open(open + "/cache", why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(fs::exists(open + "/cache"));
}
