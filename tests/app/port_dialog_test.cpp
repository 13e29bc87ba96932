// The port selection dialog against simulated handsets.
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/port_dialog.h"
#include "app_test_support.h"

using mirvo::app::PortDialog;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

QStringList Lines(PortDialog& d) {
  QStringList lines;
  for (int i = 0; i < d.listboxComPort->count(); ++i) lines << d.listboxComPort->item(i)->text();
  return lines;
}

mirvo::sim::HandsetOptions Device(const char* vendor, const char* model) {
  mirvo::sim::HandsetOptions options;
  options.vendor = vendor;
  options.model = model;
  return options;
}

}  // namespace

class ComSelectTest : public QObject {
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

  void layoutAndTabOrder() {
    PortDialog d(nullptr);
    QCOMPARE(d.windowTitle(), U("端末選択"));
    QCOMPARE(d.size(), QSize(268, 156));
    QCOMPARE(d.btnConnect->geometry(), QRect(184, 24, 75, 25));
    QCOMPARE(d.btnCancel->geometry(), QRect(184, 120, 75, 25));
    QCOMPARE(d.listboxComPort->geometry(), QRect(8, 24, 161, 121));
    QVERIFY(d.btnConnect->isDefault());
    QWidget* w = d.listboxComPort;
    QStringList chain;
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
      while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
      chain << w->objectName();
    }
    QCOMPARE(chain, (QStringList{"listboxComPort", "btnConnect", "btnUpdate", "btnCancel", "btnAutoScan"}));
    QVERIFY(!d.btnConnect->isEnabled() && !d.btnAutoScan->isEnabled());
  }

  void scanListsEveryPortThatOpens() {
    env->StartHandset(12, root, Device("ACME", "TQ-R5102K"));
    env->StartHandset(3, root, Device("ZQR", "TQ-R9999X"));
    PortDialog d(nullptr);
    // What the list shows while the scan still runs.
    QStringList during;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
      if (!d.btnUpdate->isEnabled() && Lines(d).size() > during.size()) during = Lines(d);
    });
    watch.start(0);
    d.ScanPorts();
    watch.stop();
    QCOMPARE(Lines(d), (QStringList{"COM3 : ZQR - TQ-R9999X", "COM12 : Unknown"}));
    QCOMPARE(during, Lines(d));
    QVERIFY(d.btnConnect->isEnabled() && d.btnAutoScan->isEnabled() && d.btnUpdate->isEnabled());

    // A handset vendor with an unknown model, and a supported model of
    // another vendor, are both taken without a question.
    d.show();
    d.listboxComPort->setCurrentRow(1);
    d.btnConnect->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(env->Texts(), QStringList{U("次回接続時から設定が有効になります。")});
    QCOMPARE(d.GetPortName(), std::string("COM12"));
    QCOMPARE(d.SelVendor, std::string("ACME"));
    QCOMPARE(d.SelModel, std::string("TQ-R5102K"));
  }

  void aScanSelectsTheHandsetAndConnectNeedsALine() {
    env->StartHandset(2, root, Device("NOPE", "X"));
    env->StartHandset(5, root);
    PortDialog d(nullptr);
    d.ScanPorts();
    QCOMPARE(d.listboxComPort->currentRow(), 1);
    QCOMPARE(d.listboxComPort->selectedItems(), QList<QListWidgetItem*>{d.listboxComPort->item(1)});
    QVERIFY(d.btnConnect->isEnabled());
    // Without a handset the first line is chosen.
    env->handsets.pop_back();
    d.ScanPorts();
    QCOMPARE(d.listboxComPort->selectedItems(), QList<QListWidgetItem*>{d.listboxComPort->item(0)});
    // No line, no 設定: it would end the dialog with no port.
    d.listboxComPort->clearSelection();
    QVERIFY(!d.btnConnect->isEnabled());
    QVERIFY(d.btnAutoScan->isEnabled());
    // The caption fits its label in the font in use.
    QVERIFY(d.Label1->width() >= d.Label1->fontMetrics().horizontalAdvance(d.Label1->text()));
    QCOMPARE(d.Label1->pos(), QPoint(8, 8));
  }

  void unsupportedDeviceAsksFirst() {
    env->StartHandset(4, root, Device("OTHER", "MODEM"));
    PortDialog d(nullptr);
    d.ScanPorts();
    QCOMPARE(Lines(d), QStringList{"COM4 : Unknown"});
    d.show();
    d.listboxComPort->setCurrentRow(0);
    d.btnConnect->click();  // answered No
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QVERIFY(d.GetPortName().empty());
    QCOMPARE(env->boxes.at(0).icon, mirvo::MsgIcon::Question);
    QCOMPARE(env->boxes.at(0).buttons, mirvo::MsgButtons::YesNo);
    QCOMPARE(env->boxes.at(0).text,
             U("ファイル転送をサポートしていない機器へ接続しようとしてますが、接続しますか？"));
    env->answers = {mirvo::MsgAnswer::Yes};
    d.show();
    d.btnConnect->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.GetPortName(), std::string("COM4"));
  }

  void autoScanPicksTheLowestHandset() {
    env->StartHandset(7, root);
    env->StartHandset(5, root, Device("ZQR", "TQ-R5102K"));
    env->StartHandset(2, root, Device("NOPE", "TQ-R5101K"));
    PortDialog d(nullptr);
    d.ScanPorts();
    d.show();
    d.btnAutoScan->click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.GetPortName(), std::string("COM5"));
    QCOMPARE(d.SelModel, std::string("TQ-R5102K"));
    QCOMPARE(env->Texts(), (QStringList{U("電話機を自動設定しました。"), U("次回接続時から設定が有効になります。")}));
  }

  void autoScanWithoutHandsetKeepsTheDialog() {
    env->StartHandset(2, root, Device("NOPE", "X"));
    PortDialog d(nullptr);
    d.ScanPorts();
    d.show();
    d.btnAutoScan->click();
    QVERIFY(d.isVisible());
    QCOMPARE(env->Texts(), QStringList{U("電話機が見つかりませんでした。\r\nドライバが正しくインストールされていないか、"
                                         "電話機が正しく接続されていない可能性があります。")});
    QCOMPARE(env->boxes[0].icon, mirvo::MsgIcon::Error);
    QCOMPARE(Lines(d), QStringList{"COM2 : Unknown"});
  }
};

QTEST_MAIN(ComSelectTest)
#include "port_dialog_test.moc"
