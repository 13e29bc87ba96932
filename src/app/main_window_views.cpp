// The main window's list of handset files: fill, sort, view styles, search.
#include <QAction>
#include <QHeaderView>
#include <QStyle>
#include <QStyleOption>
#include <QLineEdit>
#include <QListView>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/icon_cell_delegate.h"
#include "app/main_window.h"
#include "app/qt_ui_hooks.h"

namespace mirvo::app {

void MainWindow::RefreshFileView() {
  const bool selected = HasSelection();
  for (QToolButton* b : {tbtnCut, tbtnCopy, tbtnDelete}) b->setEnabled(selected);
  // A pattern typed without "*" finds names that contain it anywhere.
  if (SearchPattern.find('*') == std::string::npos) SearchPattern = "*" + SearchPattern + "*";
  FillFileList(CurrentFolderPath(), DeviceListCache, &SearchPattern);
}

void MainWindow::FillFileList(const std::string& folder, const std::vector<std::string>& lines,
                            const std::string* pattern) {
  // A reset drops the selection without telling anyone: the status and
  // the commands must not go on counting rows that are gone.
  const bool had_selection = HasSelection();
  ListView1->setUpdatesEnabled(false);
  const std::optional<QString> error = model_->Fill(lines, folder, pattern);
  ApplyIconCells();
  ListView1->setUpdatesEnabled(true);
  if (had_selection) ListView1SelectItem();
  if (error) ShowMessage(*error);
}

std::string MainWindow::CurrentFolderPath() const {
  std::string path;
  for (QTreeWidgetItem* item = TreeView1->currentItem(); item && item != treeRoot_; item = item->parent()) {
    std::string caption;
    ToCp932(item->text(0), caption);
    path = caption + "\\" + path;
  }
  return path;
}

void MainWindow::BuildFolderTree() { qDeleteAll(treeRoot_->takeChildren()); }

void MainWindow::ApplyViewStyle(int style) {
  if (style < 0 || style > 3) style = 3;
  QAction* const menu_items[4] = {miLargeIcon, miSmallIcon, miList, miDetail};
  QAction* const popup_items[4] = {miLargeIcon2, miSmallIcon2, miList2, miDetail2};
  for (int i = 0; i < 4; ++i) {
    menu_items[i]->setChecked(i == style);
    popup_items[i]->setChecked(i == style);
  }
  // Large icons, small icons and list share one icon view laid out three ways.
  struct IconLayout {
    QListView::ViewMode mode;
    QListView::Flow flow;
    int icon;
  };
  static const IconLayout kLayouts[3] = {
      {QListView::IconMode, QListView::LeftToRight, 32},
      {QListView::ListMode, QListView::LeftToRight, 16},
      {QListView::ListMode, QListView::TopToBottom, 16},
  };
  ViewStyle = style;
  if (style < 3) {
    const IconLayout& layout = kLayouts[style];
    listIcons_->setViewMode(layout.mode);
    listIcons_->setFlow(layout.flow);
    listIcons_->setIconSize(QSize(layout.icon, layout.icon));
    listIcons_->setWrapping(true);
    listIcons_->setResizeMode(QListView::Adjust);
    ApplyIconCells();
  }
  QWidget* view = style == 3 ? static_cast<QWidget*>(listDetails_) : listIcons_;
  const bool had_focus = ListView1->currentWidget() && ListView1->currentWidget()->hasFocus();
  ListView1->setCurrentWidget(view);
  if (had_focus) view->setFocus(Qt::OtherFocusReason);
}

void MainWindow::ApplyIconCells() {
  if (ViewStyle >= 3) return;
  const QFontMetrics metrics(listIcons_->font());
  QSize cell;
  if (ViewStyle == 0) {
    // About twelve full-width characters a line, two lines under the icon.
    cell = QSize(metrics.horizontalAdvance(QChar(0x3042)) * 12 + 8, 32 + 8 + 2 * metrics.lineSpacing());
  } else {
    // One width for all, that of the longest name.
    int longest = 0;
    for (int row = 0; row < model_->rowCount(); ++row)
      longest = std::max(longest, metrics.horizontalAdvance(model_->index(row, 0).data().toString()));
    cell = QSize(16 + 14 + std::max(longest, 60), std::max(20, metrics.lineSpacing() + 4));
  }
  iconCells_->SetCell(cell, ViewStyle == 0);
  listIcons_->setGridSize(cell + QSize(4, ViewStyle == 0 ? 4 : 0));
  listIcons_->doItemsLayout();
}

int MainWindow::ColumnWidthNeeded(int column) const {
  static const char* const kTypical[DeviceListModel::kColumns] = {"写真0001.jpg", "1,234,567 B", "", "2026/12/31 23:59",
                                                                  "OFF", "OFF"};
  QString cell = column == 2 ? ShellTypeName(".jpg") : QString::fromUtf8(kTypical[column]);
  QStyleOptionViewItem option;
  option.initFrom(listDetails_);
  option.text = cell;
  option.features = QStyleOptionViewItem::HasDisplay;
  if (column == 0) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    option.decorationSize = listDetails_->iconSize().isValid() ? listDetails_->iconSize() : QSize(16, 16);
  }
  const int cell_width = listDetails_->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), listDetails_).width();
  QHeaderView* header = listDetails_->header();
  QStyleOptionHeader caption;
  caption.initFrom(header);
  caption.text = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  const int header_width = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &caption, QSize(), header).width();
  return std::max(cell_width, header_width);
}

QWidget* MainWindow::CurrentListView() const { return ListView1->currentWidget(); }

void MainWindow::ListView1ColumnClick(int column) {
  if (column < 0 || column >= DeviceListModel::kColumns) return;
  bool& flag = SortFlags[static_cast<std::size_t>(column)];
  flag = !flag;
  model_->SortByColumn(column, flag);
}

void MainWindow::SelectAllFiles() {
  const int rows = model_->rowCount();
  if (rows > 0)
    listDetails_->selectionModel()->select(
        QItemSelection(model_->index(0, 0), model_->index(rows - 1, DeviceListModel::kColumns - 1)),
        QItemSelectionModel::Select);
  if (QAbstractItemView* view = qobject_cast<QAbstractItemView*>(CurrentListView())) view->viewport()->repaint();
}

void MainWindow::ListView1SelectItem() {
  UpdateStatusText();
  UpdateCommands();
}

void MainWindow::ListView1Enter() { RefreshFileView(); }

void MainWindow::ListView1Exit() {
  for (QToolButton* b : {tbtnCut, tbtnCopy, tbtnPaste, tbtnDelete}) b->setEnabled(false);
}

void MainWindow::ToggleSearch() {
  if (Busy) return;
  SearchShown = !SearchShown;
  tbtnSearch->setChecked(SearchShown);
  panelSearch->setVisible(SearchShown);
  if (SearchShown) {
    QList<int> sizes = Splitter1->sizes();
    if (sizes.size() == 3 && sizes[0] < 121) {
      sizes[2] = std::max(0, sizes[2] - (121 - sizes[0]));
      sizes[0] = 121;
      Splitter1->setSizes(sizes);
    }
  }
}

void MainWindow::StartSearch() {
  std::string pattern;
  if (!ToCp932(editSearch->text(), pattern)) {
    ShowMessage(QString::fromUtf8("検索する名前に使えない文字が含まれています。"));
    return;
  }
  SearchPattern = pattern;
  RefreshFileView();
}

void MainWindow::CloseSearch() {
  ToggleSearch();
  SearchPattern.clear();
  RefreshFileView();
}

}  // namespace mirvo::app
