#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "text/fields.h"
#include "protocol/list_records.h"

using namespace mirvo;

namespace {

std::vector<std::string> SplitText(const std::string& text, const std::string& seps = ",", bool blocks = false,
                                   bool quotes = true) {
  TCSV csv;
  csv.Text = text;
  csv.tokns = seps;
  csv.blockflg = blocks;
  csv.strflg = quotes;
  csv.Split();
  return csv.items;
}

using Fields = std::vector<std::string>;

const std::string kDashes30(30, '-');

}  // namespace

TEST(CsvSplit, FieldsEmptyFieldsAndQuotes) {
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

TEST(CsvSplit, RunsOfSeparatorsAsOne) {
  EXPECT_EQ(SplitText("a,,;b", ",;", true), (Fields{"a", "b"}));
  EXPECT_EQ(SplitText("a,,", ",", true), (Fields{"a", ""}));
  EXPECT_EQ(SplitText("a,,b", ",", false), (Fields{"a", "", "b"}));
}

TEST(CsvSplit, ComparesBytesInsideDoubleByteCharacters) {
  // ソ is 0x83 0x5C: its second byte splits at "\".
  EXPECT_EQ(SplitText("\x83\x5C" "x", "\\"), (Fields{"\x83", "x"}));
}

TEST(CsvField, PicksOneFieldOrNothing) {
  EXPECT_EQ(CsvField("a,b,c", ",", 1), "b");
  EXPECT_EQ(CsvField("a,b,c", ",", 3), "");
  EXPECT_EQ(CsvField("a,b,c", ",", -1), "");
  EXPECT_EQ(CsvField("Vendor\r\nModel", "\r\n", 0), "Vendor");
  EXPECT_EQ(CsvField("", ",", 0), "");
}

TEST(ListLine, ParsesTagPathSizeDateAndFlags) {
  ListRecord item;
  const std::string line = "#A#dir\xA5sub\xA5" "f.txt,1234,2004/01/23/1530,00" + kDashes30 + ",";
  ASSERT_EQ(ParseListLine(line, item), 0);
  EXPECT_EQ(item.Tag, "#A#");
  EXPECT_EQ(item.Folder, "");
  EXPECT_EQ(item.Name, "dir\\sub\\f.txt");
  EXPECT_EQ(item.Size, 1234);
  EXPECT_EQ(item.Date, "2004/01/23/1530");
  EXPECT_EQ(GetAttrFlag(item.Attr, kAttrProtection), kFlagOff);
  EXPECT_EQ(GetAttrFlag(item.Attr, kAttrCopyGuard), kFlagOff);
  for (int pos = 1; pos <= 30; ++pos) EXPECT_EQ(GetAttrFlag(item.Attr, pos), kFlagNone) << pos;
  EXPECT_EQ(item.Tag + item.Folder + item.Name, "#A#dir\\sub\\f.txt");
}

TEST(ListLine, TopLevelAndTaglessLines) {
  ListRecord item;
  ASSERT_EQ(ParseListLine("f.txt,0,,,", item), 0);
  EXPECT_EQ(item.Tag, "");
  EXPECT_EQ(item.Name, "f.txt");
  EXPECT_EQ(item.Size, 0);
  EXPECT_EQ(item.Date, "");
  EXPECT_EQ(item.Attr, "");

  ASSERT_EQ(ParseListLine("#abc,5,,,", item), 0);
  EXPECT_EQ(item.Tag, "");
  EXPECT_EQ(item.Name, "#abc");
  EXPECT_EQ(item.Size, 5);

  ASSERT_EQ(ParseListLine("##x,1,,,", item), 0);
  EXPECT_EQ(item.Tag, "##");
  EXPECT_EQ(item.Name, "x");
}

TEST(ListLine, KeepsA5ThatIsASecondByte) {
  ListRecord item;
  // 0x88 0xA5 is one character; the 0xA5 after it is a separator. The tag
  // keeps its bytes as they are.
  ASSERT_EQ(ParseListLine("#\xA5#\x88\xA5\xA5x,1,,,", item), 0);
  EXPECT_EQ(item.Tag, "#\xA5#");
  EXPECT_EQ(item.Name, "\x88\xA5\\x");
}

TEST(ListLine, BadSizeLeavesAPartialRecord) {
  ListRecord item;
  item.Date = "stale";
  item.Size = 99;
  EXPECT_EQ(ParseListLine("#A#x,12a,2004/01/23/1530,00" + kDashes30 + ",", item), -1);
  EXPECT_EQ(item.Tag, "#A#");
  EXPECT_EQ(item.Name, "x");
  EXPECT_EQ(item.Size, 0);
  EXPECT_EQ(item.Date, "");
  EXPECT_EQ(item.Attr, "");

  for (const char* size : {"", "-", " 5", "2147483648", "-2147483649", "99999999999"}) {
    EXPECT_EQ(ParseListLine(std::string("x,") + size + ",,,", item), -1) << size;
  }
  EXPECT_EQ(ParseListLine("x,2147483647,,,", item), 0);
  EXPECT_EQ(item.Size, 2147483647);
  EXPECT_EQ(ParseListLine("x,-2147483648,,,", item), 0);
  EXPECT_EQ(item.Size, INT32_MIN);
  EXPECT_EQ(ParseListLine("x,+5,,,", item), 0);
  EXPECT_EQ(item.Size, 5);
  // A signed size keeps the fields after it.
  ASSERT_EQ(ParseListLine("x,-1,2004/01/23/1530,10" + kDashes30 + ",", item), 0);
  EXPECT_EQ(item.Size, -1);
  EXPECT_EQ(item.Date, "2004/01/23/1530");
  EXPECT_EQ(GetAttrFlag(item.Attr, kAttrProtection), kFlagOn);
  EXPECT_EQ(ParseListLine("", item), -1);
  EXPECT_EQ(ParseListLine("#only", item), -1);
  EXPECT_EQ(item.Name, "#only");
}

TEST(ListLine, LinesTheProgramBuildsParseBack) {
  std::string attr = BlankAttr();
  SetAttrFlag(attr, kAttrProtection, kFlagOff);
  SetAttrFlag(attr, kAttrCopyGuard, kFlagOff);
  const std::string line = MakeListLine("", "song.mid", 4321, "", attr);
  EXPECT_EQ(line, "song.mid,4321,,00" + kDashes30 + ",\r\n");
  ListRecord item;
  ASSERT_EQ(ParseListLine(line, item), 0);
  EXPECT_EQ(item.Name, "song.mid");
  EXPECT_EQ(item.Size, 4321);
  EXPECT_EQ(item.Attr, attr);

  EXPECT_EQ(MakeListLine("T", "a", 1, "2004/01/23/1530", "ab"), "#T#a,1,2004/01/23/1530,ba,\r\n");
}

TEST(ListDate, ReadsDateAndTime) {
  EXPECT_DOUBLE_EQ(ListDateToDateTime("1899/12/30/0000"), 0.0);
  EXPECT_DOUBLE_EQ(ListDateToDateTime("1900/01/01/0000"), 2.0);
  EXPECT_DOUBLE_EQ(ListDateToDateTime("2000/01/01/1200"), 36526.5);
  // 2000-01-01 plus four years (one of them leap) plus 22 days, 15:30.
  EXPECT_DOUBLE_EQ(ListDateToDateTime("2004/01/23/1530"), 36526 + 1461 + 22 + 930.0 / 1440);
  EXPECT_DOUBLE_EQ(ListDateToDateTime("2004/02/29/2359"), 36526 + 1461 + 59 + 1439.0 / 1440);
  EXPECT_DOUBLE_EQ(ListDateToDateTime("2004/1/023/1530"), ListDateToDateTime("2004/01/23/1530"));
}

TEST(ListDate, RejectsWhatCannotBeRead) {
  for (const char* bad : {"2004/1/23/1530", "2004/01/23/15300", "", "2004/02/30/1200", "2003/02/29/1200",
                          "1900/02/29/0000", "2004/13/01/1200", "2004/00/01/1200", "2004/01/00/1200",
                          "2004/01/23/2400", "2004/01/23/1260", "2004/01/23/15x0", "abcd/01/23/1530",
                          "0000/01/01/0000", "2004/-1/23/1530", "2004/01/2/31530", "2004/01/231530/"}) {
    EXPECT_EQ(ListDateToDateTime(bad), -1) << bad;
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

TEST(AttrFlags, ReadWriteAndShow) {
  const std::string blank = BlankAttr();
  ASSERT_EQ(blank, std::string(32, '-'));
  for (int pos = 1; pos <= 32; ++pos) {
    EXPECT_EQ(GetAttrFlag(blank, pos), kFlagNone);
    EXPECT_EQ(FlagText(GetAttrFlag(blank, pos)), "");
  }
  std::string attr = blank;
  SetAttrFlag(attr, 32, kFlagOn);
  SetAttrFlag(attr, 31, kFlagOff);
  EXPECT_EQ(attr, std::string(30, '-') + "01");
  EXPECT_EQ(FlagText(GetAttrFlag(attr, 32)), "ON");
  EXPECT_EQ(FlagText(GetAttrFlag(attr, 31)), "OFF");
  SetAttrFlag(attr, 32, kFlagNone);
  SetAttrFlag(attr, 31, 7);  // not a flag value: unchanged
  EXPECT_EQ(attr, std::string(30, '-') + "0-");

  std::string shorter = "1";
  SetAttrFlag(shorter, 2, kFlagOff);
  EXPECT_EQ(shorter, "10" + kDashes30);
  std::string same = shorter;
  SetAttrFlag(same, 0, kFlagOn);
  SetAttrFlag(same, 33, kFlagOn);
  EXPECT_EQ(same, shorter);

  // A handset that sends fewer flags: nothing there reads as unknown.
  EXPECT_EQ(GetAttrFlag("10", 32), kFlagUnknown);
  EXPECT_EQ(GetAttrFlag("10", 1), kFlagOn);
  EXPECT_EQ(GetAttrFlag("10", 0), kFlagUnknown);
  EXPECT_EQ(GetAttrFlag("x", 1), kFlagUnknown);
  EXPECT_EQ(FlagText(kFlagUnknown), "");
}

TEST(ReverseText, ReversesBytes) {
  EXPECT_EQ(ReverseText("ab\x82\xA0"), "\xA0\x82" "ba");
  EXPECT_EQ(ReverseText(""), "");
}
