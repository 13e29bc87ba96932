// How the icon, small-icon and list views draw a file: every cell the
// same size, set by the window, so that names are shown whole; in large
// icons a name wraps to two lines under its icon and, when longer, the
// second line is cut in its middle so that the ending stays; the whole name
// is in the tooltip.
#pragma once

#include <QStyledItemDelegate>

namespace mirvo::app {

class IconCellDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // Room above a large icon, inside its cell: the first row keeps clear of
  // the view's edge, and the current item's frame with it.
  static constexpr int kLargeTopPadding = 6;

  // cell: the size of every item; large: the name goes under the icon.
  void SetCell(QSize cell, bool large);

  // The lines a large-icon name is drawn in, within width.
  static QStringList NameLines(const QString& name, const QFont& font, int width);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

 private:
  QSize cell_{150, 20};
  bool large_ = false;
};

}  // namespace mirvo::app
