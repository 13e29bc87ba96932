// The main window against a simulated handset: start and close, settings,
// commands, menus and the tool bar.
#include <QAction>
#include <QApplication>
#include <QClipboard>
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
#include <QToolTip>
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
#include "app/transfer_progress.h"
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

namespace {

// Keys of config.ini in file order.
QStringList Keys(const std::string& config) {
  QStringList keys;
  for (const QString& line : QString::fromStdString(config).split("\r\n", Qt::SkipEmptyParts))
    keys << line.section('=', 0, 0);
  return keys;
}

}  // namespace

class MainWindowTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() { SetUp(); }
  void cleanup() { TearDown(); }

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
    QCOMPARE(w.Session().Password(), std::string("0000"));
    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(dialog_seen, 20000);
    QCOMPARE(lines, QStringList{"COM3 : ZQR - TQ-R5101K"});
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(w.Files().Style(), mirvo::ViewStyle::Details);
    QCOMPARE(w.Files().CurrentView(), static_cast<QWidget*>(w.Files().DetailView()));
    QVERIFY(w.Session().PortName().empty());
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
    w.SetConnectOnFirstActivation(false);
    w.show();
    QCOMPARE(w.size(), QSize(640, 480));
    QVERIFY(Child<QFrame>(w, "tool_bands")->width() >= Child<QFrame>(w, "tool_bands")->sizeHint().width());
    const QPoint centre = w.screen()->availableGeometry().center();
    QVERIFY((w.geometry().center() - centre).manhattanLength() <= 6);  // the frame, where there is one
    const QFontMetrics metrics(w.Files().DetailView()->font());
    QVERIFY(w.Files().DetailView()->header()->sectionSize(3) > metrics.horizontalAdvance("2026/12/31 23:59"));
    QCOMPARE(w.Files().DetailView()->header()->sectionSize(1), 80);  // wide enough already
  }

  void qtTextsAndTypeNamesAreJapanese() {
    QVERIFY(mirvo::app::LoadQtJapanese());
    QMessageBox box(QMessageBox::Question, "Mirvo", "?", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), QString("はい(&Y)"));
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions()) texts << a->text();
    QVERIFY2(texts.join(' ').contains(QString("すべてを選択")), qPrintable(texts.join(' ')));
    const QLocale before;
    QLocale::setDefault(QLocale::c());
    const QString type = mirvo::app::ShellTypeName(".png");
    QLocale::setDefault(before);
    QVERIFY2(std::any_of(type.begin(), type.end(), [](QChar c) { return c.unicode() > 0x3000; }), qPrintable(type));
  }

  void f5RefreshesAnywhereButOnlyInASession() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting() && !w->Session().IsBusy(), 15000);
    auto& handset = *env->handsets[0];
    MakeFile(root / "new.txt", 3);
    handset.ClearLog();
    QTest::keyClick(w->Files().CurrentView(), Qt::Key_F5);
    QVERIFY(handset.WaitForCommand("GET_LIST", std::chrono::seconds(5)));
    QTRY_COMPARE(w->Files().Model().rowCount(), 10);

    // Also while a dialog of the program is open.
    handset.ClearLog();
    bool refreshed = false;
    OnNextModal([&](QWidget* modal) {
      QTest::keyClick(modal, Qt::Key_F5);
      refreshed = handset.WaitForCommand("GET_LIST", std::chrono::seconds(5));
      modal->close();
    });
    Action(*w, "about")->trigger();
    QVERIFY(refreshed);

    // Not without a session.
    QVERIFY(WaitIdle(*w));
    QCOMPARE(w->Session().Disconnect(), mirvo::app::CommandResult::kStarted);
    QVERIFY(WaitIdle(*w));
    handset.ClearLog();
    QTest::keyClick(w->Files().CurrentView(), Qt::Key_F5);
    QVERIFY(handset.Commands().empty());
    QCOMPARE(env->Texts(), QStringList{});
  }

  // Names that differ only at their end stay apart: the middle is cut, the
  // name column widens for them and every view's tooltip has the whole name.
  void wholeNamesInEveryView() {
    QStringList names;
    for (int i = 1; i <= 12; ++i) {
      names << QString("data\\mail%1.eml").arg(i, 2, 10, QChar('0'));
      MakeFile(root / "data" / QString("mail%1.eml").arg(i, 2, 10, QChar('0')).toStdString(), 1);
    }
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting() && !w->Session().IsBusy(), 15000);
    QTreeView* details = w->Files().DetailView();
    const int name_width = details->header()->sectionSize(0);
    QVERIFY2(name_width > QFontMetrics(details->font()).horizontalAdvance(names.last()) + 16, qPrintable(QString::number(name_width)));
    QVERIFY(name_width <= details->viewport()->width() / 2);
    QCOMPARE(details->textElideMode(), Qt::ElideMiddle);
    for (mirvo::ViewStyle style : {mirvo::ViewStyle::Details, mirvo::ViewStyle::LargeIcons, mirvo::ViewStyle::List}) {
      w->Files().SetStyle(style);
      auto* view = static_cast<QAbstractItemView*>(w->Files().CurrentView());
      QCOMPARE(view->textElideMode(), Qt::ElideMiddle);
      QStringList tips;
      for (const QString& name : names) {
        const QModelIndex index = view->model()->index(RowNamed(*w, name), 0);
        view->scrollTo(index);
        const QPoint at = view->visualRect(index).center();
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &help);
        tips << QToolTip::text();
        QToolTip::hideText();
      }
      QCOMPARE(tips, names);
    }
  }

  // The details header shows the sort; a refresh that brings the same list
  // keeps the sort and the selection; 検索 puts the cursor in its field.
  void sortArrowRefreshAndSearchFocus() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting() && !w->Session().IsBusy(), 15000);
    QHeaderView* header = w->Files().DetailView()->header();
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), 0);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(Column(*w, 0).first(), QString("c.mid"));  // 0 bytes first
    const QStringList sorted = Column(*w, 0);
    SelectNamed(*w, {"b.txt", "k2.dat"});
    env->handsets[0]->ClearLog();
    QTest::keyClick(w->Files().CurrentView(), Qt::Key_F5);
    QVERIFY(env->handsets[0]->WaitForCommand("GET_LIST", std::chrono::seconds(5)));
    QTRY_VERIFY(!w->Session().IsBusy());
    QCOMPARE(Column(*w, 0), sorted);
    QStringList selected;
    for (const QModelIndex& index : w->Files().DetailView()->selectionModel()->selectedRows()) selected << index.data().toString();
    selected.sort();
    QCOMPARE(selected, (QStringList{"b.txt", "k2.dat"}));
    QCOMPARE(header->sortIndicatorSection(), 1);

    Action(*w, "search")->trigger();
    QTRY_VERIFY(Child<QLineEdit>(*w, "search_edit")->hasFocus());
  }

  void commandsFollowTheConnectionAndSelection() {
    auto w = Connected();
    MainWindow& m = *w;
    const QList<QObject*> not_linked = {Action(m, "connect"), Button(m, "connect"), Action(m, "password"), Action(m, "port")};
    const QList<QObject*> linked = {Action(m, "disconnect"), Button(m, "disconnect"), Action(m, "refresh"), Button(m, "refresh"), Action(m, "search"),
                                    Button(m, "search")};
    const QList<QObject*> selected = {Action(m, "cut"), Action(m, "copy"), Action(m, "delete"), Action(m, "select_all"), Action(m, "cut"), Action(m, "copy"),
                                      Action(m, "delete"), Action(m, "select_all"), Button(m, "cut"), Button(m, "copy"), Button(m, "delete")};
    const QList<QObject*> paste = {Action(m, "paste"), Action(m, "paste"), Button(m, "paste")};
    const QList<QObject*> always = {Action(m, "exit"), Action(m, "about"), Action(m, "manual"), Button(m, "help"), Action(m, "large_icons"), Action(m, "details"),
                                    Button(m, "view_style")};
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
    QTRY_VERIFY_WITH_TIMEOUT(m.Session().IsSessionOpen() && m.Files().Model().rowCount() == 9 && !m.Session().IsConnecting(), 15000);
    QApplication::clipboard()->clear();
    check(true, false, false, "session");
    SelectNamed(m, {"b.txt"});
    check(true, true, false, "session, selection");
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile("/tmp/x")});
    QApplication::clipboard()->setMimeData(files);
    check(true, true, true, "session, selection, files");
    // Opening a menu recomputes the states as well.
    QApplication::clipboard()->clear();
    emit Child<QMenu>(m, "edit_menu")->aboutToShow();
    QVERIFY(!Action(m, "paste")->isEnabled());
    QApplication::clipboard()->setMimeData(new QMimeData);
    auto* again = new QMimeData;
    again->setUrls({QUrl::fromLocalFile("/tmp/x")});
    QApplication::clipboard()->setMimeData(again);
    emit Child<QMenu>(m, "edit_popup")->aboutToShow();
    QVERIFY(Action(m, "paste")->isEnabled());
    env->handsets[0]->SendFtEnd();
    QTRY_VERIFY_WITH_TIMEOUT(!m.Session().IsLinkOpen(), 10000);
    check(false, false, true, "ended by handset");
    m.Session().Disconnect();
    check(false, false, true, "disconnected");
    QApplication::clipboard()->clear();
  }

  void viewStylesAreCheckedShownAndSaved() {
    env->WriteConfig("VIEW_STYLE=0\r\n");
    MainWindow w;
    QCOMPARE(w.Files().CurrentView(), static_cast<QWidget*>(w.Files().IconView()));
    QCOMPARE(w.Files().IconView()->viewMode(), QListView::IconMode);
    Action(w, "list")->trigger();
    QCOMPARE(w.Files().Style(), mirvo::ViewStyle::List);
    QVERIFY(Action(w, "list")->isChecked() && Action(w, "list")->isChecked());
    QVERIFY(!Action(w, "large_icons")->isChecked() && !Action(w, "large_icons")->isChecked() && !Action(w, "details")->isChecked());
    QCOMPARE(w.Files().IconView()->flow(), QListView::TopToBottom);
    for (QAction* a : {Action(w, "list"), Action(w, "list")}) QVERIFY(a->actionGroup() && a->actionGroup()->isExclusive());
    Action(w, "details")->trigger();
    QCOMPARE(w.Files().CurrentView(), static_cast<QWidget*>(w.Files().DetailView()));
    Action(w, "small_icons")->trigger();
    QCOMPARE(w.Files().IconView()->flow(), QListView::LeftToRight);
    QCOMPARE(w.Files().IconView()->viewMode(), QListView::ListMode);
    QVERIFY(w.close());
    QVERIFY(env->ReadConfig().find("VIEW_STYLE=1\r\n") != std::string::npos);
  }

  void configRoundTripKeepsForeignLines() {
    env->WriteConfig("; note\r\ncom=COM2\r\nFOO=bar\r\nplain line\r\nPASSWORD=\r\nVIEW_STYLE=x\r\n"
                     "FORM_WIDTH=700\r\nFORM_HEIGHT=500\r\nFORM_LISTVIEW_COLUMN_0=150\r\n");
    MainWindow w;
    QCOMPARE(w.Session().PortName(), std::string("COM2"));
    QVERIFY(w.Session().Password().empty());
    QCOMPARE(w.Files().Style(), mirvo::ViewStyle::Details);
    QCOMPARE(w.size(), QSize(700, 500));
    QVERIFY(w.close());
    const QStringList lines = QString::fromStdString(env->ReadConfig()).split("\r\n");
    QCOMPARE(lines.mid(0, 8), (QStringList{"; note", "COM=COM2", "FOO=bar", "plain line", "VIEW_STYLE=3",
                                           "FORM_WIDTH=700", "FORM_HEIGHT=500", "FORM_LISTVIEW_COLUMN_0=150"}));
    // A width the file did not hold fits the header in this font.
    const int guard_width = lines.filter("FORM_LISTVIEW_COLUMN_5=").value(0).section('=', 1).toInt();
    QVERIFY(guard_width > 75);
    QVERIFY(guard_width >= QFontMetrics(w.Files().DetailView()->header()->font()).horizontalAdvance(QString("コピーガード")));
    QVERIFY(lines.contains("TREEVIEW_WIDTH=100"));
    QVERIFY(!lines.join('\n').contains("PASSWORD"));
  }

  void unwritableSettingsAreReportedAndTheWindowClosesAnyway() {
    MainWindow w;
    // A file where the settings folder must go: it can never be made.
    const fs::path folder = fs::path(env->SettingsDir()).parent_path().parent_path();
    fs::remove_all(folder);
    std::ofstream(folder) << "x";
    w.show();
    QVERIFY(w.close());
    QCOMPARE(env->boxes.size(), std::size_t{1});
    QVERIFY(env->boxes[0].text.contains(QString::fromStdString(folder.string())));
  }

  void menusAndToolBarAsLaidOut() {
    MainWindow w;
    auto items = [](QMenu* menu) {
      QStringList texts;
      for (QAction* a : menu->actions())
        texts << (a->isSeparator() ? QString("-") : a->text() + (a->shortcut().isEmpty() ? "" : " " + a->shortcut().toString()));
      return texts;
    };
    QCOMPARE(items(Child<QMenu>(w, "file_menu")), (QStringList{QString("接続(&C)"), QString("切断(&D)"), QString("更新(&U)"), "-", QString("終了(&X)")}));
    QCOMPARE(items(Child<QMenu>(w, "edit_menu")),
             (QStringList{QString("切り取り(&X) Ctrl+X"), QString("コピー(&C) Ctrl+C"), QString("貼り付け(&V) Ctrl+V"), QString("削除(&D) Ctrl+Del"),
                          "-", QString("フォルダーに保存(&F)..."), QString("ファイルを送信(&T)..."),
                          "-", QString("全て選択(&A) Ctrl+A"), "-", QString("検索(&S)"), "-", QString("パスワード設定(&P)"), QString("COMポート設定(&O)")}));
    const QStringList view_styles{QString("大きいアイコン(&G)"), QString("小さいアイコン(&M)"), QString("一覧(&L)"), QString("詳細(&D)")};
    QCOMPARE(items(Child<QMenu>(w, "view_menu")),
             (view_styles + QStringList{"-", QString("並べ替え(&S)"), "-", QString("電話機を接続したら自動で接続する(&A)")}));
    QCOMPARE(items(Child<QMenu>(w, "help_menu")), (QStringList{QString("Mirvoのヘルプ(&H) F1"), QString("バージョン情報(&A)")}));
    QCOMPARE(items(Child<QMenu>(w, "edit_popup")), (QStringList{QString("切り取り(&X) Ctrl+X"), QString("コピー(&C) Ctrl+C"), QString("貼り付け(&V) Ctrl+V"),
                                              QString("削除(&D) Ctrl+Del"), "-",
                                              QString("フォルダーに保存(&F)..."), QString("ファイルを送信(&T)..."), "-",
                                              QString("全て選択(&A) Ctrl+A")}));
    QCOMPARE(items(Child<QMenu>(w, "view_style_popup")), view_styles);
    QStringList menu_band;
    for (auto* b : Child<QWidget>(w, "menu_band")->findChildren<QToolButton*>()) menu_band << b->text();
    QCOMPARE(menu_band, (QStringList{QString("ファイル(&F)"), QString("編集(&E)"), QString("表示(&V)"), QString("ヘルプ(&H)")}));
    QStringList band;
    for (QObject* child : Child<QWidget>(w, "button_band")->children()) {
      if (auto* b = qobject_cast<QToolButton*>(child)) {
        band << b->text();
        QCOMPARE(b->size(), QSize(51, 39));
        QCOMPARE(b->iconSize(), QSize(20, 20));
      } else if (qobject_cast<QFrame*>(child)) {
        band << "|";
      }
    }
    QCOMPARE(band, (QStringList{QString("接続"), QString("切断"), QString("更新"), "|", QString("切り取り"), QString("コピー"), QString("貼り付け"), QString("削除"),
                                "|", QString("検索"), "|", QString("表示"), "|", QString("ヘルプ")}));
    QCOMPARE(Button(w, "view_style")->menu(), Child<QMenu>(w, "view_style_popup"));
    QCOMPARE(w.windowTitle(), QString("Mirvo"));
    QCOMPARE(w.StatusText(StatusField::Port), QString("未接続"));
    QVERIFY(!Child<QTreeWidget>(w, "folder_tree")->isVisible());
    QVERIFY(w.Files().CurrentFolderPath().empty());
  }

  void menuBandWalksWithLeftAndRight() {
    MainWindow w;
    w.SetConnectOnFirstActivation(false);
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
    Child<QWidget>(w, "menu_band")->findChild<QToolButton*>("file_menu_button")->showMenu();
    QTRY_COMPARE(seen.size(), 6);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(seen, (QList<QMenu*>{Child<QMenu>(w, "file_menu"), Child<QMenu>(w, "edit_menu"), Child<QMenu>(w, "view_menu"), Child<QMenu>(w, "edit_menu"), Child<QMenu>(w, "file_menu"), Child<QMenu>(w, "help_menu")}));
  }

  void messagesBreakOnlyAtTheirOwnBreaksAndPunctuation() {
    mirvo::app::MessageRequest request;
    request.text = QString(kConnectFailed);
    auto box = mirvo::app::MakeMessageBox(request);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* label = box->findChild<QLabel*>("qt_msgbox_label");
    QVERIFY(!label->wordWrap());
    QCOMPARE(label->text().split('\n'), (QStringList{QString("接続に失敗しました。"), QString("ドライバが正しくインストールされていないか、"),
                                                      QString("電話機が正しく接続されていない可能性があります")}));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
