// The small dialogs: password, version information, transfer results and
// the splash screen, and that no dialog clips a caption in any font.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

#include "app/about_dialog.h"
#include "app/app_resources.h"
#include "app/main_window.h"
#include "app/password_dialog.h"
#include "app/port_dialog.h"
#include "app/session_controller.h"
#include "app/splash_screen.h"
#include "app/transfer_results_dialog.h"
#include "app_test_support.h"
#include "text/cp932.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;

namespace {

// The visible widgets of a shown window that do not show their caption
// whole: a label narrower or lower than its text, a button smaller than
// its style asks for the caption, or anything reaching past the window.
QStringList ClippedWidgets(QWidget& window) {
  QStringList clipped;
  for (QWidget* child : window.findChildren<QWidget*>()) {
    if (!child->isVisible()) continue;
    bool fits = window.rect().contains(QRect(child->mapTo(&window, QPoint(0, 0)), child->size()));
    if (auto* label = qobject_cast<QLabel*>(child); label && !label->text().isEmpty()) {
      const QFontMetrics metrics = label->fontMetrics();
      fits = fits && metrics.horizontalAdvance(label->text()) <= label->contentsRect().width() &&
             metrics.height() <= label->contentsRect().height();
    } else if (auto* button = qobject_cast<QPushButton*>(child)) {
      const QSize wanted = button->sizeHint();
      fits = fits && button->width() >= wanted.width() && button->height() >= wanted.height();
    }
    if (!fits) clipped << window.objectName() + "/" + child->objectName();
  }
  return clipped;
}

// Puts the application font back when a test has changed it.
struct AppFontGuard {
  QFont saved = QApplication::font();
  ~AppFontGuard() { QApplication::setFont(saved); }
};

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<AppEnv> env;

 private slots:
  void init() { env = std::make_unique<AppEnv>(); }
  void cleanup() { env.reset(); }

  // Enter in the field keeps what was typed; Enter on a focused button
  // presses that button; Esc cancels.
  void passwordDialogEnterTakesFocusedButtonOrOk() {
    MainWindow w;
    using mirvo::app::PasswordDialog;
    struct Case {
      QString typed;
      std::function<void(PasswordDialog*)> press;
      std::string kept;
    };
    const std::vector<Case> cases = {
        {"1234", [](PasswordDialog* d) { QTest::keyClick(d->PasswordEdit(), Qt::Key_Return); }, "1234"},
        {"5678", [](PasswordDialog* d) { QTest::keyClick(d->PasswordEdit(), Qt::Key_Escape); }, "1234"},
        {"9999",
         [](PasswordDialog* d) {
           d->CancelButton()->setFocus(Qt::TabFocusReason);
           QTest::keyClick(d->CancelButton(), Qt::Key_Return);
         },
         "1234"},
        {"ひみつ",
         [](PasswordDialog* d) {
           d->CancelButton()->setFocus(Qt::TabFocusReason);
           d->OkButton()->setFocus(Qt::TabFocusReason);
           QTest::keyClick(d->OkButton(), Qt::Key_Enter);
         },
         mirvo::text::Cp932("ひみつ")},
    };
    for (const Case& c : cases) {
      // Seen in the dialog, checked once it is gone: a check that failed
      // in there would leave it open.
      bool ok_default = false, closed_by_key = false;
      QString shown;
      OnNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<PasswordDialog*>(modal);
        if (!dialog) {
          modal->close();
          return;
        }
        ok_default = dialog->OkButton()->isDefault();
        dialog->PasswordEdit()->setText(c.typed);
        shown = dialog->PasswordEdit()->displayText();
        c.press(dialog);
        closed_by_key = !dialog->isVisible();
        if (!closed_by_key) dialog->reject();
      });
      w.Session().EditPassword();
      QVERIFY(ok_default && closed_by_key);
      QCOMPARE(shown, QString(c.typed.size(), '*'));
      QCOMPARE(w.Session().Password(), c.kept);
    }
  }

  void aboutAndSplash() {
    mirvo::app::AboutDialog about(nullptr);
    QCOMPARE(about.windowTitle(), QString("バージョン情報"));
    QCOMPARE(about.NameLabel()->text(), QString("Mirvo"));
    QCOMPARE(about.VersionLabel()->text(), QString("Version 1.11"));
    QVERIFY(!about.IconLabel()->pixmap().isNull());
    mirvo::app::SplashScreen splash;
    QCOMPARE(splash.size(), QSize(500, 300));
    QCOMPARE(splash.VersionLabel()->text(), QString("Version 1.11"));
  }

  void transferResultsShowTheirLines() {
    mirvo::app::TransferResultsDialog dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QString("結果"));
    const QString reason = "コピーガードが設定されています";
    dialog.SetResults({"転送成功 … one.bin", "転送失敗 … two.bin"}, {QString(), reason});
    QCOMPARE(dialog.ResultList()->count(), 2);
    QCOMPARE(dialog.ResultList()->item(1)->text(), QString("転送失敗 … two.bin"));
    // The reason stands beside its failed line, whole, and in its tooltip.
    QCOMPARE(dialog.ReasonOf(0), QString());
    QCOMPARE(dialog.ReasonOf(1), reason);
    QVERIFY(dialog.ResultList()->item(1)->toolTip().contains(reason));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QListWidget* list = dialog.ResultList();
    const int line = list->fontMetrics().horizontalAdvance(list->item(1)->text());
    QVERIFY2(list->sizeHintForColumn(0) >= line + list->fontMetrics().horizontalAdvance(reason),
             "the row's width counts its reason");
    QVERIFY2(list->sizeHintForColumn(0) <= list->viewport()->width(), "the dialog grew to its longest row");
  }

  // In the toolkit's font, the window font and the window font half as
  // large again.
  void noDialogClipsACaption() {
    AppFontGuard guard;
    QFont larger = mirvo::app::AppFont();
    larger.setPixelSize(larger.pixelSize() * 3 / 2);
    const std::vector<std::pair<QString, QFont>> fonts = {
        {"toolkit", guard.saved}, {"window", mirvo::app::AppFont()}, {"larger", larger}};
    mirvo::app::ApplyAppFont();  // maps the window font's family to the installed one
    for (const auto& [name, font] : fonts) {
      QApplication::setFont(font);
      std::vector<std::unique_ptr<QWidget>> dialogs;
      dialogs.push_back(std::make_unique<mirvo::app::PortDialog>(nullptr));
      dialogs.push_back(std::make_unique<mirvo::app::PasswordDialog>(nullptr));
      dialogs.push_back(std::make_unique<mirvo::app::AboutDialog>(nullptr));
      dialogs.push_back(std::make_unique<mirvo::app::TransferResultsDialog>(nullptr));
      for (auto& dialog : dialogs) {
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        const QStringList clipped = ClippedWidgets(*dialog);
        QVERIFY2(clipped.isEmpty(), qPrintable(name + " font: " + clipped.join(", ")));
      }
    }
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
