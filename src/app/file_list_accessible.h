// What assistive tools are told of the parts of the window the toolkit
// would describe wrongly: the icon, small-icon and list views (one item per
// file, named by the file's whole name and described by its other columns,
// where the toolkit would count each column as an item of its own and name
// another file's cell), the band of menu buttons (a menu bar of menus, not
// push buttons) and the status bar's size grip.
#pragma once

#include <QListView>
#include <QTreeView>
#include <QTreeWidget>

class QWidget;

namespace mirvo::app {

// A list view of one column of a table model; its items' descriptions are
// the model's Qt::AccessibleDescriptionRole of that column. The current
// file is said as the focus only while the view has the keyboard focus: a
// hidden view sharing the selection must never speak.
class FileListView : public QListView {
  Q_OBJECT
 public:
  explicit FileListView(QWidget* parent);

 protected:
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

 private:
  bool Speaks() const;
};

// The details view: the toolkit's table of cells, but, like FileListView,
// said as the focus only while shown and focused, and, hidden, telling no
// selection.
class FileTreeView : public QTreeView {
  Q_OBJECT
 public:
  using QTreeView::QTreeView;

 protected:
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
};

// The folder tree, which the window keeps hidden: its current folder is
// never said as the focus unless it is shown and focused.
class FolderTreeWidget : public QTreeWidget {
  Q_OBJECT
 public:
  using QTreeWidget::QTreeWidget;

 protected:
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
};

// band holds tool buttons, each opening a menu: it is told as a menu bar
// and they as its menus.
void ExposeAsMenuBar(QWidget* band);

}  // namespace mirvo::app
