// The list model alone: cells of odd lines, links, pattern errors.
#include <QTest>

#include "app/device_list_model.h"
#include "text/cp932.h"

using mirvo::app::DeviceListModel;

namespace {

QStringList Row(DeviceListModel& m, int row) {
  QStringList cells;
  for (int c = 0; c < DeviceListModel::kColumns; ++c) cells << m.index(row, c).data().toString();
  return cells;
}

}  // namespace

class ListViewTest : public QObject {
  Q_OBJECT

 private slots:
  void cellsOfEveryKindOfLine() {
    const std::vector<std::string> lines = {
        "big.bin,1234567,2004/01/23/1530,10------------------------------,",
        "odd.txt,5,2004/02/30/1200,-0------------------------------,",
        "bad,12a,,",
        "#T#tagged.txt,7,,01------------------------------,",
    };
    DeviceListModel m;
    QVERIFY(!m.Fill(mirvo::HandsetListing::FromLines(lines), "", nullptr));
    QCOMPARE(m.rowCount(), 4);
    QCOMPARE(Row(m, 0).mid(0, 2), (QStringList{"bad", "0 B"}));
    QCOMPARE(Row(m, 1).mid(0, 2), (QStringList{"big.bin", "1,234,567 B"}));
    QCOMPARE(Row(m, 1).mid(3), (QStringList{"2004/01/23 15:30", "ON", "OFF"}));
    QCOMPARE(Row(m, 2).mid(3), (QStringList{"1899/12/29 00:00", "", "OFF"}));
    QCOMPARE(Row(m, 3)[0], QString("tagged.txt"));
    QCOMPARE(m.index(1, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight, int(Qt::AlignRight));
    QVERIFY(!(m.flags(m.index(0, 0)) & Qt::ItemIsEditable));
    // Row and line find each other.
    QCOMPARE(m.LineOfRow(0), 2);
    QCOMPARE(m.RowOfLine(0), 1);
    QCOMPARE(m.LineOfRow(9), -1);
    QCOMPARE(m.RowOfLine(9), -1);
  }

  void onlyTheCurrentFolderAndMatchingNames() {
    const std::vector<std::string> lines = {"a.jpg,1,,,", "b.mid,1,,,", "x.mid.txt,1,,,"};
    DeviceListModel m;
    QVERIFY(!m.Fill(mirvo::HandsetListing::FromLines(lines), "sub\\", nullptr));
    QCOMPARE(m.rowCount(), 0);
    const std::string pattern = "*.mid";
    QVERIFY(!m.Fill(mirvo::HandsetListing::FromLines(lines), "", &pattern));
    QCOMPARE(m.rowCount(), 1);
    QCOMPARE(m.RowOfLine(0), -1);  // a line not shown links to no row
    QCOMPARE(m.RowOfLine(1), 0);
  }

  void aBadPatternEndsTheFillAndKeepsEarlierRows() {
    const std::vector<std::string> lines = {"z.txt,1,,,", "b[\\q].txt,1,,,", "c.txt,1,,,"};
    DeviceListModel m;
    const std::string pattern = "*";
    const auto error = m.Fill(mirvo::HandsetListing::FromLines(lines), "", &pattern);
    QVERIFY(error.has_value());
    QVERIFY(!error->isEmpty());
    QCOMPARE(m.rowCount(), 1);
    QCOMPARE(m.index(0, 0).data().toString(), QString("z.txt"));
  }

  void textColumnsSortByCodePage932Bytes() {
    const std::vector<std::string> lines = {"a.vcf,1,,,", "b.txt,1,,,", "c.jpg,1,,,", "d.mid,1,,,", "e.html,1,,,"};
    DeviceListModel m;
    m.Fill(mirvo::HandsetListing::FromLines(lines), "", nullptr);
    m.SortByColumn(2, true);
    std::vector<std::string> bytes;
    bool utf16_differs = false;
    for (int r = 0; r < m.rowCount(); ++r) {
      const QString cell = m.index(r, 2).data().toString();
      bytes.push_back(*mirvo::text::Utf8ToCp932(cell.toStdString()));
      if (r > 0 && m.index(r - 1, 2).data().toString() > cell) utf16_differs = true;
    }
    QVERIFY(std::is_sorted(bytes.begin(), bytes.end()));
    QVERIFY(utf16_differs);  // else these names could not tell the two orders apart
  }

  void japaneseNamesAreShownInUtf8() {
    const std::vector<std::string> lines = {mirvo::text::Cp932("写真\\桜.jpg") + ",2,,,", "\x81,1,,,"};
    DeviceListModel m;
    m.Fill(mirvo::HandsetListing::FromLines(lines), "", nullptr);
    QStringList names;
    for (int r = 0; r < m.rowCount(); ++r) names << m.index(r, 0).data().toString();
    QVERIFY(names.contains(QString::fromUtf8("写真\\桜.jpg")));
    QVERIFY(names.contains("<81>"));  // no form in UTF-8: visible, not dropped
  }
};

QTEST_MAIN(ListViewTest)
#include "list_view_test.moc"
