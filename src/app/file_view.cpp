#include "app/file_view.h"

#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOption>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/file_list_accessible.h"
#include "app/icon_cell_delegate.h"
#include "app/mnemonics.h"
#include "app/message_box.h"
#include "dragdrop/file_drag_source.h"

namespace mirvo::app {
namespace {

constexpr int kSearchPanelWidth = 121;

QIcon TreeIcon(bool connected) {
  QIcon icon(SvgPixmap("tree_off", QSize(16, 16)));
  // The root shows the connected picture when selected.
  if (connected) icon.addPixmap(SvgPixmap("tree_on", QSize(16, 16)), QIcon::Selected);
  return icon;
}

}  // namespace

FileView::FileView(QWidget* parent) : QSplitter(Qt::Horizontal, parent), listing_(HandsetListing::Empty()) {
  setObjectName("file_view");
  setChildrenCollapsible(false);
  CreateSearchPanel();
  CreateFolderTree();
  CreateLists();
  setStretchFactor(2, 1);
  setSizes({kSearchPanelWidth, folder_pane_width_, 500});
}

void FileView::CreateSearchPanel() {
  search_panel_ = new QFrame(this);
  search_panel_->setObjectName("search_panel");
  search_panel_->setAutoFillBackground(true);
  QPalette white = search_panel_->palette();
  white.setColor(QPalette::Window, Qt::white);
  search_panel_->setPalette(white);
  auto* layout = new QVBoxLayout(search_panel_);
  layout->setContentsMargins(6, 8, 6, 8);
  search_label_ = new QLabel("ファイルの名前(&M)", search_panel_);
  search_label_->setObjectName("search_label");
  search_edit_ = new QLineEdit(search_panel_);
  search_edit_->setObjectName("search_edit");
  search_label_->setBuddy(search_edit_);
  search_start_button_ = new QPushButton("検索開始(&Ｓ)", search_panel_);
  search_start_button_->setObjectName("search_start_button");
  search_close_button_ = new QPushButton("閉じる(&C)", search_panel_);
  search_close_button_->setObjectName("search_close_button");
  layout->addWidget(search_label_);
  layout->addWidget(search_edit_);
  layout->addWidget(search_start_button_);
  layout->addWidget(search_close_button_);
  layout->addStretch(1);
  BindAsciiMnemonics(search_panel_);
  search_panel_->hide();
  connect(search_start_button_, &QPushButton::clicked, this, &FileView::StartSearch);
  connect(search_edit_, &QLineEdit::returnPressed, this, &FileView::StartSearch);
  connect(search_close_button_, &QPushButton::clicked, this, &FileView::CloseSearch);
}

void FileView::CreateFolderTree() {
  folder_tree_ = new FolderTreeWidget(this);
  folder_tree_->setObjectName("folder_tree");
  folder_tree_->setHeaderHidden(true);
  folder_tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  folder_tree_->setSortingEnabled(true);
  folder_tree_->sortByColumn(0, Qt::AscendingOrder);
  folder_tree_->resize(folder_pane_width_, folder_tree_->height());
  tree_root_ = new QTreeWidgetItem(folder_tree_, QStringList("未接続"));
  tree_root_->setIcon(0, TreeIcon(false));
  folder_tree_->setCurrentItem(tree_root_);
  folder_tree_->hide();
  connect(folder_tree_, &QTreeWidget::currentItemChanged, this,
          [this] { ShowFolder(CurrentFolderPath(), nullptr); });
}

void FileView::CreateLists() {
  file_views_ = new QStackedWidget(this);
  file_views_->setObjectName("file_views");
  model_ = new DeviceListModel(this);
  icon_view_ = new FileListView(file_views_);
  icon_view_->setObjectName("icon_view");
  detail_view_ = new FileTreeView(file_views_);
  detail_view_->setObjectName("detail_view");
  icon_view_->setModel(model_);
  icon_cells_ = new IconCellDelegate(icon_view_);
  icon_view_->setItemDelegate(icon_cells_);
  detail_view_->setModel(model_);
  icon_view_->setSelectionModel(detail_view_->selectionModel());
  icon_view_->setUniformItemSizes(true);
  icon_view_->setMovement(QListView::Static);
  icon_view_->setResizeMode(QListView::Adjust);
  icon_view_->setLayoutMode(QListView::Batched);
  detail_view_->setRootIsDecorated(false);
  detail_view_->setUniformRowHeights(true);
  detail_view_->setAllColumnsShowFocus(true);
  detail_view_->setItemsExpandable(false);
  QHeaderView* header = detail_view_->header();
  header->setSectionsClickable(true);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(0, Qt::AscendingOrder);
  const WindowSettings defaults;
  for (int i = 0; i < DeviceListModel::kColumns; ++i)
    header->resizeSection(i, defaults.column_widths[static_cast<std::size_t>(i)]);
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{icon_view_, detail_view_}) {
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Names that differ only at their end (mail01 … mail12) stay apart.
    view->setTextElideMode(Qt::ElideMiddle);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->setAccessibleName("電話機のファイル");
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { emit ContextMenuRequested(view->viewport()->mapToGlobal(pos)); });
    file_views_->addWidget(view);
  }
  connect(header, &QHeaderView::sectionClicked, this, &FileView::SortByColumn);
  // A refill keeps the order the user chose: the mark says it again.
  connect(model_, &QAbstractItemModel::modelReset, this, &FileView::ShowSortIndicator);
  connect(detail_view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &FileView::SelectionChanged);
}

void FileView::SetListing(ListingSnapshot listing) {
  listing_ = listing ? std::move(listing) : HandsetListing::Empty();
}

void FileView::ShowFolder(const std::string& folder, const std::string* pattern) {
  // A reset drops the selection without telling anyone: the status and
  // the commands must not go on counting rows that are gone.
  const bool had_selection = HasSelection();
  const QModelIndex current = detail_view_->currentIndex();
  const QString current_name = current.isValid() ? current.siblingAtColumn(0).data().toString() : QString();
  file_views_->setUpdatesEnabled(false);
  const std::optional<QString> error = model_->Fill(listing_, folder, pattern);
  ApplyIconCells();
  if (current.isValid()) KeepCurrentRow(current_name, current.row());
  FitNameColumn();
  file_views_->setUpdatesEnabled(true);
  if (had_selection) emit SelectionChanged();
  if (error) ShowMessage(*error);
}

void FileView::KeepCurrentRow(const QString& name, int row) {
  const int rows = model_->rowCount();
  if (rows == 0) return;
  // The same file if it is still listed, else the one now in its place, so
  // that the next arrow key goes on from where the user was.
  int found = -1;
  for (int r = 0; r < rows && found < 0; ++r)
    if (model_->index(r, 0).data().toString() == name) found = r;
  const QModelIndex index = model_->index(found >= 0 ? found : std::min(row, rows - 1), 0);
  detail_view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

void FileView::ShowCurrentFolder() {
  // A pattern typed without "*" finds names that contain it anywhere.
  if (search_pattern_.find('*') == std::string::npos) search_pattern_ = "*" + search_pattern_ + "*";
  ShowFolder(CurrentFolderPath(), &search_pattern_);
}

std::string FileView::CurrentFolderPath() const {
  std::string path;
  for (QTreeWidgetItem* item = folder_tree_->currentItem(); item && item != tree_root_; item = item->parent()) {
    std::string caption;
    ToCp932(item->text(0), caption);
    path = caption + "\\" + path;
  }
  return path;
}

void FileView::ClearFolders() { qDeleteAll(tree_root_->takeChildren()); }

void FileView::ShowConnected(const QString& model_name) {
  tree_root_->setIcon(0, TreeIcon(true));
  tree_root_->setText(0, model_name);
  folder_tree_->repaint();
}

void FileView::ShowDisconnected() {
  tree_root_->setIcon(0, TreeIcon(false));
  tree_root_->setText(0, "未接続");
  ClearFolders();
}

void FileView::SetStyle(ViewStyle style) {
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
  style_ = style;
  if (style != ViewStyle::Details) {
    const IconLayout& layout = kLayouts[static_cast<int>(style)];
    icon_view_->setViewMode(layout.mode);
    icon_view_->setFlow(layout.flow);
    icon_view_->setIconSize(QSize(layout.icon, layout.icon));
    icon_view_->setWrapping(true);
    icon_view_->setResizeMode(QListView::Adjust);
    ApplyIconCells();
  }
  QWidget* view = style == ViewStyle::Details ? static_cast<QWidget*>(detail_view_) : icon_view_;
  const bool had_focus = file_views_->currentWidget() && file_views_->currentWidget()->hasFocus();
  file_views_->setCurrentWidget(view);
  if (had_focus) view->setFocus(Qt::OtherFocusReason);
}

void FileView::ApplyIconCells() {
  if (style_ == ViewStyle::Details) return;
  const bool large = style_ == ViewStyle::LargeIcons;
  const QFontMetrics metrics(icon_view_->font());
  QSize cell;
  if (large) {
    // About twelve full-width characters a line, two lines under the icon.
    cell = QSize(metrics.horizontalAdvance(QChar(0x3042)) * 12 + 8,
                 IconCellDelegate::kLargeTopPadding + 32 + 8 + 2 * metrics.lineSpacing());
  } else {
    // One width for all, that of the longest name.
    int longest = 0;
    for (int row = 0; row < model_->rowCount(); ++row)
      longest = std::max(longest, metrics.horizontalAdvance(model_->index(row, 0).data().toString()));
    cell = QSize(16 + 14 + std::max(longest, 60), std::max(20, metrics.lineSpacing() + 4));
  }
  icon_cells_->SetCell(cell, large);
  icon_view_->setGridSize(cell + QSize(4, large ? 4 : 0));
  icon_view_->doItemsLayout();
}

void FileView::FitNameColumn() {
  // Wide enough for the longest name, up to about half the view; a column
  // the user made wider stays so.
  QHeaderView* header = detail_view_->header();
  const int longest = static_cast<QAbstractItemView*>(detail_view_)->sizeHintForColumn(0);
  const int wanted = std::min(longest, detail_view_->viewport()->width() / 2);
  if (wanted > header->sectionSize(0)) header->resizeSection(0, wanted);
}

int FileView::ColumnWidthNeeded(int column) const {
  static const char* const kTypical[DeviceListModel::kColumns] = {"写真0001.jpg", "1,234,567 B", "", "2026/12/31 23:59",
                                                                  "OFF", "OFF"};
  const QString cell = column == 2 ? ShellTypeName(".jpg") : QString::fromUtf8(kTypical[column]);
  QStyleOptionViewItem option;
  option.initFrom(detail_view_);
  option.text = cell;
  option.features = QStyleOptionViewItem::HasDisplay;
  if (column == 0) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    option.decorationSize = detail_view_->iconSize().isValid() ? detail_view_->iconSize() : QSize(16, 16);
  }
  const int cell_width =
      detail_view_->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), detail_view_).width();
  QHeaderView* header = detail_view_->header();
  QStyleOptionHeader caption;
  caption.initFrom(header);
  caption.text = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  const int header_width = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &caption, QSize(), header).width();
  return std::max(cell_width, header_width);
}

void FileView::ApplyWidths(const WindowSettings& s) {
  folder_pane_width_ = s.tree_view_width;
  folder_tree_->resize(s.tree_view_width, folder_tree_->height());
  // Default widths were chosen for another font: never narrower than the
  // header and a typical cell need in this one. Saved widths stand.
  for (int i = 0; i < DeviceListModel::kColumns; ++i) {
    const auto c = static_cast<std::size_t>(i);
    const int width =
        s.column_width_saved[c] ? s.column_widths[c] : std::max(s.column_widths[c], ColumnWidthNeeded(i));
    detail_view_->header()->resizeSection(i, width);
  }
}

void FileView::StoreWidths(WindowSettings& s) const {
  s.tree_view_width = folder_pane_width_;
  for (int i = 0; i < DeviceListModel::kColumns; ++i)
    s.column_widths[static_cast<std::size_t>(i)] = detail_view_->header()->sectionSize(i);
}

QWidget* FileView::CurrentView() const { return file_views_->currentWidget(); }

void FileView::SortByColumn(int column) {
  if (column < 0 || column >= DeviceListModel::kColumns) return;
  ApplySort(column, !ascending_[static_cast<std::size_t>(column)]);
}

void FileView::SortBy(int column, Qt::SortOrder order) {
  if (column < 0 || column >= DeviceListModel::kColumns) return;
  // The size column's flag puts the larger first.
  const bool up = order == Qt::AscendingOrder;
  ApplySort(column, column == 1 ? !up : up);
}

void FileView::ApplySort(int column, bool flag) {
  ascending_[static_cast<std::size_t>(column)] = flag;
  model_->SortByColumn(column, flag);
  ShowSortIndicator();
  emit SortChanged();
}

void FileView::ShowSortIndicator() {
  const int column = model_->SortColumn();
  // Before any sort of the user's the list is in name order.
  if (column < 0) {
    detail_view_->header()->setSortIndicator(0, Qt::AscendingOrder);
    return;
  }
  const bool flag = model_->SortFlag();
  const bool up = column == 1 ? !flag : flag;
  detail_view_->header()->setSortIndicator(column, up ? Qt::AscendingOrder : Qt::DescendingOrder);
}

int FileView::SortColumn() const { return detail_view_->header()->sortIndicatorSection(); }

Qt::SortOrder FileView::SortOrder() const { return detail_view_->header()->sortIndicatorOrder(); }

void FileView::SelectAll() {
  const int rows = model_->rowCount();
  if (rows > 0)
    detail_view_->selectionModel()->select(
        QItemSelection(model_->index(0, 0), model_->index(rows - 1, DeviceListModel::kColumns - 1)),
        QItemSelectionModel::Select);
  if (auto* view = qobject_cast<QAbstractItemView*>(CurrentView())) view->viewport()->repaint();
}

bool FileView::HasSelection() const { return detail_view_->selectionModel()->hasSelection(); }

FileView::Selection FileView::SelectedFiles() const {
  Selection selected;
  const QItemSelectionModel* selection = detail_view_->selectionModel();
  const std::vector<HandsetFile>& files = model_->Listing()->Files();
  for (int row = 0; row < model_->rowCount(); ++row) {
    const int line = model_->LineOfRow(row);
    if (!selection->isRowSelected(row) || line < 0 || line >= static_cast<int>(files.size())) continue;
    selected.files.push_back(files[static_cast<std::size_t>(line)]);
    selected.bytes += model_->SizeOfRow(row);
  }
  return selected;
}

FileView::SelectionSize FileView::SelectedSize() const {
  SelectionSize size;
  const int lines = static_cast<int>(model_->Listing()->Size());
  for (const QItemSelectionRange& range : detail_view_->selectionModel()->selection()) {
    for (int row = range.top(); row <= range.bottom(); ++row) {
      ++size.rows;
      const int line = model_->LineOfRow(row);
      if (line >= 0 && line < lines) size.bytes += model_->SizeOfRow(row);
    }
  }
  return size;
}

void FileView::ToggleSearch() {
  if (busy_ && busy_()) return;
  search_shown_ = !search_shown_;
  search_panel_->setVisible(search_shown_);
  emit SearchToggled(search_shown_);
  if (search_shown_) {
    // Opened to type a name into.
    search_edit_->setFocus(Qt::ShortcutFocusReason);
    search_edit_->selectAll();
    QList<int> widths = sizes();
    if (widths.size() == 3 && widths[0] < kSearchPanelWidth) {
      widths[2] = std::max(0, widths[2] - (kSearchPanelWidth - widths[0]));
      widths[0] = kSearchPanelWidth;
      setSizes(widths);
    }
  }
}

void FileView::StartSearch() {
  std::string pattern;
  if (!ToCp932(search_edit_->text(), pattern)) {
    ShowMessage("検索する名前に使えない文字が含まれています。");
    return;
  }
  search_pattern_ = pattern;
  ShowCurrentFolder();
  emit SearchFinished(model_->rowCount());
}

void FileView::CloseSearch() {
  ToggleSearch();
  search_pattern_.clear();
  ShowCurrentFolder();
}

bool FileView::eventFilter(QObject* watched, QEvent* e) {
  if (watched == icon_view_->viewport() || watched == detail_view_->viewport())
    return ViewportEvent(static_cast<QAbstractItemView*>(static_cast<QWidget*>(watched)->parentWidget()), e);
  if (watched != icon_view_ && watched != detail_view_) return false;
  const QEvent::Type type = e->type();
  if (type == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(e);
    // Select all is the command's, enabled by its own rule; the view's own key is not used.
    if (key->matches(QKeySequence::SelectAll)) return true;
    if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier) {
      emit ContextMenuRequested(KeyboardMenuPos(static_cast<QAbstractItemView*>(watched)));
      return true;
    }
    // Keys the window's enabled commands took never come here; the rest must
    // not reach the view, which would copy a caption as text.
    const bool edit_key = (key->modifiers() == Qt::ControlModifier &&
                           (key->key() == Qt::Key_C || key->key() == Qt::Key_V || key->key() == Qt::Key_X)) ||
                          key->key() == Qt::Key_Insert || key->matches(QKeySequence::Copy) ||
                          key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Paste);
    if (!edit_key && key->key() != Qt::Key_Delete) return false;
    emit EditKeyPressed(key->key(), key->modifiers());
    return true;
  }
  if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
    const auto reason = static_cast<QFocusEvent*>(e)->reason();
    // Another window or a pop-up taking the focus is no move inside the window.
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
    if (type == QEvent::FocusOut)
      emit ListLeft();
    else if (reason == Qt::MouseFocusReason)
      // The press that gave the focus is handled first, on the rows it
      // was aimed at: a refill in between would put another file there.
      QMetaObject::invokeMethod(this, &FileView::ListEntered, Qt::QueuedConnection);
    else
      emit ListEntered();
  }
  return false;
}

QPoint FileView::KeyboardMenuPos(QAbstractItemView* view) const {
  // Under the current file, where the eye already is.
  QRect cell = view->visualRect(view->currentIndex());
  if (!cell.isValid() || !view->viewport()->rect().intersects(cell)) cell = QRect(QPoint(0, 0), QSize(0, 0));
  return view->viewport()->mapToGlobal(QPoint(cell.left() + cell.height() / 2, cell.bottom()));
}

bool FileView::ViewportEvent(QAbstractItemView* view, QEvent* e) {
  switch (e->type()) {
    case QEvent::MouseButtonPress: {
      auto* m = static_cast<QMouseEvent*>(e);
      drag_press_.reset();
      if (m->button() == Qt::LeftButton && view->indexAt(m->position().toPoint()).isValid())
        drag_press_ = DragPress{m->position().toPoint(), std::chrono::steady_clock::now()};
      return false;
    }
    case QEvent::MouseMove: {
      auto* m = static_cast<QMouseEvent*>(e);
      if (!drag_press_ || !(m->buttons() & Qt::LeftButton)) return false;
      const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             drag_press_->time);
      // Moves of a press on a row belong to the drag, not to the selection.
      if (!dragdrop::IsDragGesture(drag_press_->pos, m->position().toPoint(), held)) return true;
      drag_press_.reset();
      emit DragStarted(m->modifiers());
      return true;
    }
    case QEvent::MouseButtonRelease:
      drag_press_.reset();
      return false;
    default:
      return false;
  }
}

}  // namespace mirvo::app
