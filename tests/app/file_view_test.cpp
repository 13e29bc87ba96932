// The file list of the main window: selection status, sorting, the search
// panel, view styles and names in the icon views.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QHeaderView>
#include <QScreen>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QActionGroup>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <fstream>
#include <iterator>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/icon_cell_delegate.h"
#include "app/port_dialog.h"
#include "app/about_dialog.h"
#include "app/splash_screen.h"
#include "app/main_window.h"
#include "app/transfer_progress.h"
#include "app/password_dialog.h"
#include "app_test_support.h"
#include "window_fixture.h"
#include "core/paths.h"
#include "protocol/trace_log.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

class FileViewTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() { SetUp(); }
  void cleanup() { TearDown(); }

  void selectionShowsCountAndSize() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    SelectNamed(*w, {"k1.dat", "k2.dat", "one.dat"});
    QCOMPARE(w->StatusText(StatusField::Activity), QString("3 個のファイルを選択"));
    QCOMPARE(w->StatusText(StatusField::Size), QString("2.00 KB"));
    SelectNamed(*w, {"k1.dat"});
    QCOMPARE(w->StatusText(StatusField::Activity), QString("1 個のファイルを選択"));
    QCOMPARE(w->StatusText(StatusField::Size), QString("1024 B"));
    w->Files().DetailView()->selectionModel()->clearSelection();
    QCOMPARE(w->StatusText(StatusField::Activity), QString());
    QCOMPARE(w->StatusText(StatusField::Size), QString());
    QCOMPARE(mirvo::app::SizeText(1048576), QString("1024.00 KB"));
    QCOMPARE(mirvo::app::SizeText(1048577), QString("1.00 MB"));
  }

  void sortingByEachColumnBothWays() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    auto& model = w->Files().Model();
    auto sizes = [&] {
      QList<int> s;
      for (int r = 0; r < model.rowCount(); ++r) s << model.SizeOfRow(r);
      return s;
    };
    // Names: the first click gives Z to A, in bytes without ASCII case.
    w->Files().SortByColumn(0);
    QCOMPARE(Column(*w, 0), (QStringList{QString("保護.txt"), "one.dat", "k2.dat", "k1.dat", "guard.mid", "dir\\x.txt",
                                         "c.mid", "b.txt", "A.jpg"}));
    w->Files().SortByColumn(0);
    QCOMPARE(Column(*w, 0).first(), QString("A.jpg"));
    QCOMPARE(Column(*w, 0).last(), QString("保護.txt"));
    // Size: the first click gives the smallest first.
    w->Files().SortByColumn(1);
    QList<int> s = sizes();
    QVERIFY(std::is_sorted(s.begin(), s.end()));
    QCOMPARE(s.first(), 0);
    w->Files().SortByColumn(1);
    s = sizes();
    QVERIFY(std::is_sorted(s.rbegin(), s.rend()));
    QCOMPARE(s.first(), 1234);
    // Dates sort in time order through their text.
    w->Files().SortByColumn(3);
    QCOMPARE(Column(*w, 3).first(), QString("2008/08/08 08:08"));
    w->Files().SortByColumn(3);
    QCOMPARE(Column(*w, 3).first(), QString("2001/02/03 04:05"));
    // Flags: ascending puts empty cells first.
    w->Files().SortByColumn(4);
    QCOMPARE(Column(*w, 4).first(), QString("ON"));
    w->Files().SortByColumn(4);
    QCOMPARE(Column(*w, 4).last(), QString("ON"));
    w->Files().SortByColumn(5);
    QCOMPARE(Column(*w, 5).first(), QString("ON"));
    w->Files().SortByColumn(5);
    QCOMPARE(Column(*w, 5).last(), QString("ON"));
    w->Files().SortByColumn(2);
    QStringList types = Column(*w, 2);
    w->Files().SortByColumn(2);
    std::reverse(types.begin(), types.end());
    QCOMPARE(Column(*w, 2).first(), types.first());
    // Links stay true after sorting.
    for (int row = 0; row < model.rowCount(); ++row) QCOMPARE(model.RowOfLine(model.LineOfRow(row)), row);
    // A selection follows its rows through a sort.
    SelectNamed(*w, {"k1.dat"});
    w->Files().SortByColumn(0);
    const QModelIndexList rows = w->Files().DetailView()->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].data().toString(), QString("k1.dat"));
    // Entering the list keeps the sort and the selection while the cache is
    // unchanged, and a click selects the file that was under the pointer.
    QCOMPARE(Column(*w, 0).first(), QString("保護.txt"));
    Button(*w, "search")->click();
    Child<QLineEdit>(*w, "search_edit")->setFocus(Qt::TabFocusReason);
    SelectNamed(*w, {"k1.dat"});
    w->Files().DetailView()->setFocus(Qt::TabFocusReason);
    QCOMPARE(Column(*w, 0).first(), QString("保護.txt"));
    QCOMPARE(w->StatusText(StatusField::Activity), QString("1 個のファイルを選択"));
    Child<QLineEdit>(*w, "search_edit")->setFocus(Qt::TabFocusReason);
    QTest::mouseClick(w->Files().DetailView()->viewport(), Qt::LeftButton, {},
                      w->Files().DetailView()->visualRect(w->Files().Model().index(0, 0)).center());
    QTRY_VERIFY(w->Files().DetailView()->hasFocus());
    QTest::qWait(0);
    auto selected = [&] {
      QStringList names;
      for (const QModelIndex& i : w->Files().DetailView()->selectionModel()->selectedRows()) names << i.data().toString();
      return names;
    };
    QCOMPARE(selected(), QStringList{QString("保護.txt")});
    // A changed cache is listed again, in the order the user chose.
    QStringList kept = Column(*w, 0);
    std::vector<std::string> lines = ListedLines(*w);
    lines.pop_back();
    w->Files().SetListing(mirvo::HandsetListing::FromLines(lines));
    Child<QLineEdit>(*w, "search_edit")->setFocus(Qt::TabFocusReason);
    w->Files().DetailView()->setFocus(Qt::TabFocusReason);
    QCOMPARE(w->Files().Model().rowCount(), 8);
    kept.removeIf([&](const QString& name) { return !Column(*w, 0).contains(name); });
    QCOMPARE(Column(*w, 0), kept);
    QCOMPARE(w->Files().DetailView()->header()->sortIndicatorSection(), 0);
    QCOMPARE(w->Files().DetailView()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    QVERIFY(!w->Files().DetailView()->selectionModel()->hasSelection());
    // Leaving it disables the tool buttons that act on the selection.
    SelectNamed(*w, {"k1.dat"});
    QVERIFY(Button(*w, "cut")->isEnabled());
    Child<QLineEdit>(*w, "search_edit")->setFocus(Qt::TabFocusReason);
    QVERIFY(!Button(*w, "cut")->isEnabled() && !Button(*w, "copy")->isEnabled() && !Button(*w, "delete")->isEnabled());
    QVERIFY(Action(*w, "cut")->isEnabled());  // the menu keeps the selection rule
  }

  // A search, a delete, a send and a refresh list the files again: in the
  // user's order, which the View menu's 並べ替え marks throughout.
  void sortStaysThroughEveryRefill() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    auto& model = w->Files().Model();
    auto marked = [&] {
      QStringList checked;
      for (QAction* a : Child<QMenu>(*w, "sort_menu")->actions())
        if (a->isChecked()) checked << a->objectName();
      return checked;
    };
    auto largest_first = [&] {
      QList<int> sizes;
      for (int r = 0; r < model.rowCount(); ++r) sizes << model.SizeOfRow(r);
      return model.rowCount() > 1 && std::is_sorted(sizes.rbegin(), sizes.rend());
    };
    QCOMPARE(marked(), (QStringList{"sort_by_column_0_action", "sort_ascending_action"}));
    Action(*w, "sort_by_column_1")->trigger();
    QCOMPARE(model.SizeOfRow(0), 0);
    QCOMPARE(marked(), (QStringList{"sort_by_column_1_action", "sort_ascending_action"}));
    Action(*w, "sort_descending")->trigger();
    QCOMPARE(marked(), (QStringList{"sort_by_column_1_action", "sort_descending_action"}));
    QVERIFY(largest_first());
    QCOMPARE(model.SizeOfRow(0), 1234);

    Button(*w, "search")->click();
    Child<QLineEdit>(*w, "search_edit")->setText("*.dat");
    QTest::keyClick(Child<QLineEdit>(*w, "search_edit"), Qt::Key_Return);
    QCOMPARE(Column(*w, 0), (QStringList{"k1.dat", "k2.dat", "one.dat"}));
    Child<QPushButton>(*w, "search_close_button")->click();
    QCOMPARE(model.rowCount(), 9);
    QVERIFY(largest_first());

    SelectNamed(*w, {"c.mid"});
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().DeleteSelected(false); }), 0);
    QTRY_COMPARE(model.rowCount(), 8);
    QVERIFY(largest_first());

    const fs::path local = fs::path(env->dir.path()) / "up.dat";
    MakeFile(local, 2000);
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().UploadFiles({QString::fromStdString(local.string())}); }), 0);
    QTRY_COMPARE(model.rowCount(), 9);
    QCOMPARE(Column(*w, 0).first(), QString("up.dat"));
    QVERIFY(largest_first());

    MakeFile(root / "big.bin", 5000);
    Action(*w, "refresh")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 10, 15000);
    QCOMPARE(Column(*w, 0).first(), QString("big.bin"));
    QVERIFY(largest_first());
    QCOMPARE(w->Files().DetailView()->header()->sortIndicatorSection(), 1);
    QCOMPARE(w->Files().DetailView()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    QCOMPARE(marked(), (QStringList{"sort_by_column_1_action", "sort_descending_action"}));
    // 昇順 turns the column the list is sorted by.
    Action(*w, "sort_ascending")->trigger();
    QCOMPARE(model.SizeOfRow(0), 1);  // one.dat: c.mid, of none, is gone
    QCOMPARE(marked(), (QStringList{"sort_by_column_1_action", "sort_ascending_action"}));
    // A header click moves the marks as well.
    w->Files().SortByColumn(3);
    QCOMPARE(marked(), (QStringList{"sort_by_column_3_action", "sort_descending_action"}));
  }

  void selectAllRunsOnlyAsTheEnabledCommand() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    QTreeView* view = w->Files().DetailView();
    view->setFocus(Qt::TabFocusReason);
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);  // 全て選択 is disabled
    QVERIFY(!view->selectionModel()->hasSelection());
    SelectNamed(*w, {"b.txt"});
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(view->selectionModel()->selectedRows().size(), 9);
    QCOMPARE(w->StatusText(StatusField::Activity), QString("9 個のファイルを選択"));
    SelectNamed(*w, {"b.txt"});
    Action(*w, "select_all")->trigger();
    QCOMPARE(view->selectionModel()->selectedRows().size(), 9);
  }

  void searchWrapsThePatternAndCloses() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    Button(*w, "search")->click();
    QVERIFY(w->Files().IsSearchShown());
    QVERIFY(Child<QFrame>(*w, "search_panel")->isVisible());
    QVERIFY(Button(*w, "search")->isChecked());
    Child<QLineEdit>(*w, "search_edit")->setText("txt");
    QTest::keyClick(Child<QLineEdit>(*w, "search_edit"), Qt::Key_Return);
    QCOMPARE(w->Files().SearchPattern(), std::string("*txt*"));
    QCOMPARE(Column(*w, 0), (QStringList{"b.txt", "dir\\x.txt", QString("保護.txt")}));
    Child<QLineEdit>(*w, "search_edit")->setText("*.mid");
    Child<QPushButton>(*w, "search_start_button")->click();
    QCOMPARE(w->Files().SearchPattern(), std::string("*.mid"));
    QCOMPARE(Column(*w, 0), (QStringList{"c.mid", "guard.mid"}));
    Child<QPushButton>(*w, "search_close_button")->click();
    QVERIFY(!w->Files().IsSearchShown());
    QVERIFY(!Child<QFrame>(*w, "search_panel")->isVisible());
    QCOMPARE(w->Files().SearchPattern(), std::string("**"));
    QCOMPARE(w->Files().Model().rowCount(), 9);
    // Not while a job runs.
    w->Files().SetBusyCheck([] { return true; });
    Action(*w, "search")->trigger();
    QVERIFY(!w->Files().IsSearchShown());
  }

  void iconViewsShowNamesWhole() {
    MainWindow w;
    const QString long_name = QString("とても長い名前のファイルはここで二行に折り返されてから省略される.txt");
    const std::vector<std::string> lines = {mirvo::text::Cp932("写真001.jpg") + ",1,,,", "Banana.TXT,1,,,",
                                            mirvo::text::Cp932(long_name.toStdString()) + ",1,,,"};
    w.Files().SetListing(mirvo::HandsetListing::FromLines(lines));
    w.Files().ShowFolder("", nullptr);
    w.resize(640, 480);
    Action(w, "large_icons")->trigger();
    auto text_width = [&](int row) { return w.Files().IconView()->visualRect(w.Files().Model().index(row, 0)).width() - 4; };
    const QFont font = w.Files().IconView()->font();
    using mirvo::app::IconCellDelegate;
    QCOMPARE(IconCellDelegate::NameLines(QString("写真001.jpg"), font, text_width(RowNamed(w, QString("写真001.jpg")))),
             QStringList{QString("写真001.jpg")});
    QVERIFY(text_width(0) >= QFontMetrics(font).horizontalAdvance(QString("あいうえおかきくけこさし")));
    const QStringList cut = IconCellDelegate::NameLines(long_name, font, text_width(RowNamed(w, long_name)));
    QCOMPARE(cut.size(), 2);
    QVERIFY(long_name.startsWith(cut[0]));
    // The second line is cut in its middle: the ending stays.
    QVERIFY(cut[1].contains(QChar(0x2026)));
    QVERIFY(cut[1].endsWith(".txt"));
    // Names alike but for their number stay apart.
    QStringList seconds;
    for (int n = 1; n <= 24; ++n) {
      const QString mail =
          QString("受信メール_2024年06月_田中さんからの返信_お見積もりの件について_%1.eml").arg(n, 2, 10, QChar('0'));
      const QStringList mail_lines = IconCellDelegate::NameLines(mail, font, text_width(0));
      QCOMPARE(mail_lines.size(), 2);
      QVERIFY(mail_lines[1].contains(QChar(0x2026)));
      QVERIFY2(mail_lines[1].endsWith(QString("_%1.eml").arg(n, 2, 10, QChar('0'))), qPrintable(mail_lines.join('/')));
      seconds << mail_lines[1];
    }
    seconds.removeDuplicates();
    QCOMPARE(seconds.size(), 24);
    Action(w, "small_icons")->trigger();
    const int banana = RowNamed(w, "Banana.TXT");
    QVERIFY(w.Files().IconView()->visualRect(w.Files().Model().index(banana, 0)).width() >=
            QFontMetrics(font).horizontalAdvance(long_name) + 16);
  }
};

QTEST_MAIN(FileViewTest)
#include "file_view_test.moc"
