#include "text/handset_name.h"

#include <gtest/gtest.h>

#include "text/cp932.h"

using namespace mirvo::text;

TEST(HandsetName, SendableNamesAndPathsGiveTheirHandsetForm) {
  // 表 is 0x95 0x5C: a second byte that looks like "\" is no separator.
  EXPECT_EQ(CheckHandsetName("表.txt").handset_name, Cp932("表.txt"));
  EXPECT_TRUE(CheckHandsetName("a#b.txt").IsSendable());
  EXPECT_EQ(CheckHandsetPath("pics/表/a.jpg").handset_name, Cp932("pics\\表\\a.jpg"));
  EXPECT_TRUE(CheckHandsetPath("pics/#a.jpg").IsSendable());  // a "#" first only in the whole path
}

TEST(HandsetName, EachRefusalNamesTheCharacterNotAllowed) {
  struct Case {
    std::string name;
    HandsetNameFault fault;
    std::string shown;
  };
  const std::vector<Case> names = {
      {"sub\\evil.txt", HandsetNameFault::kSeparator, "\\"},
      {"a¥b.txt", HandsetNameFault::kSeparator, "¥"},  // becomes "\" in code page 932
      {"a･b.txt", HandsetNameFault::kSeparator, "･"},
      {"a/b.txt", HandsetNameFault::kSeparator, "/"},
      {"a,1,b.txt", HandsetNameFault::kComma, ","},
      {"two\nrows.txt", HandsetNameFault::kControl, "U+000A"},
      {"c1\xC2\x85.txt", HandsetNameFault::kControl, "U+0085"},
      {"c1\xC2\x9F.txt", HandsetNameFault::kControl, "U+009F"},  // the last C1 control
      {"del\x7F.txt", HandsetNameFault::kControl, "U+007F"},
      {"#A#x.txt", HandsetNameFault::kLeadingHash, "#"},
      {"한.txt", HandsetNameFault::kNoCodePage932, "한"},
      {"raw\xFF.txt", HandsetNameFault::kNoCodePage932, "\\xFF"},
      {"", HandsetNameFault::kEmpty, ""},
      {"..", HandsetNameFault::kDotPart, ".."},
  };
  for (const Case& c : names) {
    const HandsetNameCheck check = CheckHandsetName(c.name);
    EXPECT_EQ(check.fault, c.fault) << c.name;
    EXPECT_EQ(check.ShownCharacter(), c.shown) << c.name;
    EXPECT_TRUE(check.handset_name.empty()) << c.name;
  }
  const std::vector<Case> paths = {
      {"..\\..\\escape.txt", HandsetNameFault::kSeparator, "\\"},
      {"a/../b.txt", HandsetNameFault::kDotPart, ".."},
      {"./b.txt", HandsetNameFault::kDotPart, "."},
      {"a//b.txt", HandsetNameFault::kEmpty, ""},
      {"/etc/passwd", HandsetNameFault::kEmpty, ""},
      {"a/", HandsetNameFault::kEmpty, ""},
      {"#T#/x.txt", HandsetNameFault::kLeadingHash, "#"},
      {"ok/a,b", HandsetNameFault::kComma, ","},
  };
  for (const Case& c : paths) {
    const HandsetNameCheck check = CheckHandsetPath(c.name);
    EXPECT_EQ(check.fault, c.fault) << c.name;
    EXPECT_EQ(check.ShownCharacter(), c.shown) << c.name;
  }
  EXPECT_EQ(CheckHandsetName("a,b").Describe("the file name"),
            "the file name holds \",\", which ends a field of the handset's list");
  EXPECT_EQ(CheckHandsetName("a\tb").Describe("the file name"), "the file name holds the control character U+0009");
}

// A hostile list's names: its copies are named only when harmless here.
TEST(HandsetName, ListNamesBecomeLocalNamesOnlyWhenHarmless) {
  // 表 is 0x95 0x5C: a second byte that looks like "\" splits nothing.
  EXPECT_EQ(CheckLocalPath(Cp932("pics\\表.txt")).parts, (std::vector<std::string>{"pics", "表.txt"}));
  const std::vector<std::pair<std::string, LocalNameFault>> refused = {
      {"ctl\x1B[31mred.txt", LocalNameFault::kSlashOrControl},
      {"bell\a.txt", LocalNameFault::kSlashOrControl},
      {std::string("nul\0.txt", 8), LocalNameFault::kSlashOrControl},
      {"del\x7F.txt", LocalNameFault::kSlashOrControl},
      {"a/b.txt", LocalNameFault::kSlashOrControl},
      {"pics\\..\\x.txt", LocalNameFault::kEmptyOrDotPart},
      {"pics\\", LocalNameFault::kEmptyOrDotPart},
      {"lone\x81", LocalNameFault::kNoUtf8},
  };
  for (const auto& [name, fault] : refused) {
    EXPECT_EQ(CheckLocalPath(name).fault, fault) << name;
    EXPECT_TRUE(CheckLocalPath(name).parts.empty()) << name;
  }
  EXPECT_EQ(CheckLocalPart("bell\a.txt").fault, LocalNameFault::kSlashOrControl);
}
