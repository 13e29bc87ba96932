// The main window against a simulated handset on a pseudo-terminal.
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
#include "app/main_window.h"
#include "app_test_support.h"
#include "core/paths.h"
#include "protocol/trace_log.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

const char* const kConnectFailed =
    "接続に失敗しました。\r\nドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります";
const char* const kPasswordFailed =
    "何らかの理由により電話機との通信が開始できません。\r\n編集メニューのパスワード設定は電話機と一致していますか？";

// The sample handset of these tests.
fs::path MakeSample(const std::string& base) {
  const fs::path root = fs::path(base) / "handset";
  MakeFile(root / "b.txt", 1234, 2004, 1, 23, 15, 30);
  MakeFile(root / "A.jpg", 10, 2003, 5, 1, 9, 5);
  MakeFile(root / "c.mid", 0, 2005, 12, 31, 23, 59);
  MakeFile(root / "k1.dat", 1024, 2001, 2, 3, 4, 5);
  MakeFile(root / "k2.dat", 1024, 2001, 2, 3, 4, 6);
  MakeFile(root / "one.dat", 1, 2002, 2, 3, 4, 5);
  MakeFile(root / "dir" / "x.txt", 5, 2006, 6, 6, 6, 6);
  MakeFile(root / "保護.txt", 7, 2007, 7, 7, 7, 7);
  MakeFile(root / "guard.mid", 3, 2008, 8, 8, 8, 8);
  std::ofstream attrs(root / ".handset-attributes");
  attrs << "保護.txt\t10" << std::string(30, '-') << "\n";
  attrs << "guard.mid\t-1" << std::string(30, '-') << "\n";
  attrs << "b.txt\t--" << std::string(30, '-') << "\n";
  return root;
}

QStringList Column(MainWindow& w, int column) {
  QStringList cells;
  auto& model = w.ListModel();
  for (int row = 0; row < model.rowCount(); ++row) cells << model.index(row, column).data().toString();
  return cells;
}

int RowNamed(MainWindow& w, const QString& name) { return static_cast<int>(Column(w, 0).indexOf(name)); }

void Select(MainWindow& w, const QStringList& names) {
  auto* selection = w.DetailView()->selectionModel();
  selection->clearSelection();
  for (const QString& name : names)
    selection->select(w.ListModel().index(RowNamed(w, name), 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Keys of config.ini in file order.
QStringList Keys(const std::string& config) {
  QStringList keys;
  for (const QString& line : QString::fromStdString(config).split("\r\n", Qt::SkipEmptyParts))
    keys << line.section('=', 0, 0);
  return keys;
}

}  // namespace

// Takes the URLs the help command opens, in place of a viewer.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
  Q_INVOKABLE void Open(const QUrl& url) { urls << url; }
};

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnv> env;
  fs::path root;

  // A window on the sample handset as COM3, connected.
  std::unique_ptr<MainWindow> Connected(mirvo::sim::HandsetOptions options = {}) {
    env->StartHandset(3, root, std::move(options));
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    auto w = std::make_unique<MainWindow>();
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    return w;
  }

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = MakeSample(env->dir.path());
  }
  void cleanup() { env.reset(); }

  void firstStartWithoutConfigAsksForThePortAndWritesDefaults() {
    env->StartHandset(3, root);
    bool dialog_seen = false;
    QStringList lines;
    OnNextModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<mirvo::app::PortDialog*>(modal);
      dialog_seen = dialog != nullptr;
      if (!dialog) return;
      for (int i = 0; i < dialog->PortList()->count(); ++i) lines << dialog->PortList()->item(i)->text();
      dialog->CancelButton()->click();
    });
    MainWindow w;
    QCOMPARE(w.Password, std::string("0000"));
    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(dialog_seen, 20000);
    QCOMPARE(lines, QStringList{"COM3 : ZQR - TQ-R5101K"});
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(w.ViewStyle, 3);
    QCOMPARE(w.CurrentListView(), static_cast<QWidget*>(w.DetailView()));
    QVERIFY(w.ComPort.empty());
    QVERIFY(!env->ConfigExists());  // nothing is written before the close
    QVERIFY(w.close());
    const std::string config = env->ReadConfig();
    QCOMPARE(Keys(config), (QStringList{"PASSWORD", "VIEW_STYLE", "FORM_LEFT", "FORM_TOP", "FORM_WIDTH",
                                        "FORM_HEIGHT", "TREEVIEW_WIDTH", "FORM_LISTVIEW_COLUMN_0",
                                        "FORM_LISTVIEW_COLUMN_1", "FORM_LISTVIEW_COLUMN_2", "FORM_LISTVIEW_COLUMN_3",
                                        "FORM_LISTVIEW_COLUMN_4", "FORM_LISTVIEW_COLUMN_5"}));
    QVERIFY(config.find("PASSWORD=0000\r\n") == 0);
    QVERIFY(config.find("VIEW_STYLE=3\r\n") != std::string::npos);
    QVERIFY(config.find("TREEVIEW_WIDTH=112\r\n") != std::string::npos);
  }

  void firstStartOpensCentredWithColumnsThatFit() {
    MainWindow w;
    w.FirstActivation = false;
    w.show();
    QCOMPARE(w.size(), QSize(640, 480));
    QVERIFY(w.CoolBar1->width() >= w.CoolBar1->sizeHint().width());
    const QPoint centre = w.screen()->availableGeometry().center();
    QVERIFY((w.geometry().center() - centre).manhattanLength() <= 6);  // the frame, where there is one
    const QFontMetrics metrics(w.DetailView()->font());
    QVERIFY(w.DetailView()->header()->sectionSize(3) > metrics.horizontalAdvance("2026/12/31 23:59"));
    QCOMPARE(w.DetailView()->header()->sectionSize(1), 80);  // wide enough already
  }

  void qtTextsAndTypeNamesAreJapanese() {
    QVERIFY(mirvo::app::LoadQtJapanese());
    QMessageBox box(QMessageBox::Question, "Mirvo", "?", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), U("はい(&Y)"));
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions()) texts << a->text();
    QVERIFY2(texts.join(' ').contains(U("すべてを選択")), qPrintable(texts.join(' ')));
    const QLocale before;
    QLocale::setDefault(QLocale::c());
    const QString type = mirvo::app::ShellTypeName(".png");
    QLocale::setDefault(before);
    QVERIFY2(std::any_of(type.begin(), type.end(), [](QChar c) { return c.unicode() > 0x3000; }), qPrintable(type));
  }

  void connectListsTheHandsetInNameOrderWithItsCells() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && w->ListModel().rowCount() == 9, 15000);
    QTRY_VERIFY(!w->Connecting && !w->Busy);
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(Column(*w, 0), (QStringList{"A.jpg", "b.txt", "c.mid", "dir\\x.txt", "guard.mid", "k1.dat", "k2.dat",
                                         "one.dat", U("保護.txt")}));
    const int b = RowNamed(*w, "b.txt");
    QCOMPARE(Column(*w, 1)[b], QString("1,234 B"));
    QCOMPARE(Column(*w, 3)[b], QString("2004/01/23 15:30"));
    QCOMPARE(Column(*w, 4)[b], QString());
    QCOMPARE(Column(*w, 5)[b], QString());
    const int p = RowNamed(*w, U("保護.txt"));
    QCOMPARE(Column(*w, 4)[p], QString("ON"));
    QCOMPARE(Column(*w, 5)[p], QString("OFF"));
    const int g = RowNamed(*w, "guard.mid");
    QCOMPARE(Column(*w, 4)[g], QString());
    QCOMPARE(Column(*w, 5)[g], QString("ON"));
    QCOMPARE(Column(*w, 1)[RowNamed(*w, "c.mid")], QString("0 B"));
    QVERIFY(!Column(*w, 2)[b].isEmpty());
    QCOMPARE(w->PanelText(2), QString("COM3"));
    QCOMPARE(w->PanelText(3), QString("ZQR - TQ-R5101K"));
    QCOMPARE(w->VendorName, std::string("ZQR"));
    // Each row finds its own line, and the line its row.
    for (int row = 0; row < w->ListModel().rowCount(); ++row)
      QCOMPARE(w->ListModel().RowOfLine(w->ListModel().LineOfRow(row)), row);
  }

  void wrongPasswordReportsTracesAndCloses() {
    const std::string log = env->dir.path() + "/debug.log";
    std::ofstream(log).close();  // tracing runs only into an existing file
    mirvo::LogStartAt(log);
    mirvo::sim::HandsetOptions options;
    options.password = "9999";
    auto w = Connected(options);
    QTRY_VERIFY_WITH_TIMEOUT(env->boxes.size() == 1 && !w->Connecting, 15000);
    mirvo::LogClose();
    QCOMPARE(env->boxes[0].text, U(kPasswordFailed));
    QCOMPARE(env->boxes[0].caption, QString("Mirvo"));
    QCOMPARE(env->boxes[0].icon, mirvo::MsgIcon::Error);
    std::ifstream in(log, std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(trace.find(mirvo::text::Cp932("FT_START失敗")) != std::string::npos);
    QVERIFY(!w->Serial().Opened());
    QVERIFY(!w->LinkOpen && !w->SessionOpen);
    QCOMPARE(w->PanelText(2), U("未接続"));
    QVERIFY(w->miPassword->isEnabled());
    QVERIFY(w->tbtnConnect->isEnabled());
  }

  void missingPortReportsThenOffersThePortSelection() {
    env->WriteConfig("COM=COM9\r\n");
    env->dir.LinkPort(9, env->dir.path() + "/no-such-device");
    const std::string log = env->dir.path() + "/debug.log";
    std::ofstream(log).close();
    mirvo::LogStartAt(log);
    int boxes_before_dialog = -1;
    OnNextModal([&](QWidget* modal) {
      boxes_before_dialog = static_cast<int>(env->boxes.size());
      if (auto* dialog = qobject_cast<mirvo::app::PortDialog*>(modal)) dialog->reject();
    });
    MainWindow w;
    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(boxes_before_dialog >= 0, 20000);
    QTRY_VERIFY(!w.Connecting);
    QCOMPARE(boxes_before_dialog, 1);
    QCOMPARE(env->Texts(), QStringList{U(kConnectFailed)});
    QCOMPARE(w.ComPort, std::string("COM9"));  // a cancelled choice changes nothing
    QVERIFY(!w.LinkOpen);
    mirvo::LogClose();
    // The trace keeps the system's reason the port did not open.
    std::ifstream in(log, std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(trace.find("COM9 (" + env->dir.path() + "/no-such-device): ") != std::string::npos);
  }

  void handsetEndingTheSessionEmptiesTheList() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    env->handsets[0]->SendFtEnd();
    QTRY_VERIFY_WITH_TIMEOUT(!w->LinkOpen, 10000);
    QCOMPARE(env->Texts(), QStringList{U("電話機との通信が中断されました。")});
    QCOMPARE(w->ListModel().rowCount(), 0);
    QVERIFY(w->DeviceListCache.empty());
    QCOMPARE(w->PanelText(2), U("未接続"));
    QVERIFY(w->tbtnConnect->isEnabled());
    QVERIFY(w->miConnect->isEnabled());
    QVERIFY(w->SessionOpen);  // the port stays open until a disconnect
    QVERIFY(!w->Busy);
  }

  void f5RefreshesAnywhereButOnlyInASession() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && !w->Connecting && !w->Busy, 15000);
    auto& handset = *env->handsets[0];
    MakeFile(root / "new.txt", 3);
    handset.ClearLog();
    QTest::keyClick(w->CurrentListView(), Qt::Key_F5);
    QVERIFY(handset.WaitForCommand("GET_LIST", std::chrono::seconds(5)));
    QCOMPARE(w->ListModel().rowCount(), 10);

    // Also while a dialog of the program is open.
    handset.ClearLog();
    bool refreshed = false;
    OnNextModal([&](QWidget* modal) {
      QTest::keyClick(modal, Qt::Key_F5);
      refreshed = handset.WaitForCommand("GET_LIST", std::chrono::seconds(5));
      modal->close();
    });
    w->miAbout->trigger();
    QVERIFY(refreshed);

    // Not without a session.
    w->Disconnect();
    handset.ClearLog();
    QTest::keyClick(w->CurrentListView(), Qt::Key_F5);
    QVERIFY(handset.Commands().empty());
    QCOMPARE(env->Texts(), QStringList{});
  }

  void selectionShowsCountAndSize() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    Select(*w, {"k1.dat", "k2.dat", "one.dat"});
    QCOMPARE(w->PanelText(0), U("3 個のファイルを選択"));
    QCOMPARE(w->PanelText(1), QString("2.00 KB"));
    Select(*w, {"k1.dat"});
    QCOMPARE(w->PanelText(0), U("1 個のファイルを選択"));
    QCOMPARE(w->PanelText(1), QString("1024 B"));
    w->DetailView()->selectionModel()->clearSelection();
    QCOMPARE(w->PanelText(0), QString());
    QCOMPARE(w->PanelText(1), QString());
    QCOMPARE(mirvo::app::SizeText(1048576), QString("1024.00 KB"));
    QCOMPARE(mirvo::app::SizeText(1048577), QString("1.00 MB"));
  }

  void commandsFollowTheConnectionAndSelection() {
    auto w = Connected();
    MainWindow& m = *w;
    const QList<QObject*> not_linked = {m.miConnect, m.tbtnConnect, m.miPassword, m.miCOMPort};
    const QList<QObject*> linked = {m.miDisconnect, m.tbtnDisconnect, m.miRefresh, m.tbtnRefresh, m.miSearch,
                                    m.tbtnSearch};
    const QList<QObject*> selected = {m.miCut, m.miCopy, m.miDelete, m.miSelectAll, m.miCut1, m.miCopy1,
                                      m.miDelete1, m.miSelectAll1, m.tbtnCut, m.tbtnCopy, m.tbtnDelete};
    const QList<QObject*> paste = {m.miPaste, m.miPaste1, m.tbtnPaste};
    const QList<QObject*> always = {m.miExit, m.miAbout, m.miAppHelp, m.tbtnHelp, m.miLargeIcon, m.miDetail2,
                                    m.tbtnViewStyle};
    auto enabled = [](QObject* o) {
      if (auto* a = qobject_cast<QAction*>(o)) return a->isEnabled();
      return qobject_cast<QWidget*>(o)->isEnabled();
    };
    auto check = [&](bool L, bool S, bool F, const char* state) {
      m.UpdateCommands();
      for (QObject* o : not_linked) QVERIFY2(enabled(o) == !L, qPrintable(o->objectName() + " " + state));
      for (QObject* o : linked) QVERIFY2(enabled(o) == L, qPrintable(o->objectName() + " " + state));
      for (QObject* o : selected) QVERIFY2(enabled(o) == S, qPrintable(o->objectName() + " " + state));
      for (QObject* o : paste) QVERIFY2(enabled(o) == (L && F), qPrintable(o->objectName() + " " + state));
      for (QObject* o : always) QVERIFY2(enabled(o), qPrintable(o->objectName() + " " + state));
    };
    QTRY_VERIFY_WITH_TIMEOUT(m.SessionOpen && m.ListModel().rowCount() == 9 && !m.Connecting, 15000);
    QApplication::clipboard()->clear();
    check(true, false, false, "session");
    Select(m, {"b.txt"});
    check(true, true, false, "session, selection");
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile("/tmp/x")});
    QApplication::clipboard()->setMimeData(files);
    check(true, true, true, "session, selection, files");
    // Opening a menu recomputes the states as well.
    QApplication::clipboard()->clear();
    emit m.miEdit->aboutToShow();
    QVERIFY(!m.miPaste->isEnabled());
    QApplication::clipboard()->setMimeData(new QMimeData);
    auto* again = new QMimeData;
    again->setUrls({QUrl::fromLocalFile("/tmp/x")});
    QApplication::clipboard()->setMimeData(again);
    emit m.pmenuEdit->aboutToShow();
    QVERIFY(m.miPaste1->isEnabled());
    env->handsets[0]->SendFtEnd();
    QTRY_VERIFY_WITH_TIMEOUT(!m.LinkOpen, 10000);
    check(false, false, true, "ended by handset");
    m.Disconnect();
    check(false, false, true, "disconnected");
    QApplication::clipboard()->clear();
  }

  void sortingByEachColumnBothWays() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    auto& model = w->ListModel();
    auto sizes = [&] {
      QList<int> s;
      for (int r = 0; r < model.rowCount(); ++r) s << model.SizeOfRow(r);
      return s;
    };
    // Names: the first click gives Z to A, in bytes without ASCII case.
    w->ListView1ColumnClick(0);
    QCOMPARE(Column(*w, 0), (QStringList{U("保護.txt"), "one.dat", "k2.dat", "k1.dat", "guard.mid", "dir\\x.txt",
                                         "c.mid", "b.txt", "A.jpg"}));
    w->ListView1ColumnClick(0);
    QCOMPARE(Column(*w, 0).first(), QString("A.jpg"));
    QCOMPARE(Column(*w, 0).last(), U("保護.txt"));
    // Size: the first click gives the smallest first.
    w->ListView1ColumnClick(1);
    QList<int> s = sizes();
    QVERIFY(std::is_sorted(s.begin(), s.end()));
    QCOMPARE(s.first(), 0);
    w->ListView1ColumnClick(1);
    s = sizes();
    QVERIFY(std::is_sorted(s.rbegin(), s.rend()));
    QCOMPARE(s.first(), 1234);
    // Dates sort in time order through their text.
    w->ListView1ColumnClick(3);
    QCOMPARE(Column(*w, 3).first(), QString("2008/08/08 08:08"));
    w->ListView1ColumnClick(3);
    QCOMPARE(Column(*w, 3).first(), QString("2001/02/03 04:05"));
    // Flags: ascending puts empty cells first.
    w->ListView1ColumnClick(4);
    QCOMPARE(Column(*w, 4).first(), QString("ON"));
    w->ListView1ColumnClick(4);
    QCOMPARE(Column(*w, 4).last(), QString("ON"));
    w->ListView1ColumnClick(5);
    QCOMPARE(Column(*w, 5).first(), QString("ON"));
    w->ListView1ColumnClick(5);
    QCOMPARE(Column(*w, 5).last(), QString("ON"));
    w->ListView1ColumnClick(2);
    QStringList types = Column(*w, 2);
    w->ListView1ColumnClick(2);
    std::reverse(types.begin(), types.end());
    QCOMPARE(Column(*w, 2).first(), types.first());
    // Links stay true after sorting.
    for (int row = 0; row < model.rowCount(); ++row) QCOMPARE(model.RowOfLine(model.LineOfRow(row)), row);
    // A selection follows its rows through a sort.
    Select(*w, {"k1.dat"});
    w->ListView1ColumnClick(0);
    const QModelIndexList rows = w->DetailView()->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].data().toString(), QString("k1.dat"));
    // Entering the list keeps the sort and the selection while the cache is
    // unchanged, and a click selects the file that was under the pointer.
    QCOMPARE(Column(*w, 0).first(), U("保護.txt"));
    w->tbtnSearch->click();
    w->editSearch->setFocus(Qt::TabFocusReason);
    Select(*w, {"k1.dat"});
    w->DetailView()->setFocus(Qt::TabFocusReason);
    QCOMPARE(Column(*w, 0).first(), U("保護.txt"));
    QCOMPARE(w->PanelText(0), U("1 個のファイルを選択"));
    w->editSearch->setFocus(Qt::TabFocusReason);
    QTest::mouseClick(w->DetailView()->viewport(), Qt::LeftButton, {},
                      w->DetailView()->visualRect(w->ListModel().index(0, 0)).center());
    QTRY_VERIFY(w->DetailView()->hasFocus());
    QTest::qWait(0);
    auto selected = [&] {
      QStringList names;
      for (const QModelIndex& i : w->DetailView()->selectionModel()->selectedRows()) names << i.data().toString();
      return names;
    };
    QCOMPARE(selected(), QStringList{U("保護.txt")});
    // A changed cache is listed again, in name order.
    w->DeviceListCache.pop_back();
    w->editSearch->setFocus(Qt::TabFocusReason);
    w->DetailView()->setFocus(Qt::TabFocusReason);
    QCOMPARE(Column(*w, 0).first(), QString("A.jpg"));
    QVERIFY(!w->DetailView()->selectionModel()->hasSelection());
    // Leaving it disables the tool buttons that act on the selection.
    Select(*w, {"k1.dat"});
    QVERIFY(w->tbtnCut->isEnabled());
    w->editSearch->setFocus(Qt::TabFocusReason);
    QVERIFY(!w->tbtnCut->isEnabled() && !w->tbtnCopy->isEnabled() && !w->tbtnDelete->isEnabled());
    QVERIFY(w->miCut->isEnabled());  // the menu keeps the selection rule
  }

  void selectAllRunsOnlyAsTheEnabledCommand() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    QTreeView* view = w->DetailView();
    view->setFocus(Qt::TabFocusReason);
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);  // 全て選択 is disabled
    QVERIFY(!view->selectionModel()->hasSelection());
    Select(*w, {"b.txt"});
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(view->selectionModel()->selectedRows().size(), 9);
    QCOMPARE(w->PanelText(0), U("9 個のファイルを選択"));
    Select(*w, {"b.txt"});
    w->miSelectAll1->trigger();
    QCOMPARE(view->selectionModel()->selectedRows().size(), 9);
  }

  void aVanishedDeviceEndsTheSession() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    env->handsets[0]->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!w->Serial().Opened(), 10000);
    QCOMPARE(env->Texts(), QStringList{U("電話機との通信が中断されました。")});
    QCOMPARE(w->ListModel().rowCount(), 0);
    QCOMPARE(w->PanelText(2), U("未接続"));
    QVERIFY(!w->LinkOpen && !w->SessionOpen && !w->Busy);
    QVERIFY(w->tbtnConnect->isEnabled());
    QVERIFY(!w->miRefresh->isEnabled());
  }

  void searchWrapsThePatternAndCloses() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->ListModel().rowCount() == 9 && !w->Connecting, 15000);
    w->tbtnSearch->click();
    QVERIFY(w->SearchShown);
    QVERIFY(w->panelSearch->isVisible());
    QVERIFY(w->tbtnSearch->isChecked());
    w->editSearch->setText("txt");
    QTest::keyClick(w->editSearch, Qt::Key_Return);
    QCOMPARE(w->SearchPattern, std::string("*txt*"));
    QCOMPARE(Column(*w, 0), (QStringList{"b.txt", "dir\\x.txt", U("保護.txt")}));
    w->editSearch->setText("*.mid");
    w->btnSearchStart->click();
    QCOMPARE(w->SearchPattern, std::string("*.mid"));
    QCOMPARE(Column(*w, 0), (QStringList{"c.mid", "guard.mid"}));
    w->btnSearchClose->click();
    QVERIFY(!w->SearchShown);
    QVERIFY(!w->panelSearch->isVisible());
    QCOMPARE(w->SearchPattern, std::string("**"));
    QCOMPARE(w->ListModel().rowCount(), 9);
    // Not while an exchange runs.
    w->Busy = true;
    w->miSearch->trigger();
    QVERIFY(!w->SearchShown);
    w->Busy = false;
  }

  void viewStylesAreCheckedShownAndSaved() {
    env->WriteConfig("VIEW_STYLE=0\r\n");
    MainWindow w;
    QCOMPARE(w.CurrentListView(), static_cast<QWidget*>(w.IconView()));
    QCOMPARE(w.IconView()->viewMode(), QListView::IconMode);
    w.miList2->trigger();
    QCOMPARE(w.ViewStyle, 2);
    QVERIFY(w.miList->isChecked() && w.miList2->isChecked());
    QVERIFY(!w.miLargeIcon->isChecked() && !w.miLargeIcon2->isChecked() && !w.miDetail->isChecked());
    QCOMPARE(w.IconView()->flow(), QListView::TopToBottom);
    for (QAction* a : {w.miList, w.miList2}) QVERIFY(a->actionGroup() && a->actionGroup()->isExclusive());
    w.miDetail->trigger();
    QCOMPARE(w.CurrentListView(), static_cast<QWidget*>(w.DetailView()));
    w.miSmallIcon->trigger();
    QCOMPARE(w.IconView()->flow(), QListView::LeftToRight);
    QCOMPARE(w.IconView()->viewMode(), QListView::ListMode);
    QVERIFY(w.close());
    QVERIFY(env->ReadConfig().find("VIEW_STYLE=1\r\n") != std::string::npos);
  }

  void iconViewsShowNamesWhole() {
    MainWindow w;
    const QString long_name = U("とても長い名前のファイルはここで二行に折り返されてから省略される.txt");
    const std::vector<std::string> lines = {mirvo::text::Cp932("写真001.jpg") + ",1,,,", "Banana.TXT,1,,,",
                                            mirvo::text::Cp932(long_name.toStdString()) + ",1,,,"};
    w.FillFileList("", lines, nullptr);
    w.resize(640, 480);
    w.miLargeIcon->trigger();
    auto text_width = [&](int row) { return w.IconView()->visualRect(w.ListModel().index(row, 0)).width() - 4; };
    const QFont font = w.IconView()->font();
    using mirvo::app::IconCellDelegate;
    QCOMPARE(IconCellDelegate::NameLines(U("写真001.jpg"), font, text_width(RowNamed(w, U("写真001.jpg")))),
             QStringList{U("写真001.jpg")});
    QVERIFY(text_width(0) >= QFontMetrics(font).horizontalAdvance(U("あいうえおかきくけこさし")));
    const QStringList cut = IconCellDelegate::NameLines(long_name, font, text_width(RowNamed(w, long_name)));
    QCOMPARE(cut.size(), 2);
    QVERIFY(cut[1].endsWith(QChar(0x2026)));
    QVERIFY(long_name.startsWith(cut[0]));
    w.miSmallIcon->trigger();
    const int banana = RowNamed(w, "Banana.TXT");
    QVERIFY(w.IconView()->visualRect(w.ListModel().index(banana, 0)).width() >=
            QFontMetrics(font).horizontalAdvance(long_name) + 16);
  }

  void configRoundTripKeepsForeignLines() {
    env->WriteConfig("; note\r\ncom=COM2\r\nFOO=bar\r\nplain line\r\nPASSWORD=\r\nVIEW_STYLE=x\r\n"
                     "FORM_WIDTH=700\r\nFORM_HEIGHT=500\r\nFORM_LISTVIEW_COLUMN_0=150\r\n");
    MainWindow w;
    QCOMPARE(w.ComPort, std::string("COM2"));
    QVERIFY(w.Password.empty());
    QCOMPARE(w.ViewStyle, 3);
    QCOMPARE(w.size(), QSize(700, 500));
    QVERIFY(w.close());
    const QStringList lines = QString::fromStdString(env->ReadConfig()).split("\r\n");
    QCOMPARE(lines.mid(0, 8), (QStringList{"; note", "COM=COM2", "FOO=bar", "plain line", "VIEW_STYLE=3",
                                           "FORM_WIDTH=700", "FORM_HEIGHT=500", "FORM_LISTVIEW_COLUMN_0=150"}));
    // A width the file did not hold fits the header in this font.
    const int guard_width = lines.filter("FORM_LISTVIEW_COLUMN_5=").value(0).section('=', 1).toInt();
    QVERIFY(guard_width > 75);
    QVERIFY(guard_width >= QFontMetrics(w.DetailView()->header()->font()).horizontalAdvance(U("コピーガード")));
    QVERIFY(lines.contains("TREEVIEW_WIDTH=100"));
    QVERIFY(!lines.join('\n').contains("PASSWORD"));
  }

  void closeWaitsForARunningExchange() {
    MainWindow w;
    w.show();
    w.Busy = true;
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QVERIFY(!env->ConfigExists());
    w.HandsetEnded();  // the exchange ends: Busy clears
    QTRY_VERIFY(!w.isVisible());
    QVERIFY(env->ConfigExists());
  }

  void unwritableSettingsAreReportedAndTheWindowClosesAnyway() {
    MainWindow w;
    std::ofstream(env->dir.path() + "/blocker") << "x";
    w.SettingsDir = env->dir.path() + "/blocker/ZQR/mirvo/";
    w.show();
    QVERIFY(w.close());
    QCOMPARE(env->boxes.size(), std::size_t{1});
    QVERIFY(env->boxes[0].text.contains("blocker"));
  }

  void manualBesideTheProgramThenInstalledElseBothNamed() {
    MainWindow w;
    const QString dir = QString::fromStdString(mirvo::ProgramDir());
    const QString beside = dir + U("/取扱説明書.pdf");
    const QString installed = QDir::cleanPath(dir + U("/../share/doc/mirvo/取扱説明書.pdf"));
    QCOMPARE(w.ShowManual(), -1);
    QCOMPARE(env->Texts(),
             QStringList{U("ヘルプファイル\r\n") + beside + "\r\n" + installed + U("\r\nが見つかりませんでした。")});

    UrlCatcher opened;
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    const QString share = QDir::cleanPath(dir + "/../share");
    const bool made_share = !QFileInfo::exists(share);
    struct Cleanup {
      QString beside, installed, share;
      bool made_share;
      ~Cleanup() {
        QDesktopServices::unsetUrlHandler("file");
        QFile::remove(beside);
        QFile::remove(installed);
        if (made_share) QDir(share).removeRecursively();
      }
    } cleanup{beside, installed, share, made_share};
    QVERIFY(QDir().mkpath(QFileInfo(installed).path()));
    std::ofstream(installed.toStdString()) << "%PDF";
    QCOMPARE(w.ShowManual(), 0);
    std::ofstream(beside.toStdString()) << "%PDF";
    QCOMPARE(w.ShowManual(), 0);
    QCOMPARE(opened.urls, (QList<QUrl>{QUrl::fromLocalFile(installed), QUrl::fromLocalFile(beside)}));
    QCOMPARE(env->Texts().size(), 1);
  }

  void menusAndToolBarAsLaidOut() {
    MainWindow w;
    auto items = [](QMenu* menu) {
      QStringList texts;
      for (QAction* a : menu->actions())
        texts << (a->isSeparator() ? QString("-") : a->text() + (a->shortcut().isEmpty() ? "" : " " + a->shortcut().toString()));
      return texts;
    };
    QCOMPARE(items(w.miFile), (QStringList{U("接続(&C)"), U("切断(&D)"), U("更新(&U)"), "-", U("終了(&X)")}));
    QCOMPARE(items(w.miEdit),
             (QStringList{U("切り取り(&X) Ctrl+X"), U("コピー(&C) Ctrl+C"), U("貼り付け(&V) Ctrl+V"), U("削除(&D) Ctrl+Del"),
                          "-", U("全て選択(&A) Ctrl+A"), "-", U("検索(&S)"), "-", U("パスワード設定"), U("COMポート設定")}));
    QCOMPARE(items(w.miView), (QStringList{U("大きいアイコン"), U("小さいアイコン"), U("一覧"), U("詳細")}));
    QCOMPARE(items(w.miHelp), (QStringList{U("Mirvoのヘルプ(&H)"), U("バージョン情報(&A)")}));
    QCOMPARE(items(w.pmenuEdit), (QStringList{U("切り取り(&X) Ctrl+X"), U("コピー(&C) Ctrl+C"), U("貼り付け(&V) Ctrl+V"),
                                              U("削除(&D) Ctrl+Del"), "-", U("全て選択(&A) Ctrl+A")}));
    QCOMPARE(items(w.pmenuViewStyle), items(w.miView));
    QStringList menu_band;
    for (auto* b : w.ToolBar1->findChildren<QToolButton*>()) menu_band << b->text();
    QCOMPARE(menu_band, (QStringList{U("ファイル(&F)"), U("編集(&E)"), U("表示(&V)"), U("ヘルプ(&H)")}));
    QStringList band;
    for (QObject* child : w.ToolBar2->children()) {
      if (auto* b = qobject_cast<QToolButton*>(child)) {
        band << b->text();
        QCOMPARE(b->size(), QSize(51, 39));
        QCOMPARE(b->iconSize(), QSize(20, 20));
      } else if (qobject_cast<QFrame*>(child)) {
        band << "|";
      }
    }
    QCOMPARE(band, (QStringList{U("接続"), U("切断"), U("更新"), "|", U("切り取り"), U("コピー"), U("貼り付け"), U("削除"),
                                "|", U("検索"), "|", U("表示"), "|", U("ヘルプ")}));
    QCOMPARE(w.tbtnViewStyle->menu(), w.pmenuViewStyle);
    QCOMPARE(w.windowTitle(), QString("Mirvo"));
    QCOMPARE(w.PanelText(2), U("未接続"));
    QVERIFY(!w.TreeView1->isVisible());
    QVERIFY(w.CurrentFolderPath().empty());
  }

  void menuBandWalksWithLeftAndRight() {
    MainWindow w;
    w.FirstActivation = false;
    ShowAndActivate(w);
    // Each step waits for the next menu to open, then presses a key in it.
    QList<QMenu*> seen;
    const QList<int> keys = {Qt::Key_Right, Qt::Key_Right, Qt::Key_Left, Qt::Key_Left, Qt::Key_Left, Qt::Key_Escape};
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu || (!seen.isEmpty() && seen.last() == menu) || seen.size() == keys.size()) return;
      seen << menu;
      QTest::keyClick(menu, Qt::Key(keys[seen.size() - 1]));
    });
    timer.start(5);
    w.ToolBar1->findChild<QToolButton*>("tbtnMenuFile")->showMenu();
    QTRY_COMPARE(seen.size(), 6);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(seen, (QList<QMenu*>{w.miFile, w.miEdit, w.miView, w.miEdit, w.miFile, w.miHelp}));
  }

  void messagesBreakOnlyAtTheirOwnBreaksAndPunctuation() {
    mirvo::app::MessageRequest request;
    request.text = U(kConnectFailed);
    auto box = mirvo::app::MakeMessageBox(request);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* label = box->findChild<QLabel*>("qt_msgbox_label");
    QVERIFY(!label->wordWrap());
    QCOMPARE(label->text().split('\n'), (QStringList{U("接続に失敗しました。"), U("ドライバが正しくインストールされていないか、"),
                                                      U("電話機が正しく接続されていない可能性があります")}));
  }

  void idleBytesNeverHoldTheWindowLong() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && !w->Connecting && !w->Busy, 15000);
    auto timeouts = w->Engine().GetTimeouts();
    timeouts.reply = 180000;
    w->Engine().SetTimeouts(timeouts);
    bool gave_up = false;
    w->Engine().On().reply_wait_failed = [&] { gave_up = true; };
    QElapsedTimer clock;
    clock.start();
    env->handsets[0]->SendGarbage("\x02");  // the start of a frame that never comes
    QTRY_VERIFY_WITH_TIMEOUT(gave_up, 9000);
    QVERIFY(clock.elapsed() < 9000);
    QVERIFY(!w->Busy);
    QCOMPARE(w->Engine().GetTimeouts().reply, 180000);
    QVERIFY(w->SessionOpen && w->LinkOpen);
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
