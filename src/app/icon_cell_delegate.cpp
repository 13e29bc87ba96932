#include "app/icon_cell_delegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>

namespace mirvo::app {

namespace {
constexpr int kMaxLines = 2;
constexpr int kPad = 2;
}  // namespace

void IconCellDelegate::SetCell(QSize cell, bool large) {
  cell_ = cell;
  large_ = large;
}

QStringList IconCellDelegate::NameLines(const QString& name, const QFont& font, int width) {
  QTextLayout layout(name);
  QTextOption option(Qt::AlignHCenter);
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.setFont(font);
  const QFontMetrics metrics(font);
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (lines.size() == kMaxLines - 1) {
      // The last line takes the rest, cut in its middle when it is longer:
      // names alike up to a number or an extension differ at their end.
      lines << metrics.elidedText(name.mid(line.textStart()), Qt::ElideMiddle, width);
      break;
    }
    lines << name.mid(line.textStart(), line.textLength());
  }
  layout.endLayout();
  return lines;
}

void IconCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (!large_) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  opt.rect.setTop(opt.rect.top() + kLargeTopPadding);
  const QString name = opt.text;
  const bool selected = opt.state & QStyle::State_Selected;
  const bool current = opt.state & QStyle::State_HasFocus;
  opt.text.clear();
  opt.features &= ~QStyleOptionViewItem::HasDisplay;
  // The style's own focus mark is a dotted pixel; the frame below replaces it.
  opt.state &= ~QStyle::State_HasFocus;
  // Icon from the style; the name, its highlight and the frame are drawn
  // here, since the style highlights only a text it draws itself.
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

  const QFontMetrics metrics(opt.font);
  const QRect text_area(opt.rect.left() + kPad, opt.rect.top() + opt.decorationSize.height() + 2 * kPad,
                        opt.rect.width() - 2 * kPad, kMaxLines * metrics.lineSpacing());
  const QStringList lines = NameLines(name, opt.font, text_area.width());
  painter->save();
  painter->setFont(opt.font);
  if (selected) {
    // Behind the lines only, as the other views highlight the name.
    int widest = 0;
    for (const QString& line : lines) widest = std::max(widest, metrics.horizontalAdvance(line));
    QRect back(0, 0, std::min(text_area.width(), widest + 2 * kPad), static_cast<int>(lines.size()) * metrics.lineSpacing());
    back.moveCenter(QPoint(text_area.center().x(), text_area.top() + back.height() / 2));
    painter->fillRect(back, opt.palette.brush(QPalette::Highlight));
  }
  painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
  for (int i = 0; i < lines.size(); ++i) {
    const QRect line(text_area.left(), text_area.top() + i * metrics.lineSpacing(), text_area.width(),
                     metrics.lineSpacing());
    painter->drawText(line, Qt::AlignHCenter | Qt::AlignTop, lines[i]);
  }
  if (current) {
    // A frame seen at a glance, selected or not.
    QPen frame(opt.palette.color(selected ? QPalette::Text : QPalette::Highlight), 2);
    frame.setJoinStyle(Qt::MiterJoin);
    painter->setPen(frame);
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(opt.rect).adjusted(1, 1, -1, -1));
  }
  painter->restore();
}

QSize IconCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const { return cell_; }

bool IconCellDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) {
  if (!large_ || !event || event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
  QToolTip::showText(event->globalPos(), index.data(Qt::DisplayRole).toString(), view);
  return true;
}

}  // namespace mirvo::app
