// AboutDialog, the version information dialog.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace mirvo::app {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* owner);
  QLabel* Image1;
  QLabel* labelAppName;
  QLabel* labelAppVersion;
  QPushButton* btnOK;
};

}  // namespace mirvo::app
