// Keyboard mnemonics of captions whose letter is full-width, as in
// "検索開始(&Ｓ)": no keyboard types that letter, so Alt with its ASCII
// twin stands in. The captions themselves stay as they are.
#pragma once

#include <QChar>
#include <QString>

class QWidget;

namespace mirvo::app {

// The ASCII letter or digit a caption's full-width mnemonic stands for;
// a null QChar when the caption has none or an ASCII one already.
QChar AsciiMnemonic(const QString& caption);

// Gives every button and buddied label under root whose caption has a
// full-width mnemonic the Alt key of its ASCII twin: a button is pressed,
// a label's buddy takes the focus.
void BindAsciiMnemonics(QWidget* root);

}  // namespace mirvo::app
