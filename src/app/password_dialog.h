// PasswordDialog asks for the password registered in the handset.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace mirvo::app {

class PasswordDialog : public QDialog {
  Q_OBJECT
 public:
  explicit PasswordDialog(QWidget* owner);
  // Code page 932 texts.
  void SetPassword(const std::string& password);
  const std::string& GetPassword() const { return password_; }

  QLabel* Label1;
  QLineEdit* editPassword;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  void btnOKClick();
  std::string password_;
};

}  // namespace mirvo::app
