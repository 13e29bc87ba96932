// The version information dialog: the program's icon, name and version.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace mirvo::app {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* owner);

  QLabel* IconLabel() const { return icon_label_; }
  QLabel* NameLabel() const { return name_label_; }
  QLabel* VersionLabel() const { return version_label_; }
  QPushButton* OkButton() const { return ok_button_; }

 private:
  QLabel* icon_label_;
  QLabel* name_label_;
  QLabel* version_label_;
  QPushButton* ok_button_;
};

}  // namespace mirvo::app
