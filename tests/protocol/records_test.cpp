#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "text/fields.h"
#include "protocol/list_records.h"

using namespace mirvo;

namespace mirvo {

void PrintTo(const ListDate& date, std::ostream* out) {
  *out << date.year << '/' << date.month << '/' << date.day << ' ' << date.hour << ':' << date.minute;
}

}  // namespace mirvo

namespace {

std::vector<std::string> SplitText(const std::string& text, const std::string& separators = ",",
                                   bool merge_runs = false, bool quotes_protect = true) {
  FieldOptions options;
  options.separators = separators;
  options.merge_separator_runs = merge_runs;
  options.quotes_protect_separators = quotes_protect;
  return SplitFields(text, options);
}

using Fields = std::vector<std::string>;

const std::string kDashes30(30, '-');

}  // namespace

TEST(FieldSplit, FieldsEmptyFieldsAndQuotes) {
  EXPECT_EQ(SplitText("a,b,"), (Fields{"a", "b", ""}));
  EXPECT_EQ(SplitText("a,,b"), (Fields{"a", "", "b"}));
  EXPECT_EQ(SplitText(",a"), (Fields{"", "a"}));
  EXPECT_EQ(SplitText("abc"), (Fields{"abc"}));
  EXPECT_EQ(SplitText(""), Fields{});
  EXPECT_EQ(SplitText(","), (Fields{"", ""}));
  EXPECT_EQ(SplitText("\"x,y\",z"), (Fields{"\"x,y\"", "z"}));
  EXPECT_EQ(SplitText("\"x,y\",z", ",", false, false), (Fields{"\"x", "y\"", "z"}));
  EXPECT_EQ(SplitText("a\"b,c"), (Fields{"a\"b,c"}));  // an open quote runs to the end
  EXPECT_EQ(SplitText("a;b,c", ",;"), (Fields{"a", "b", "c"}));
  EXPECT_EQ(SplitText("a\"b", ",\""), (Fields{"a\"b"}));  // a quote byte is never a separator
}

TEST(FieldSplit, RunsOfSeparatorsAsOne) {
  EXPECT_EQ(SplitText("a,,;b", ",;", true), (Fields{"a", "b"}));
  EXPECT_EQ(SplitText("a,,", ",", true), (Fields{"a", ""}));
  EXPECT_EQ(SplitText("a,,b", ",", false), (Fields{"a", "", "b"}));
}

TEST(FieldSplit, ComparesBytesInsideDoubleByteCharacters) {
  // ソ is 0x83 0x5C: its second byte splits at "\".
  EXPECT_EQ(SplitText("\x83\x5C" "x", "\\"), (Fields{"\x83", "x"}));
}

TEST(FieldAt, PicksOneFieldOrNothing) {
  EXPECT_EQ(FieldAt("a,b,c", ",", 1), "b");
  EXPECT_EQ(FieldAt("a,b,c", ",", 3), "");
  EXPECT_EQ(FieldAt("a,b,c", ",", -1), "");
  EXPECT_EQ(FieldAt("Vendor\r\nModel", "\r\n", 0), "Vendor");
  EXPECT_EQ(FieldAt("", ",", 0), "");
}

TEST(ListLine, ParsesTagPathSizeDateAndFlags) {
  ListRecord item;
  const std::string line = "#A#dir\xA5sub\xA5" "f.txt,1234,2004/01/23/1530,00" + kDashes30 + ",";
  ASSERT_EQ(ParseListLine(line, item), 0);
  EXPECT_EQ(item.tag, "#A#");
  EXPECT_EQ(item.folder, "");
  EXPECT_EQ(item.name, "dir\\sub\\f.txt");
  EXPECT_EQ(item.size, 1234);
  EXPECT_EQ(item.date, "2004/01/23/1530");
  EXPECT_EQ(FlagAt(item.attributes, kProtectionFlag), kFlagOff);
  EXPECT_EQ(FlagAt(item.attributes, kCopyGuardFlag), kFlagOff);
  for (int pos = 1; pos <= 30; ++pos) EXPECT_EQ(FlagAt(item.attributes, pos), kFlagNone) << pos;
  EXPECT_EQ(item.tag + item.folder + item.name, "#A#dir\\sub\\f.txt");
}

TEST(ListLine, TopLevelAndTaglessLines) {
  ListRecord item;
  ASSERT_EQ(ParseListLine("f.txt,0,,,", item), 0);
  EXPECT_EQ(item.tag, "");
  EXPECT_EQ(item.name, "f.txt");
  EXPECT_EQ(item.size, 0);
  EXPECT_EQ(item.date, "");
  EXPECT_EQ(item.attributes, "");

  ASSERT_EQ(ParseListLine("#abc,5,,,", item), 0);
  EXPECT_EQ(item.tag, "");
  EXPECT_EQ(item.name, "#abc");
  EXPECT_EQ(item.size, 5);

  ASSERT_EQ(ParseListLine("##x,1,,,", item), 0);
  EXPECT_EQ(item.tag, "##");
  EXPECT_EQ(item.name, "x");
}

TEST(ListLine, KeepsA5ThatIsASecondByte) {
  ListRecord item;
  // 0x88 0xA5 is one character; the 0xA5 after it is a separator. The tag
  // keeps its bytes as they are.
  ASSERT_EQ(ParseListLine("#\xA5#\x88\xA5\xA5x,1,,,", item), 0);
  EXPECT_EQ(item.tag, "#\xA5#");
  EXPECT_EQ(item.name, "\x88\xA5\\x");
}

TEST(ListLine, BadSizeLeavesAPartialRecord) {
  ListRecord item;
  item.date = "stale";
  item.size = 99;
  EXPECT_EQ(ParseListLine("#A#x,12a,2004/01/23/1530,00" + kDashes30 + ",", item), -1);
  EXPECT_EQ(item.tag, "#A#");
  EXPECT_EQ(item.name, "x");
  EXPECT_EQ(item.size, 0);
  EXPECT_EQ(item.date, "");
  EXPECT_EQ(item.attributes, "");

  for (const char* size : {"", "-", " 5", "2147483648", "-2147483649", "99999999999"}) {
    EXPECT_EQ(ParseListLine(std::string("x,") + size + ",,,", item), -1) << size;
  }
  EXPECT_EQ(ParseListLine("x,2147483647,,,", item), 0);
  EXPECT_EQ(item.size, 2147483647);
  EXPECT_EQ(ParseListLine("x,-2147483648,,,", item), 0);
  EXPECT_EQ(item.size, INT32_MIN);
  EXPECT_EQ(ParseListLine("x,+5,,,", item), 0);
  EXPECT_EQ(item.size, 5);
  // A signed size keeps the fields after it.
  ASSERT_EQ(ParseListLine("x,-1,2004/01/23/1530,10" + kDashes30 + ",", item), 0);
  EXPECT_EQ(item.size, -1);
  EXPECT_EQ(item.date, "2004/01/23/1530");
  EXPECT_EQ(FlagAt(item.attributes, kProtectionFlag), kFlagOn);
  EXPECT_EQ(ParseListLine("", item), -1);
  EXPECT_EQ(ParseListLine("#only", item), -1);
  EXPECT_EQ(item.name, "#only");
}

TEST(ListLine, LinesTheProgramBuildsParseBack) {
  std::string attr = BlankAttributes();
  SetFlag(attr, kProtectionFlag, kFlagOff);
  SetFlag(attr, kCopyGuardFlag, kFlagOff);
  const std::string line = MakeListLine("", "song.mid", 4321, "", attr);
  EXPECT_EQ(line, "song.mid,4321,,00" + kDashes30 + ",\r\n");
  ListRecord item;
  ASSERT_EQ(ParseListLine(line, item), 0);
  EXPECT_EQ(item.name, "song.mid");
  EXPECT_EQ(item.size, 4321);
  EXPECT_EQ(item.attributes, attr);

  EXPECT_EQ(MakeListLine("T", "a", 1, "2004/01/23/1530", "ab"), "#T#a,1,2004/01/23/1530,ba,\r\n");
}

TEST(ListDate, ReadsDateAndTime) {
  EXPECT_EQ(ParseListDate("1899/12/30/0000"), (ListDate{1899, 12, 30, 0, 0}));
  EXPECT_EQ(ParseListDate("0001/01/01/0000"), (ListDate{1, 1, 1, 0, 0}));
  EXPECT_EQ(ParseListDate("9999/12/31/2359"), (ListDate{9999, 12, 31, 23, 59}));
  EXPECT_EQ(ParseListDate("2004/01/23/1530"), (ListDate{2004, 1, 23, 15, 30}));
  EXPECT_EQ(ParseListDate("2004/02/29/2359"), (ListDate{2004, 2, 29, 23, 59}));
  EXPECT_EQ(ParseListDate("2000/02/29/0000"), (ListDate{2000, 2, 29, 0, 0}));
  EXPECT_EQ(ParseListDate("2004/1/023/1530"), ParseListDate("2004/01/23/1530"));
  EXPECT_LT(*ParseListDate("2004/01/23/1530"), *ParseListDate("2004/01/23/1531"));
}

TEST(ListDate, RejectsWhatCannotBeRead) {
  for (const char* bad : {"2004/1/23/1530", "2004/01/23/15300", "", "2004/02/30/1200", "2003/02/29/1200",
                          "1900/02/29/0000", "2004/13/01/1200", "2004/00/01/1200", "2004/01/00/1200",
                          "2004/01/23/2400", "2004/01/23/1260", "2004/01/23/15x0", "abcd/01/23/1530",
                          "0000/01/01/0000", "2004/-1/23/1530", "2004/01/2/31530", "2004/01/231530/"}) {
    EXPECT_EQ(ParseListDate(bad), std::nullopt) << bad;
  }
}

TEST(Thousands, GroupsRoundsAndLeavesNonNumbers) {
  EXPECT_EQ(FormatThousands("1234567", ","), "1,234,567");
  EXPECT_EQ(FormatThousands("0", ","), "0");
  EXPECT_EQ(FormatThousands("123", ","), "123");
  EXPECT_EQ(FormatThousands("1000", "."), "1.000");
  EXPECT_EQ(FormatThousands("999.5", ","), "1,000");
  EXPECT_EQ(FormatThousands("1234.49", ","), "1,234");
  EXPECT_EQ(FormatThousands("-1234567.5", ","), "-1,234,568");
  EXPECT_EQ(FormatThousands("-0.4", ","), "0");
  EXPECT_EQ(FormatThousands("007", ","), "7");
  EXPECT_EQ(FormatThousands("99999999999999999999", ","), "99,999,999,999,999,999,999");
  for (const char* text : {"", "abc", "12a", "-", ".", "1.2.3"}) EXPECT_EQ(FormatThousands(text, ","), text);
}

TEST(Thousands, FollowsTheLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(FormatThousands("1234567"), "1,234,567");  // "C" has none: ","
  if (std::setlocale(LC_NUMERIC, "ja_JP.UTF-8")) {
    EXPECT_EQ(FormatThousands("1234567"), "1,234,567");
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Flags, ReadWriteAndShow) {
  const std::string blank = BlankAttributes();
  ASSERT_EQ(blank, std::string(32, '-'));
  for (int pos = 1; pos <= 32; ++pos) {
    EXPECT_EQ(FlagAt(blank, pos), kFlagNone);
    EXPECT_EQ(FlagText(FlagAt(blank, pos)), "");
  }
  std::string attr = blank;
  SetFlag(attr, 32, kFlagOn);
  SetFlag(attr, 31, kFlagOff);
  EXPECT_EQ(attr, std::string(30, '-') + "01");
  EXPECT_EQ(FlagText(FlagAt(attr, 32)), "ON");
  EXPECT_EQ(FlagText(FlagAt(attr, 31)), "OFF");
  SetFlag(attr, 32, kFlagNone);
  SetFlag(attr, 31, 7);  // not a flag value: unchanged
  EXPECT_EQ(attr, std::string(30, '-') + "0-");

  std::string shorter = "1";
  SetFlag(shorter, 2, kFlagOff);
  EXPECT_EQ(shorter, "10" + kDashes30);
  std::string same = shorter;
  SetFlag(same, 0, kFlagOn);
  SetFlag(same, 33, kFlagOn);
  EXPECT_EQ(same, shorter);

  // A handset that sends fewer flags: nothing there reads as unknown.
  EXPECT_EQ(FlagAt("10", 32), kFlagUnknown);
  EXPECT_EQ(FlagAt("10", 1), kFlagOn);
  EXPECT_EQ(FlagAt("10", 0), kFlagUnknown);
  EXPECT_EQ(FlagAt("x", 1), kFlagUnknown);
  EXPECT_EQ(FlagText(kFlagUnknown), "");
}

TEST(ReverseText, ReversesBytes) {
  EXPECT_EQ(ReverseText("ab\x82\xA0"), "\xA0\x82" "ba");
  EXPECT_EQ(ReverseText(""), "");
}
