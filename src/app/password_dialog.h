// The password dialog: asks for the password registered in the handset,
// shown masked; only OK (or Enter in the field) changes it.
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
  const std::string& Password() const { return password_; }

  QLineEdit* PasswordEdit() const { return password_edit_; }
  QPushButton* OkButton() const { return ok_button_; }
  QPushButton* CancelButton() const { return cancel_button_; }

 private:
  void AcceptPassword();

  std::string password_;
  QLabel* prompt_label_;
  QLineEdit* password_edit_;
  QPushButton* ok_button_;
  QPushButton* cancel_button_;
};

}  // namespace mirvo::app
