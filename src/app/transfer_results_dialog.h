// The transfer results dialog: one line for each file a transfer run
// fetched, sent or failed on, and beside each failed line why it failed.
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
  // One result line per row; reasons[i], where given and not empty, stands
  // beside line i.
  void SetResults(const QStringList& lines, const QStringList& reasons = {});

  QListWidget* ResultList() const { return result_list_; }
  QPushButton* OkButton() const { return ok_button_; }
  // The reason shown beside a row, or empty.
  QString ReasonOf(int row) const;

 private:
  QListWidget* result_list_;
  QPushButton* ok_button_;
};

}  // namespace mirvo::app
