// MainWindow, the main window: connection to the handset, its file list, the search
// panel and the settings the window keeps between runs.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <array>
#include <cstdint>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/settings_file.h"

class QAction;
class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPainter;
class QRect;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QStatusBar;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace mirvo {
class SerialPort;
class ProtocolEngine;
}  // namespace mirvo

namespace mirvo::dragdrop {
class FileDragSource;
class FileDropTarget;
}  // namespace mirvo::dragdrop

namespace mirvo::app {

class DeviceListModel;
class IconCellDelegate;
class StatusPanel;

// "%f MB", "%f KB" (two decimals) or "%d B".
QString SizeText(std::int64_t bytes);
// Size of a local file (not a folder), or -1 when there is none.
std::int64_t LocalFileSize(const QString& path);
// Raise the window and give it the keyboard.
void ForceForeground(QWidget* window);
void ForceActive(QWidget* window);

class TransferProgress;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // params: local files named on the command line.
  explicit MainWindow(const QStringList& params = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Connection control.
  int Connect();
  int Disconnect();
  int SelectPort();
  int StartSession();
  int FetchFileList(std::vector<std::string>& list);
  int Refresh();
  int EditPassword();
  void HandsetEnded();
  void UpdateStatusText();
  void UpdateCommands();
  void StatusBar1DrawPanel(QPainter& painter, const QRect& rect);

  // Views.
  void RefreshFileView();
  void FillFileList(const std::string& folder, const std::vector<std::string>& lines, const std::string* pattern);
  std::string CurrentFolderPath() const;
  void BuildFolderTree();
  void ApplyViewStyle(int style);
  void ListView1ColumnClick(int column);
  // Marks every row and repaints the list at once.
  void SelectAllFiles();

  // File transfers. Single files return the engine's code (0 success); the
  // drivers' results are described where they are defined. Lines are list
  // lines (code page 932); local paths are UTF-8.
  int DownloadOneFile(const std::string& dir, const std::string& line);
  int UploadOneFile(const std::string& folder, const QString& path, const std::string& attr);
  int DeleteOneFile(const std::string& line);
  int DownloadSelected(QStringList& localPaths);
  int UploadFiles(const QStringList& paths);
  int DeleteSelected(bool confirm);
  int UploadPending();
  int ShowTransferResults(const QStringList& lines);
  // Ends a download or upload run after the file in progress (Esc, 中止).
  void StopTransfer();
  TransferProgress& Progress() { return *progress_; }

  // Life cycle.
  void LoadSettings();
  bool SaveSettings();
  int ShowManual();
  // Files handed over by a second start of the program.
  void ReceiveFiles(const QStringList& paths);

  // Clipboard, keys and drag and drop with the desktop: 0 done, -1 refused.
  int CutFiles();
  int CopyFiles();
  int PasteFiles();
  // A drag out of the list, once the mouse has moved far enough.
  int ListView1MouseDown(Qt::KeyboardModifiers shift);
  // True when the key was the list's own.
  bool ListView1KeyDown(int key, Qt::KeyboardModifiers shift);
  void DropFileSource1Drop(Qt::DropActions drag_types, bool& go_on);
  void DropFileTarget1Drop(Qt::KeyboardModifiers shift, QPoint pos, Qt::DropAction& effect);
  dragdrop::FileDragSource* DropFileSource1 = nullptr;
  dragdrop::FileDropTarget* DropFileTarget1 = nullptr;

  // State, for the status bar and for tests. Texts are code page 932.
  std::string ComPort, Password, VendorName, ModelName;
  int ViewStyle = 3;
  bool FirstActivation = true;
  bool Connecting = false, LinkOpen = false, SessionOpen = false, Busy = false;
  bool SearchShown = false;
  std::string SearchPattern;
  std::array<bool, 6> SortFlags{true, true, true, true, true, true};
  std::vector<std::string> DeviceListCache;
  QStringList PendingUploads;
  std::vector<std::string> LastDownloaded;
  SettingsLines settings_lines;
  std::string SettingsDir, StagingDir;

  SerialPort& Serial() { return *serial_; }
  ProtocolEngine& Engine() { return *engine_; }
  DeviceListModel& ListModel() { return *model_; }
  QString PanelText(int panel) const;
  // The view that shows the list in the current style.
  QWidget* CurrentListView() const;
  QListView* IconView() const { return listIcons_; }
  QTreeView* DetailView() const { return listDetails_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Built once; named after their captions' roles.
  void CreateActions();
  void CreateCoolBar();
  void CreateCentre();
  void CreateStatusBar();
  QToolButton* AddToolButton(QWidget* bar, const char* name, const QString& caption, const QString& picture);

  void CreateDragDrop();
  int PutOnClipboard(bool cut);
  std::int64_t SelectedBytes() const;
  bool ListViewportEvent(QWidget* viewport, QEvent* e);
  bool ListViewKeyEvent(QKeyEvent* k);
  void FormActivate();
  void SerialOpen();
  void SerialRXCHAR();
  void SerialHangUp();
  void ListView1Enter();
  void ListView1Exit();
  void ListView1SelectItem();
  void ToggleSearch();
  void StartSearch();
  void CloseSearch();
  void SetPanel(int panel, const QString& text);
  // Clears Busy and finishes a close that waited for it.
  void ClearBusy();
  void FinishPendingClose();
  void SendReceivedFiles();
  bool HasSelection() const;
  void ApplyGeometry(const WindowSettings& s);
  void ApplyFirstStartGeometry();
  // Cell and grid of the icon view for the style and the names listed.
  void ApplyIconCells();
  // What a column's header and a typical cell need in the font in use.
  int ColumnWidthNeeded(int column) const;
  void CreateTransferProgress();
  bool StopWanted() const;

 public:
  // Commands, by the names the window definition gives them.
  QAction *miConnect, *miDisconnect, *miRefresh, *miExit;
  QAction *miCut, *miCopy, *miPaste, *miDelete, *miSelectAll, *miSearch, *miPassword, *miCOMPort;
  QAction *miLargeIcon, *miSmallIcon, *miList, *miDetail;
  QAction *miAppHelp, *miAbout;
  QAction *miCut1, *miCopy1, *miPaste1, *miDelete1, *miSelectAll1;
  QAction *miLargeIcon2, *miSmallIcon2, *miList2, *miDetail2;
  QMenu *miFile, *miEdit, *miView, *miHelp, *pmenuEdit, *pmenuViewStyle;
  QToolButton *tbtnConnect, *tbtnDisconnect, *tbtnRefresh, *tbtnCut, *tbtnCopy, *tbtnPaste, *tbtnDelete,
      *tbtnSearch, *tbtnViewStyle, *tbtnHelp;
  QFrame* CoolBar1;
  QWidget *ToolBar1, *ToolBar2;
  QFrame* panelSearch;
  QLabel* labelSearchWord;
  QLineEdit* editSearch;
  QPushButton *btnSearchStart, *btnSearchClose;
  QSplitter* Splitter1;
  QTreeWidget* TreeView1;
  QStackedWidget* ListView1;
  QStatusBar* StatusBar1;

 private:
  std::unique_ptr<SerialPort> serial_;
  std::unique_ptr<ProtocolEngine> engine_;
  DeviceListModel* model_ = nullptr;
  QListView* listIcons_ = nullptr;
  QTreeView* listDetails_ = nullptr;
  IconCellDelegate* iconCells_ = nullptr;
  std::array<QLabel*, 3> panels_{};
  StatusPanel* panel3_ = nullptr;
  QTreeWidgetItem* treeRoot_ = nullptr;
  TransferProgress* progress_ = nullptr;
  bool stopRequested_ = false;
  std::array<QToolButton*, 4> menuButtons_{};  // the menu band, in order
  bool closePending_ = false;
  bool hangUpPending_ = false;
  // The hidden pane has no width of its own to read back.
  int treeViewWidth_ = 112;
  bool closing_ = false;
  bool inStatusUpdate_ = false;
  const void* lastF5_ = nullptr;
  QPointer<QWidget> lastF5Widget_;
  // Where and when the left button went down on a row, until it is let go
  // or a drag starts.
  struct DragPress {
    QPoint pos;
    std::chrono::steady_clock::time_point time;
  };
  std::optional<DragPress> dragPress_;
};

}  // namespace mirvo::app
