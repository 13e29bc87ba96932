// The transfer results dialog: one line for each file a transfer run
// fetched, sent or failed on.
#pragma once

#include <QDialog>
#include <QStringList>

class QListWidget;
class QPushButton;

namespace mirvo::app {

class TransferResultsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TransferResultsDialog(QWidget* owner);
  // One result line per row.
  void SetResults(const QStringList& lines);

  QListWidget* ResultList() const { return result_list_; }
  QPushButton* OkButton() const { return ok_button_; }

 private:
  QListWidget* result_list_;
  QPushButton* ok_button_;
};

}  // namespace mirvo::app
