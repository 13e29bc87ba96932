#include "app/transfer_results_dialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "app/app_resources.h"

namespace mirvo::app {
namespace {

constexpr int kReasonRole = Qt::UserRole + 1;
constexpr int kReasonGap = 16;

// A result line as it stands, then its reason in the dimmer text colour.
class ResultRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    const QString reason = index.data(kReasonRole).toString();
    if (reason.isEmpty()) return;
    const QFontMetrics metrics(option.font);
    QRect rect = option.rect;
    rect.setLeft(rect.left() + LineWidth(option, index) + kReasonGap);
    painter->save();
    const bool selected = option.state & QStyle::State_Selected;
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(reason, Qt::ElideRight, rect.width()));
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const QString reason = index.data(kReasonRole).toString();
    if (!reason.isEmpty()) size.rwidth() += kReasonGap + QFontMetrics(option.font).horizontalAdvance(reason);
    return size;
  }

 private:
  int LineWidth(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return QStyledItemDelegate::sizeHint(option, index).width();
  }
};

}  // namespace

TransferResultsDialog::TransferResultsDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("TransferResultsDialog");
  setWindowTitle("結果");
  result_list_ = new QListWidget(this);
  result_list_->setObjectName("result_list");
  result_list_->setAccessibleName("結果");
  result_list_->setItemDelegate(new ResultRowDelegate(result_list_));
  SetRowHeightToFont(result_list_);
  auto* buttons = new QDialogButtonBox(this);
  buttons->setCenterButtons(true);
  // Closing is all OK does, so Esc (reject) and OK end the dialog alike.
  ok_button_ = buttons->addButton("OK", QDialogButtonBox::RejectRole);
  ok_button_->setObjectName("ok_button");

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(result_list_);
  layout->addWidget(buttons);
  // Opens at its usual size and may grow: long names and reasons need room.
  resize(QSize(289, 148).expandedTo(minimumSizeHint()));

  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void TransferResultsDialog::SetResults(const QStringList& lines, const QStringList& reasons) {
  result_list_->clear();
  result_list_->addItems(lines);
  for (int row = 0; row < result_list_->count(); ++row) {
    QListWidgetItem* item = result_list_->item(row);
    const QString reason = reasons.value(row);
    if (!reason.isEmpty()) {
      item->setData(kReasonRole, reason);
      // Painted beside the line by hand: a screen reader hears it only so.
      item->setData(Qt::AccessibleDescriptionRole, reason);
      item->setToolTip(item->text() + "\n" + reason);
    }
  }
  const int widest = result_list_->sizeHintForColumn(0);
  // Wide enough for the longest row, as far as the screen allows.
  const int frame = width() - result_list_->viewport()->width() + 4;
  int wanted = widest + frame + result_list_->verticalScrollBar()->sizeHint().width();
  if (const QScreen* s = screen()) wanted = std::min(wanted, s->availableGeometry().width() * 3 / 4);
  if (wanted > width()) resize(wanted, height());
}

QString TransferResultsDialog::ReasonOf(int row) const {
  const QListWidgetItem* item = result_list_->item(row);
  return item ? item->data(kReasonRole).toString() : QString();
}

}  // namespace mirvo::app
