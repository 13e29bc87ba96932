// The port selection dialog against simulated handsets.
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <vector>
#include <QTimer>

#include <cerrno>
#include <fstream>

#include "app/port_dialog.h"
#include "serial/port_diagnosis.h"
#include "app_test_support.h"

using mirvo::app::PortDialog;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

namespace {

QStringList Lines(PortDialog& d) {
  QStringList lines;
  for (int i = 0; i < d.PortList()->count(); ++i) lines << d.PortList()->item(i)->text();
  return lines;
}

mirvo::sim::HandsetOptions Device(const char* vendor, const char* model) {
  mirvo::sim::HandsetOptions options;
  options.vendor = vendor;
  options.model = model;
  return options;
}

}  // namespace

class PortDialogTest : public QObject {
  Q_OBJECT
  std::unique_ptr<AppEnv> env;
  fs::path root;

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = fs::path(env->dir.path()) / "files";
    fs::create_directories(root);
  }
  void cleanup() { env.reset(); }

  // Whether the captions fit is checked with the other dialogs.
  void titleDefaultButtonAndTabOrder() {
    PortDialog d(nullptr);
    QCOMPARE(d.windowTitle(), QString("端末選択"));
    QVERIFY(d.AcceptButton()->isDefault());
    QWidget* w = d.PortList();
    QStringList chain;
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
      while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
      chain << w->objectName();
    }
    QCOMPARE(chain,
             (QStringList{"port_list", "accept_button", "rescan_button", "cancel_button", "auto_select_button"}));
    QVERIFY(!d.AcceptButton()->isEnabled() && !d.AutoSelectButton()->isEnabled());
  }

  void scanListsEveryPortThatOpens() {
    env->StartHandset(12, root, Device("ACME", "TQ-R5102K"));
    env->StartHandset(3, root, Device("ZQR", "TQ-R9999X"));
    PortDialog d(nullptr);
    // What the list shows while the scan still runs.
    QStringList during;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
      if (!d.RescanButton()->isEnabled() && Lines(d).size() > during.size()) during = Lines(d);
    });
    watch.start(0);
    d.ScanPorts();
    watch.stop();
    QCOMPARE(Lines(d), (QStringList{"COM3 : ZQR - TQ-R9999X", "COM12 : Unknown"}));
    QCOMPARE(during, Lines(d));
    QVERIFY(d.AcceptButton()->isEnabled() && d.AutoSelectButton()->isEnabled() && d.RescanButton()->isEnabled());

    // A handset vendor with an unknown model, and a supported model of
    // another vendor, are both taken without a question.
    d.show();
    d.PortList()->setCurrentRow(1);
    d.AcceptButton()->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(env->Texts(), QStringList{"次回接続時から設定が有効になります。"});
    QCOMPARE(d.PortName(), std::string("COM12"));
    QCOMPARE(d.VendorName(), std::string("ACME"));
    QCOMPARE(d.ModelName(), std::string("TQ-R5102K"));
  }

  void aScanSelectsTheHandsetAndConnectNeedsALine() {
    env->StartHandset(2, root, Device("NOPE", "X"));
    env->StartHandset(5, root);
    PortDialog d(nullptr);
    d.ScanPorts();
    QCOMPARE(d.PortList()->currentRow(), 1);
    QCOMPARE(d.PortList()->selectedItems(), QList<QListWidgetItem*>{d.PortList()->item(1)});
    QVERIFY(d.AcceptButton()->isEnabled());
    // Without a handset the first line is chosen.
    env->handsets.pop_back();
    d.ScanPorts();
    QCOMPARE(d.PortList()->selectedItems(), QList<QListWidgetItem*>{d.PortList()->item(0)});
    // No line, no 設定: it would end the dialog with no port.
    d.PortList()->clearSelection();
    QVERIFY(!d.AcceptButton()->isEnabled());
    QVERIFY(d.AutoSelectButton()->isEnabled());
  }

  void unsupportedDeviceAsksFirst() {
    env->StartHandset(4, root, Device("OTHER", "MODEM"));
    PortDialog d(nullptr);
    d.ScanPorts();
    QCOMPARE(Lines(d), QStringList{"COM4 : Unknown"});
    d.show();
    d.PortList()->setCurrentRow(0);
    d.AcceptButton()->click();  // answered No
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QVERIFY(d.PortName().empty());
    QCOMPARE(env->boxes.at(0).icon, mirvo::app::MsgIcon::Question);
    QCOMPARE(env->boxes.at(0).buttons, mirvo::app::MsgButtons::YesNo);
    QCOMPARE(env->boxes.at(0).text,
             QString("ファイル転送をサポートしていない機器へ接続しようとしてますが、接続しますか？"));
    env->answers = {mirvo::app::MsgAnswer::Yes};
    d.show();
    d.AcceptButton()->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.PortName(), std::string("COM4"));
  }

  void autoScanPicksTheLowestHandset() {
    env->StartHandset(7, root);
    env->StartHandset(5, root, Device("ZQR", "TQ-R5102K"));
    env->StartHandset(2, root, Device("NOPE", "TQ-R5101K"));
    PortDialog d(nullptr);
    d.ScanPorts();
    d.show();
    d.AutoSelectButton()->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.PortName(), std::string("COM5"));
    QCOMPARE(d.ModelName(), std::string("TQ-R5102K"));
    QCOMPARE(env->Texts(), (QStringList{"電話機を自動設定しました。", "次回接続時から設定が有効になります。"}));
  }

  // Enter presses the focused button, and 設定 from the list.
  void enterPressesTheFocusedButton() {
    env->StartHandset(3, root);
    PortDialog d(nullptr);
    d.ScanPorts();
    struct Case {
      QWidget* focus;
      int result;  // -1: the dialog stays
      QStringList texts;
    };
    const QString taken = "次回接続時から設定が有効になります。";
    const std::vector<Case> cases = {{d.CancelButton(), QDialog::Rejected, {}},
                                     {d.RescanButton(), -1, {}},
                                     {d.PortList(), QDialog::Accepted, {taken}},
                                     {d.AcceptButton(), QDialog::Accepted, {taken}},
                                     {d.AutoSelectButton(), QDialog::Accepted, {"電話機を自動設定しました。", taken}}};
    for (const Case& c : cases) {
      env->boxes.clear();
      d.setResult(-1);
      d.show();
      d.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&d));
      c.focus->setFocus(Qt::TabFocusReason);
      QTest::keyClick(c.focus, Qt::Key_Return);
      QCOMPARE(d.isVisible(), c.result == -1);
      if (c.result != -1) QCOMPARE(d.result(), c.result);
      QCOMPARE(env->Texts(), c.texts);
    }
  }

  void autoScanWithoutHandsetKeepsTheDialog() {
    env->StartHandset(2, root, Device("NOPE", "X"));
    PortDialog d(nullptr);
    d.ScanPorts();
    d.show();
    d.AutoSelectButton()->click();
    QVERIFY(d.isVisible());
    QCOMPARE(env->Texts(),
             QStringList{QString("電話機が見つかりませんでした。\nドライバが正しくインストールされていないか、"
                                 "電話機が正しく接続されていない可能性があります。")});
    QCOMPARE(env->boxes[0].icon, mirvo::app::MsgIcon::Error);
    QCOMPARE(Lines(d), QStringList{"COM2 : Unknown"});
  }

  // A list left empty says why: no port at all, or ports this user may not use.
  void anEmptyListSaysWhy() {
    PortDialog d(nullptr);
    d.ScanPorts();
    QCOMPARE(Lines(d).size(), 1);
    QVERIFY2(Lines(d)[0].startsWith(QString("シリアルポートが見つかりません。")), qPrintable(Lines(d)[0]));
    QVERIFY(!(d.PortList()->item(0)->flags() & Qt::ItemIsSelectable));
    QVERIFY(!d.AutoSelectButton()->isEnabled());

    const std::string no_tty = env->dir.path() + "/not-a-tty";
    std::ofstream(no_tty).flush();
    env->dir.LinkPort(4, no_tty);
    mirvo::SetPortAccessCheck([](const std::string&) { return EACCES; });
    d.ScanPorts();
    mirvo::SetPortAccessCheck({});
    QCOMPARE(Lines(d).size(), 1);
    QVERIFY2(Lines(d)[0].contains(QString("使う権限がありません")), qPrintable(Lines(d)[0]));
  }
};

QTEST_MAIN(PortDialogTest)
#include "port_dialog_test.moc"
