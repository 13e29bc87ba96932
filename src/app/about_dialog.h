// TFrmAbout, the version information dialog.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace mirvo::app {

class TFrmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmAbout(QWidget* owner);
  QLabel* Image1;
  QLabel* labelAppName;
  QLabel* labelAppVersion;
  QPushButton* btnOK;
};

}  // namespace mirvo::app
