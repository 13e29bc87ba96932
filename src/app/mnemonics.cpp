#include "app/mnemonics.h"

#include <QAbstractButton>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <functional>

namespace mirvo::app {
namespace {

constexpr char16_t kFullWidthOffset = 0xFF01 - 0x21;

QChar MnemonicLetter(const QString& caption) {
  for (qsizetype i = caption.indexOf('&'); i >= 0 && i + 1 < caption.size(); i = caption.indexOf('&', i + 2)) {
    if (caption[i + 1] != '&') return caption[i + 1];
  }
  return {};
}

void AddShortcut(QWidget* owner, QChar letter, std::function<void()> action) {
  auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | letter.unicode()), owner);
  // Only while the owner is shown and enabled, as its own mnemonic would be.
  shortcut->setContext(Qt::WindowShortcut);
  QObject::connect(shortcut, &QShortcut::activated, owner, std::move(action));
}

}  // namespace

QChar AsciiMnemonic(const QString& caption) {
  const QChar letter = MnemonicLetter(caption);
  const char16_t c = letter.unicode();
  const bool full_width_alnum = (c >= u'０' && c <= u'９') || (c >= u'Ａ' && c <= u'Ｚ') || (c >= u'ａ' && c <= u'ｚ');
  if (!full_width_alnum) return {};
  return QChar(static_cast<char16_t>(c - kFullWidthOffset)).toUpper();
}

void BindAsciiMnemonics(QWidget* root) {
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    if (const QChar letter = AsciiMnemonic(button->text()); !letter.isNull())
      AddShortcut(button, letter, [button] { button->click(); });
  }
  for (QLabel* label : root->findChildren<QLabel*>()) {
    if (const QChar letter = AsciiMnemonic(label->text()); !letter.isNull() && label->buddy())
      AddShortcut(label, letter, [label] {
        if (QWidget* buddy = label->buddy()) buddy->setFocus(Qt::ShortcutFocusReason);
      });
  }
}

}  // namespace mirvo::app
