// TransferResultsDialog lists what a transfer run fetched or sent and what failed.
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

  QListWidget* listboxTransResult;
  QPushButton* btnOK;
};

}  // namespace mirvo::app
