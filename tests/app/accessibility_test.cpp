// What keyboard-only and screen-reader users meet: the file views and the
// menu band as assistive tools see them, named controls, full-width mnemonics, the
// menus from the keyboard, the current row through a delete and the
// results said in the status bar.
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>
#include <functional>

#include "app/file_list_accessible.h"
#include "app/main_window.h"
#include "app/password_dialog.h"
#include "app/port_dialog.h"
#include "app/transfer_progress.h"
#include "app/transfer_results_dialog.h"
#include "app_test_support.h"
#include "text/cp932.h"
#include "window_fixture.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;

namespace {

QString AccessibleName(QObject* object) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface ? iface->text(QAccessible::Name) : QString("(none)");
}

QString CurrentName(MainWindow& w) { return w.Files().DetailView()->currentIndex().siblingAtColumn(0).data().toString(); }

// Presses key on the focus, then reports the pop-up menu that opens (its
// title or object name, and its current item) and closes it.
QStringList MenuOpenedBy(QWidget* target, int key, Qt::KeyboardModifiers modifiers = {}) {
  QStringList seen;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu || !menu->activeAction()) return;
    seen = QStringList{menu->objectName(), menu->activeAction()->objectName()};
    menu->close();
  });
  poll.start();
  if (key == Qt::Key_Alt) {
    QTest::keyPress(target, Qt::Key_Alt, Qt::AltModifier);
    QTest::keyRelease(target, Qt::Key_Alt);
  } else {
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  }
  // The menu runs its own loop: the poll closes it from there.
  if (!QTest::qWaitFor([&] { return !seen.isEmpty(); }, 5000)) return {"no menu"};
  return seen;
}

}  // namespace

class AccessibilityTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() { SetUp(); }
  void cleanup() { TearDown(); }

 private:
  // Connected, with the sample's nine files listed; none when they never came.
  std::unique_ptr<MainWindow> ListedWindow() {
    auto w = Connected();
    const bool listed =
        QTest::qWaitFor([&] { return w->Files().Model().rowCount() == 9 && !w->Session().IsBusy(); }, 15000);
    return listed ? std::move(w) : nullptr;
  }

 private slots:

  // Icon, small-icon and list views: one item per file named by the whole
  // name; details stays a table of six columns.
  void viewsExposeOneItemPerFile() {
    auto w = ListedWindow();
    QVERIFY(w);
    const QStringList names = Column(*w, 0);
    for (const char* style : {"large_icons", "small_icons", "list"}) {
      Action(*w, style)->trigger();
      QAccessibleInterface* list = QAccessible::queryAccessibleInterface(w->Files().IconView());
      QVERIFY(list);
      QCOMPARE(list->role(), QAccessible::List);
      QCOMPARE(list->childCount(), 9);
      for (int row = 0; row < 9; ++row) {
        QAccessibleInterface* item = list->child(row);
        QCOMPARE(item->role(), QAccessible::ListItem);
        QCOMPARE(item->text(QAccessible::Name), names[row]);
        QCOMPARE(list->indexOfChild(item), row);
      }
      const int b = RowNamed(*w, "b.txt");
      QCOMPARE(list->child(b)->text(QAccessible::Description),
               QString("1,234 B、%1、2004/01/23 15:30").arg(Column(*w, 2)[b]));
      // A flag is said with its caption.
      QVERIFY(list->child(RowNamed(*w, "保護.txt"))->text(QAccessible::Description).endsWith("、保護設定 ON、コピーガード OFF"));
      // The view's focus events count rows: the current row's item is the current file.
      w->Files().IconView()->setFocus(Qt::TabFocusReason);
      w->Files().IconView()->setCurrentIndex(w->Files().Model().index(b, 0));
      QCOMPARE(list->focusChild()->text(QAccessible::Name), QString("b.txt"));
      QVERIFY(list->child(b)->state().focused);
    }
    Action(*w, "details")->trigger();
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(w->Files().DetailView());
    QVERIFY(table && table->tableInterface());
    QCOMPARE(table->tableInterface()->columnCount(), 6);
    QCOMPARE(table->tableInterface()->rowCount(), 9);
    // Its name cell carries what the icon views' items say.
    const int b = RowNamed(*w, "b.txt");
    QAccessibleInterface* name = table->tableInterface()->cellAt(b, 0);
    QCOMPARE(name->text(QAccessible::Name), QString("b.txt"));
    QCOMPARE(name->text(QAccessible::Description), QString("1,234 B、%1、2004/01/23 15:30").arg(Column(*w, 2)[b]));
  }

  // The band of menu buttons is a menu bar whose items are the menus they open.
  void menuBandIsAMenuBar() {
    auto w = ListedWindow();
    QVERIFY(w);
    QAccessibleInterface* band = QAccessible::queryAccessibleInterface(Child<QWidget>(*w, "menu_band"));
    QVERIFY(band);
    QCOMPARE(band->role(), QAccessible::MenuBar);
    QCOMPARE(band->childCount(), 4);
    QStringList names;
    for (int i = 0; i < band->childCount(); ++i) {
      QAccessibleInterface* menu = band->child(i);
      QCOMPARE(menu->role(), QAccessible::MenuItem);
      QVERIFY(menu->state().hasPopup);
      QCOMPARE(menu->childCount(), 1);
      QCOMPARE(menu->child(0)->role(), QAccessible::PopupMenu);
      names << menu->text(QAccessible::Name);
    }
    QCOMPARE(names, (QStringList{"ファイル(F)", "編集(E)", "表示(V)", "ヘルプ(H)"}));
    QCOMPARE(band->child(0)->child(0)->object(), Child<QObject>(*w, "file_menu"));
    QCOMPARE(band->child(0)->child(0)->text(QAccessible::Name), QString("ファイル(F)"));
    QCOMPARE(band->child(1)->text(QAccessible::Accelerator), QKeySequence(Qt::ALT | Qt::Key_E).toString(QKeySequence::NativeText));
  }

  // Buttons the toolkit has already reported on (a setText makes their
  // interfaces) still become menus when their band is made a menu bar.
  void menuBarOfButtonsReportedOnBefore() {
    QWidget band;
    QMenu menu("色(&C)");
    auto* button = new QToolButton(&band);
    button->setMenu(&menu);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setText(menu.title());
    QCOMPARE(QAccessible::queryAccessibleInterface(button)->role(), QAccessible::ButtonMenu);
    mirvo::app::ExposeAsMenuBar(&band);
    QCOMPARE(QAccessible::queryAccessibleInterface(&band)->role(), QAccessible::MenuBar);
    QCOMPARE(QAccessible::queryAccessibleInterface(button)->role(), QAccessible::MenuItem);
    QCOMPARE(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name), QString("色(C)"));
  }

  void controlsAreNamed() {
    auto w = ListedWindow();
    QVERIFY(w);
    QCOMPARE(AccessibleName(w->Files().IconView()), QString("電話機のファイル"));
    QCOMPARE(AccessibleName(w->Files().DetailView()), QString("電話機のファイル"));
    QCOMPARE(AccessibleName(Child<QWidget>(*w, "handset_status")), QString("ZQR - TQ-R5101K"));
    QCOMPARE(Child<QLabel>(*w, "port_status")->accessibleDescription(), QString("ポート"));
    QCOMPARE(Button(*w, "cut")->toolTip(), QString("切り取り (Ctrl+X)"));
    QCOMPARE(Button(*w, "connect")->toolTip(), QString("接続"));
    mirvo::app::PortDialog port(nullptr);
    QCOMPARE(AccessibleName(port.PortList()), QString("COMポート"));
    mirvo::app::PasswordDialog password(nullptr);
    QCOMPARE(AccessibleName(password.PasswordEdit()), QString("電話機で登録したパスワードを設定してください。"));
    mirvo::app::TransferResultsDialog results(nullptr);
    QCOMPARE(AccessibleName(results.ResultList()), QString("結果"));
    // A reason is painted beside its line: it is the line's description.
    results.SetResults({"a.txt を取得しました。", "b.txt を取得できませんでした。"}, {"", "電話機が拒否しました"});
    QAccessibleInterface* lines = QAccessible::queryAccessibleInterface(results.ResultList());
    QCOMPARE(lines->childCount(), 2);
    QCOMPARE(lines->child(1)->text(QAccessible::Name), QString("b.txt を取得できませんでした。"));
    QCOMPARE(lines->child(1)->text(QAccessible::Description), QString("電話機が拒否しました"));
    QCOMPARE(lines->child(0)->text(QAccessible::Description), QString());
    // The bar is named idle or running; what the run has done, its description.
    mirvo::app::TransferProgress progress(nullptr);
    auto* bar = progress.findChild<QProgressBar*>("progress_bar");
    QCOMPARE(AccessibleName(&progress), QString("転送の進み具合"));
    QCOMPARE(AccessibleName(bar), QString("進み具合"));
    progress.BeginRun(3, 100);
    QCOMPARE(AccessibleName(bar), QString("進み具合"));
    QCOMPARE(QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Description), QString("0/3 ファイル"));
    progress.EndRun();
    QCOMPARE(QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Description), QString());
    // The status bar's corner grip says what it is.
    auto* grip = Child<QStatusBar>(*w, "status_bar")->findChild<QSizeGrip*>();
    QVERIFY(grip);
    QCOMPARE(AccessibleName(grip), QString("ウィンドウの大きさ"));
    // Connect and disconnect are said where a screen reader reads them.
    QCOMPARE(w->StatusText(StatusField::Activity), QString("接続しました。"));
    Action(*w, "disconnect")->trigger();
    QTRY_COMPARE(w->StatusText(StatusField::Activity), QString("切断しました。"));
    QCOMPARE(AccessibleName(Child<QWidget>(*w, "handset_status")), QString("未接続"));
  }

  // Alt+S presses 検索開始(Ｓ) and says how many were found, none included.
  void fullWidthMnemonicStartsTheSearch() {
    auto w = ListedWindow();
    QVERIFY(w);
    auto* edit = Child<QLineEdit>(*w, "search_edit");
    QTest::keyClick(edit, Qt::Key_S, Qt::AltModifier);  // the panel is closed: nothing
    QCOMPARE(w->Files().Model().rowCount(), 9);
    Button(*w, "search")->click();
    edit->setFocus(Qt::TabFocusReason);
    edit->setText("txt");
    QTest::keyClick(edit, Qt::Key_S, Qt::AltModifier);
    QCOMPARE(edit->text(), QString("txt"));
    QCOMPARE(w->Files().Model().rowCount(), 3);
    QCOMPARE(w->StatusText(StatusField::Activity), QString("3 件見つかりました。"));
    edit->setText("nothing");
    QTest::keyClick(edit, Qt::Key_S, Qt::AltModifier);
    QCOMPARE(w->StatusText(StatusField::Activity), QString("0 件見つかりました。"));
  }

  void currentRowStaysNearAfterDelete() {
    auto w = ListedWindow();
    QVERIFY(w);
    QTreeView* view = w->Files().DetailView();
    view->setFocus(Qt::TabFocusReason);
    view->setCurrentIndex(w->Files().Model().index(RowNamed(*w, "k1.dat"), 0));
    w->RefreshFileView();
    QCOMPARE(CurrentName(*w), QString("k1.dat"));
    SelectNamed(*w, {"k1.dat"});
    env->answers = {mirvo::app::MsgAnswer::Ok};
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().DeleteSelected(true); }), 0);
    QTRY_COMPARE(w->Files().Model().rowCount(), 8);
    QCOMPARE(CurrentName(*w), QString("k2.dat"));
    // The last row gone: its neighbour above.
    view->setCurrentIndex(w->Files().Model().index(7, 0));
    QCOMPARE(CurrentName(*w), QString("保護.txt"));
    std::vector<std::string> lines = ListedLines(*w);
    const std::string gone = mirvo::text::Cp932("保護.txt,");
    lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(gone, 0) == 0; }),
                lines.end());
    w->Files().SetListing(mirvo::HandsetListing::FromLines(lines));
    w->RefreshFileView();
    QCOMPARE(w->Files().Model().rowCount(), 7);
    QCOMPARE(CurrentName(*w), QString("one.dat"));
  }

  void menusFromTheKeyboard() {
    auto w = ListedWindow();
    QVERIFY(w);
    QTreeView* view = w->Files().DetailView();
    view->setFocus(Qt::TabFocusReason);
    // The first enabled item is current: 接続 is not while connected.
    QCOMPARE(MenuOpenedBy(view, Qt::Key_F10), (QStringList{"file_menu", "disconnect_action"}));
    QCOMPARE(MenuOpenedBy(view, Qt::Key_Alt), (QStringList{"file_menu", "disconnect_action"}));
    SelectNamed(*w, {"b.txt"});
    QCOMPARE(MenuOpenedBy(view, Qt::Key_F10, Qt::ShiftModifier), (QStringList{"edit_popup", "cut_action"}));
    // 並べ替え sorts as the header does.
    Child<QAction>(*w, "sort_by_column_1_action")->trigger();
    QCOMPARE(w->Files().Model().SizeOfRow(0), 0);
    QCOMPARE(Action(*w, "large_icons")->text(), QString("大きいアイコン(&G)"));
  }
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
