// The main window: the menus, the tool bar and the status bar over the
// handset's file list, the settings it keeps in config.ini between runs,
// and the way files go to and from the desktop (clipboard, drag and drop,
// files handed over by a second start). The connection, the transfers and
// the list itself are its parts; it wires them to the commands.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_result.h"
#include "app/status_field.h"
#include "app/transfer_controller.h"
#include "protocol/handset_listing.h"
#include "settings/settings_file.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QStatusBar;
class QModelIndex;
class QToolButton;

namespace mirvo::dragdrop {
class FileDragSource;
class FileDropTarget;
class PendingCut;
}  // namespace mirvo::dragdrop

namespace mirvo::app {

class FileView;
class ManualOpener;
class SessionController;
class StatusPanel;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // files_to_send: local files named on the command line, sent once a
  // session stands.
  explicit MainWindow(const QStringList& files_to_send = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  SessionController& Session() { return *session_; }
  TransferController& Transfers() { return *transfers_; }
  FileView& Files() { return *files_; }
  dragdrop::FileDragSource& DragSource() { return *drag_source_; }
  dragdrop::PendingCut& Cut() { return *pending_cut_; }

  // Clipboard and drag and drop with the desktop: 0 done, -1 refused.
  CommandResult CutFiles();
  CommandResult CopyFiles();
  CommandResult PasteFiles();
  // A drag out of the list, once the mouse has moved far enough.
  CommandResult StartDrag(Qt::KeyboardModifiers modifiers);
  // Files handed over by a second start of the program.
  void ReceiveFiles(const QStringList& paths);

  // Sends local files the user picks, as a paste of them would.
  CommandResult SendFiles();
  // Fetches the file of a row into the staging folder and opens it with the
  // desktop's application for its type.
  CommandResult OpenFile(const QModelIndex& index);

  // Fetches the selected files and saves them into a folder the user
  // picks, asking before an existing file is replaced; 0 when it ran.
  CommandResult SaveToFolder();

  // Where the user picks files to send; tests answer in place of the
  // dialog. An empty answer is a cancel.
  using FilePicker = std::function<QStringList(QWidget* parent)>;
  void SetFilePicker(FilePicker picker) { pick_files_ = std::move(picker); }
  // Where the user picks the folder to save into; empty is a cancel.
  using FolderPicker = std::function<QString(QWidget* parent)>;
  void SetFolderPicker(FolderPicker picker) { pick_folder_ = std::move(picker); }
  // What the user says to a file of the same name in that folder.
  // Also asked before a file sent replaces one of the handset's.
  using ReplaceAnswer = app::ReplaceAnswer;
  using ReplaceAsker = app::ReplaceAsker;
  void SetReplaceAsker(ReplaceAsker asker) {
    ask_replace_ = asker;
    transfers_->SetReplaceAsker(std::move(asker));
  }

  // Opens the manual; 0 when a viewer took it.
  int ShowManual();
  // Enables each command by the connection, the selection and the clipboard.
  void UpdateCommands();
  void RefreshFileView();
  QString StatusText(StatusField field) const;
  // The first activation connects, or asks for the port when none is known.
  void SetConnectOnFirstActivation(bool connect) { first_activation_ = connect; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  void CreateStatusBar();
  void ConnectParts();
  void CreateDragAndDrop();
  void CreateFileCommands();
  QAction* AddAction(const char* name, const char* caption, const QKeySequence& key = {});
  QToolButton* AddToolButton(QWidget* band, const char* name, QAction* action);
  bool MenuBandKey(QObject* watched, int key);
  // The View menu's 並べ替え: one item per column.
  QMenu* CreateSortMenu();
  static void ShowKeyInToolTip(QAction* action);
  // Menus open with their first item current; F10 and Alt alone open the band.
  void MenuKeys(QObject* watched, QEvent* event);
  bool OwnsMenu(QObject* object) const;

  void LoadSettings();
  bool SaveSettings();
  void ApplyFirstStartGeometry();

  void OnWindowActivated();
  void ShowStatus(StatusField field, const QString& text);
  void PaintHandsetStatus(QPainter& painter, const QRect& rect);
  void FitHandsetStatus();
  // The next command begins: a stop said after the last run is done with.
  void ClearStopNotice();
  // The selection's count and size; empties the list once the link is down.
  void UpdateStatusText();
  void NameHandsetStatus();
  void ShowConnectionLost();
  void FinishPendingClose();
  void SendReceivedFiles();

  CommandResult PutOnClipboard(bool cut);
  void OfferOnClipboard(bool cut, const TransferController::Fetched& fetched);
  void FetchFilesForDrag(Qt::DropActions drag_types, bool& go_on);
  void UploadDroppedFiles();
  void HandleListKey(int key, Qt::KeyboardModifiers modifiers);
  void DeleteTakenFiles();
  void ShowClipboardStatus(const QString& text);

  FilePicker pick_files_;
  FolderPicker pick_folder_;
  ReplaceAsker ask_replace_;
  std::string settings_dir_;
  SettingsLines settings_lines_;
  bool first_activation_ = true;
  bool close_pending_ = false;
  bool updating_status_ = false;
  bool stop_notice_shown_ = false;
  const void* last_f5_ = nullptr;
  QPointer<QWidget> last_f5_widget_;
  bool alone_alt_ = false;

  std::unique_ptr<SessionController> session_;
  FileView* files_ = nullptr;
  TransferController* transfers_ = nullptr;
  dragdrop::FileDragSource* drag_source_ = nullptr;
  dragdrop::FileDropTarget* drop_target_ = nullptr;
  ManualOpener* manual_ = nullptr;
  dragdrop::PendingCut* pending_cut_ = nullptr;
  // List lines of cut files whose copies a paste took, still on the handset.
  std::vector<std::string> taken_lines_;
  QLabel* clipboard_status_ = nullptr;

  QAction *connect_action_, *disconnect_action_, *refresh_action_, *exit_action_;
  QAction *cut_action_, *copy_action_, *paste_action_, *delete_action_, *select_all_action_;
  QAction *send_files_action_, *save_to_folder_action_;
  QAction *search_action_, *password_action_, *port_action_;
  std::array<QAction*, 4> view_style_actions_{};  // in ViewStyle order
  QAction *manual_action_, *about_action_;
  QAction* auto_connect_action_ = nullptr;
  QMenu *file_menu_, *edit_menu_, *view_menu_, *help_menu_, *edit_popup_, *view_style_popup_;

  QFrame* tool_bands_ = nullptr;
  std::array<QToolButton*, 4> menu_buttons_{};  // the menu band, in order
  QToolButton *cut_button_, *copy_button_, *paste_button_, *delete_button_, *search_button_;

  QStatusBar* status_bar_ = nullptr;
  std::array<QLabel*, 3> status_labels_{};  // Activity, Size, Port
  StatusPanel* handset_status_ = nullptr;
};

}  // namespace mirvo::app
