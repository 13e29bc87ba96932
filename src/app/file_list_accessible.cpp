#include "app/file_list_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QSizeGrip>
#include <QToolButton>
#include <QWindow>
#include <vector>

namespace mirvo::app {
namespace {

constexpr const char* kMenuBar = "mirvo_menu_bar";

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
    const QModelIndex index = Index();
    if (t == QAccessible::Name) {
      const QString name = index.data(Qt::AccessibleTextRole).toString();
      return name.isEmpty() ? index.data(Qt::DisplayRole).toString() : name;
    }
    if (t == QAccessible::Description) return index.data(Qt::AccessibleDescriptionRole).toString();
    return {};
  }

  QRect rect() const override {
    if (!isValid()) return {};
    return view_->visualRect(Index()).translated(view_->viewport()->mapToGlobal(QPoint(0, 0)));
  }

  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    s.selectable = true;
    s.focusable = true;
    s.selected = view_->selectionModel() && view_->selectionModel()->isRowSelected(row_, view_->rootIndex());
    s.focused = view_->hasFocus() && view_->currentIndex().row() == row_;
    s.invisible = !view_->isVisible() || !view_->viewport()->rect().intersects(view_->visualRect(Index()));
    s.offscreen = s.invisible;
    return s;
  }

 private:
  QModelIndex Index() const { return view_->model()->index(row_, view_->modelColumn(), view_->rootIndex()); }

  QPointer<QListView> view_;
  int row_;
};

// The list itself: its children are its rows, as its focus and selection
// events count them.
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

// A tool button of the menu band, told as the menu it opens. Opening it is
// posted: the menu runs a loop of its own, which must not hold up the
// request that asked for it.
class MenuButtonAccessible : public QAccessibleWidget {
 public:
  explicit MenuButtonAccessible(QToolButton* button) : QAccessibleWidget(button, QAccessible::MenuItem) {}

  QString text(QAccessible::Text t) const override {
    switch (t) {
      case QAccessible::Name:
        return Button()->text().remove(QChar('&'));
      case QAccessible::Accelerator:
        return QKeySequence::mnemonic(Button()->text()).toString(QKeySequence::NativeText);
      default:
        return QAccessibleWidget::text(t);
    }
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.hasPopup = true;
    s.expanded = Button()->menu() && Button()->menu()->isVisible();
    s.collapsed = !s.expanded;
    return s;
  }

  int childCount() const override { return Button()->menu() ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && Button()->menu() ? QAccessible::queryAccessibleInterface(Button()->menu()) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child && Button()->menu() && child->object() == Button()->menu() ? 0 : -1;
  }

  QStringList actionNames() const override { return {showMenuAction()}; }
  void doAction(const QString& name) override {
    if (name == showMenuAction() || name == pressAction())
      QMetaObject::invokeMethod(Button(), &QToolButton::showMenu, Qt::QueuedConnection);
  }

 private:
  QToolButton* Button() const { return static_cast<QToolButton*>(widget()); }
};

// The status bar's corner grip, which has no text of its own.
class SizeGripAccessible : public QAccessibleWidget {
 public:
  explicit SizeGripAccessible(QWidget* grip) : QAccessibleWidget(grip, QAccessible::Grip) {}
  QString text(QAccessible::Text t) const override {
    return t == QAccessible::Name ? QString("ウィンドウの大きさ") : QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* Factory(const QString&, QObject* object) {
  if (auto* view = qobject_cast<FileListView*>(object)) return new FileListAccessible(view);
  if (auto* button = qobject_cast<QToolButton*>(object);
      button && button->parent() && button->parent()->property(kMenuBar).toBool())
    return new MenuButtonAccessible(button);
  if (auto* widget = qobject_cast<QWidget*>(object); widget && widget->property(kMenuBar).toBool())
    return new QAccessibleWidget(widget, QAccessible::MenuBar);
  if (auto* grip = qobject_cast<QSizeGrip*>(object)) return new SizeGripAccessible(grip);
  return nullptr;
}

void InstallFactory() {
  static const bool kInstalled = [] {
    QAccessible::installFactory(&Factory);
    return true;
  }();
  (void)kInstalled;
}

// An interface made before the factory knew the object would stand for
// good, and the toolkit makes one whenever it reports on an object, screen
// reader or not (a button's setText does): drop it so that the next one
// asked for is ours.
void ForgetEarlierInterface(QObject* object, QAccessible::Role wanted) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  if (iface && iface->role() != wanted) QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

// Whether a view's moves reach assistive tools as the focus: the toolkit's
// views report them shown or not, focused or not.
bool SaysFocus(const QAbstractItemView* view) { return QAccessible::isActive() && view->isVisible() && view->hasFocus(); }

}  // namespace

FileListView::FileListView(QWidget* parent) : QListView(parent) { InstallFactory(); }

bool FileListView::Speaks() const { return SaysFocus(this); }

void FileListView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  // QListView's own report would go out from a hidden view too, numbered as
  // if every column were an item: only the view's base is wanted.
  QAbstractItemView::currentChanged(current, previous);
  if (!Speaks() || !current.isValid()) return;
  QAccessibleEvent event(this, QAccessible::Focus);
  event.setChild(current.row());
  QAccessible::updateAccessibility(&event);
}

void FileListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
  QAbstractItemView::selectionChanged(selected, deselected);
  if (!Speaks()) return;
  for (const auto& [indexes, type] : {std::pair{selected.indexes(), QAccessible::SelectionAdd},
                                      std::pair{deselected.indexes(), QAccessible::SelectionRemove}}) {
    if (indexes.isEmpty()) continue;
    QAccessibleEvent event(this, type);
    event.setChild(indexes.first().row());
    QAccessible::updateAccessibility(&event);
  }
}

// The base class's own, skipped below, differ from QAbstractItemView's only
// by what they report and by repainting the current row.
void FileTreeView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  if (SaysFocus(this)) return QTreeView::currentChanged(current, previous);
  QAbstractItemView::currentChanged(current, previous);
  if (isVisible()) viewport()->update();
}

void FileTreeView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
  if (isVisible()) return QTreeView::selectionChanged(selected, deselected);
  QAbstractItemView::selectionChanged(selected, deselected);
}

void FolderTreeWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  if (SaysFocus(this)) return QTreeWidget::currentChanged(current, previous);
  QAbstractItemView::currentChanged(current, previous);
  if (isVisible()) viewport()->update();
}

void ExposeAsMenuBar(QWidget* band) {
  InstallFactory();
  band->setProperty(kMenuBar, true);
  ForgetEarlierInterface(band, QAccessible::MenuBar);
  for (QObject* child : band->children())
    if (qobject_cast<QToolButton*>(child)) ForgetEarlierInterface(child, QAccessible::MenuItem);
}

}  // namespace mirvo::app
