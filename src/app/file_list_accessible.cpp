#include "app/file_list_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QItemSelectionModel>
#include <QListView>
#include <QPointer>
#include <QWindow>
#include <vector>

namespace mirvo::app {
namespace {

constexpr const char* kDescribedColumns = "mirvo_described_columns";

QAbstractItemModel* ModelOf(const QListView* view) { return view ? view->model() : nullptr; }

int RowCount(const QListView* view) {
  const QAbstractItemModel* model = ModelOf(view);
  return model ? model->rowCount(view->rootIndex()) : 0;
}

// One file of the list. Made on demand and kept by the list's account;
// it reads the view each time, so a refill never leaves it stale.
class FileItemAccessible : public QAccessibleInterface {
 public:
  FileItemAccessible(QListView* view, int row) : view_(view), row_(row) {}

  int Row() const { return row_; }
  const QListView* View() const { return view_; }

  bool isValid() const override { return view_ && row_ < RowCount(view_); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  void setText(QAccessible::Text, const QString&) override {}
  QAccessible::Role role() const override { return QAccessible::ListItem; }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) return Cell(view_->modelColumn());
    if (t != QAccessible::Description) return {};
    QStringList parts;
    for (const QVariant& column : view_->property(kDescribedColumns).toList())
      if (const QString cell = Cell(column.toInt()); !cell.isEmpty()) parts << cell;
    return parts.join(QString::fromUtf8("、"));
  }

  QRect rect() const override {
    if (!isValid()) return {};
    const QRect cell = view_->visualRect(Index(view_->modelColumn()));
    return cell.translated(view_->viewport()->mapToGlobal(QPoint(0, 0)));
  }

  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    const QModelIndex index = Index(view_->modelColumn());
    s.selectable = true;
    s.focusable = true;
    s.selected = view_->selectionModel() && view_->selectionModel()->isRowSelected(row_, view_->rootIndex());
    s.focused = view_->hasFocus() && view_->currentIndex().row() == row_;
    s.invisible = !view_->viewport()->rect().intersects(view_->visualRect(index));
    s.offscreen = s.invisible;
    return s;
  }

 private:
  QModelIndex Index(int column) const { return view_->model()->index(row_, column, view_->rootIndex()); }
  QString Cell(int column) const { return Index(column).data(Qt::DisplayRole).toString(); }

  QPointer<QListView> view_;
  int row_;
};

// The list itself: its children are its rows, as the view's own focus and
// selection events count them.
class FileListAccessible : public QAccessibleWidget {
 public:
  explicit FileListAccessible(QListView* view) : QAccessibleWidget(view, QAccessible::List) {}
  ~FileListAccessible() override {
    for (const QAccessible::Id id : items_)
      if (id) QAccessible::deleteAccessibleInterface(id);
  }
  FileListAccessible(const FileListAccessible&) = delete;
  FileListAccessible& operator=(const FileListAccessible&) = delete;

  int childCount() const override { return RowCount(View()); }

  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    if (items_.size() <= static_cast<std::size_t>(index)) items_.resize(static_cast<std::size_t>(index) + 1, 0);
    QAccessible::Id& id = items_[static_cast<std::size_t>(index)];
    if (!id) id = QAccessible::registerAccessibleInterface(new FileItemAccessible(View(), index));
    return QAccessible::accessibleInterface(id);
  }

  int indexOfChild(const QAccessibleInterface* child) const override {
    const auto* item = dynamic_cast<const FileItemAccessible*>(child);
    return item && item->View() == View() && item->isValid() ? item->Row() : -1;
  }

  QAccessibleInterface* childAt(int x, int y) const override {
    const QModelIndex index = View()->indexAt(View()->viewport()->mapFromGlobal(QPoint(x, y)));
    return index.isValid() ? child(index.row()) : nullptr;
  }

  QAccessibleInterface* focusChild() const override {
    const QModelIndex current = View()->currentIndex();
    return View()->hasFocus() && current.isValid() ? child(current.row()) : nullptr;
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.multiSelectable = View()->selectionMode() == QAbstractItemView::ExtendedSelection ||
                        View()->selectionMode() == QAbstractItemView::MultiSelection;
    return s;
  }

 private:
  QListView* View() const { return static_cast<QListView*>(widget()); }

  mutable std::vector<QAccessible::Id> items_;  // by row; 0 until asked for
};

QAccessibleInterface* OneItemPerRowFactory(const QString&, QObject* object) {
  auto* view = qobject_cast<QListView*>(object);
  if (!view || !view->property(kDescribedColumns).isValid()) return nullptr;
  return new FileListAccessible(view);
}

}  // namespace

void ExposeOneItemPerRow(QListView* view, const QList<int>& described_columns) {
  static const bool kFactoryInstalled = [] {
    QAccessible::installFactory(&OneItemPerRowFactory);
    return true;
  }();
  (void)kFactoryInstalled;
  QVariantList columns;
  for (int c : described_columns) columns << c;
  view->setProperty(kDescribedColumns, columns);
}

}  // namespace mirvo::app
