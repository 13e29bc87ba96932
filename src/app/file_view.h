// The handset's files as the user browses them: the folder tree, one list
// shown as large icons, small icons, a list or details, the search panel,
// the sort and the selection. It shows a snapshot of the session's listing
// and never changes it.
#pragma once

#include <QPointer>
#include <QSplitter>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/handset_listing.h"
#include "settings/settings_file.h"

class QAbstractItemView;
class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedWidget;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace mirvo::app {

class DeviceListModel;
class IconCellDelegate;

class FileView : public QSplitter {
  Q_OBJECT

 public:
  explicit FileView(QWidget* parent);

  // The listing the next Show* lists.
  void SetListing(ListingSnapshot listing);
  // Lists the files of folder whose names match pattern (none: all). A
  // malformed pattern is reported to the user.
  void ShowFolder(const std::string& folder, const std::string* pattern);
  // The current folder's files through the search pattern.
  void ShowCurrentFolder();
  // "\"-separated, ending in "\", code page 932; empty at the root.
  std::string CurrentFolderPath() const;
  void ClearFolders();
  // The tree's root: the model's name with the connected picture, or 未接続.
  void ShowConnected(const QString& model_name);
  void ShowDisconnected();

  ViewStyle Style() const { return style_; }
  void SetStyle(ViewStyle style);
  // A header click: each column flips its own order.
  void SortByColumn(int column);
  // Sorts by column in the order seen: ascending is smaller, older or A first.
  void SortBy(int column, Qt::SortOrder order);
  // The order the list is in, as the header marks it; it stands through
  // every refill until the user sorts again.
  int SortColumn() const;
  Qt::SortOrder SortOrder() const;
  // Marks every row and repaints the list at once.
  void SelectAll();
  bool HasSelection() const;
  // The selected rows' files in row order, and their sizes.
  struct Selection {
    std::vector<HandsetFile> files;
    std::int64_t bytes = 0;
  };
  Selection SelectedFiles() const;
  // How many rows are selected, and the size of those whose line stands.
  struct SelectionSize {
    int rows = 0;
    std::int64_t bytes = 0;
  };
  SelectionSize SelectedSize() const;

  // Shows or hides the search panel; not while busy says so.
  void ToggleSearch();
  bool IsSearchShown() const { return search_shown_; }
  const std::string& SearchPattern() const { return search_pattern_; }
  // Taken by the next ShowCurrentFolder, as a search started from the panel.
  void SetSearchPattern(std::string pattern) { search_pattern_ = std::move(pattern); }
  void SetBusyCheck(std::function<bool()> busy) { busy_ = std::move(busy); }

  // Widths of the details columns and of the folder pane, as config.ini keeps them.
  void ApplyWidths(const WindowSettings& s);
  void StoreWidths(WindowSettings& s) const;

  DeviceListModel& Model() const { return *model_; }
  QListView* IconView() const { return icon_view_; }
  QTreeView* DetailView() const { return detail_view_; }
  // The view that shows the list in the current style.
  QWidget* CurrentView() const;

 signals:
  void SelectionChanged();
  // The keyboard focus came into the list from elsewhere in the window, or left it.
  void ListEntered();
  void ListLeft();
  // Ctrl+C, Ctrl+V, Ctrl+X or Delete on the list; the view itself never sees them.
  void EditKeyPressed(int key, Qt::KeyboardModifiers modifiers);
  // The mouse moved far enough with the left button down on a row.
  void DragStarted(Qt::KeyboardModifiers modifiers);
  void ContextMenuRequested(QPoint global_pos);
  void SearchToggled(bool shown);
  // The user sorted the list: SortColumn and SortOrder say how.
  void SortChanged();
  // A search from the panel has listed found files.
  void SearchFinished(int found);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateSearchPanel();
  void CreateFolderTree();
  void CreateLists();
  void StartSearch();
  void CloseSearch();
  bool ViewportEvent(QAbstractItemView* view, QEvent* event);
  // After a fill: the current row on the file named, else on the nearest row.
  void KeepCurrentRow(const QString& name, int row);
  // Where a pop-up opened from the keyboard shows.
  QPoint KeyboardMenuPos(QAbstractItemView* view) const;
  // Cell and grid of the icon view for the style and the names listed.
  void ApplyIconCells();
  void FitNameColumn();
  void ApplySort(int column, bool flag);
  void ShowSortIndicator();
  // What a column's header and a typical cell need in the font in use.
  int ColumnWidthNeeded(int column) const;

  ListingSnapshot listing_;
  std::function<bool()> busy_;
  ViewStyle style_ = ViewStyle::Details;
  bool search_shown_ = false;
  std::string search_pattern_;
  std::array<bool, 6> ascending_{true, true, true, true, true, true};
  // The hidden pane has no width of its own to read back.
  int folder_pane_width_ = 112;

  // The search panel.
  QFrame* search_panel_ = nullptr;
  QLabel* search_label_ = nullptr;
  QLineEdit* search_edit_ = nullptr;
  QPushButton *search_start_button_ = nullptr, *search_close_button_ = nullptr;
  // The folders and the files.
  QTreeWidget* folder_tree_ = nullptr;
  QTreeWidgetItem* tree_root_ = nullptr;
  QStackedWidget* file_views_ = nullptr;
  DeviceListModel* model_ = nullptr;
  QListView* icon_view_ = nullptr;
  QTreeView* detail_view_ = nullptr;
  IconCellDelegate* icon_cells_ = nullptr;

  // Where and when the left button went down on a row, until it is let go
  // or a drag starts.
  struct DragPress {
    QPoint pos;
    std::chrono::steady_clock::time_point time;
  };
  std::optional<DragPress> drag_press_;
};

}  // namespace mirvo::app
