// The main window's commands between the handset and files of the user's
// choosing: send chosen files, save the selected ones into a chosen folder,
// open a file with the desktop's application.
#include <QAbstractItemView>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QDateTime>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <QUrl>
#include <memory>
#include <optional>
#include <set>

#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/save_folder.h"
#include "app/session_controller.h"
#include "app/staging.h"
#include "app/transfer_controller.h"
#include "app/transfer_progress.h"
#include "protocol/list_records.h"

namespace mirvo::app {
namespace {

// Asks as a desktop's file manager does; Esc cancels, Enter skips.
MainWindow::ReplaceAnswer AskReplace(QWidget* parent, const QString& question) {
  using Answer = MainWindow::ReplaceAnswer;
  QMessageBox box(QMessageBox::Question, "Mirvo", question, QMessageBox::NoButton, parent);
  const std::pair<const char*, Answer> buttons[] = {{"上書き(&O)", Answer::Replace},
                                                    {"スキップ(&S)", Answer::Skip},
                                                    {"すべて上書き(&A)", Answer::ReplaceAll},
                                                    {"すべてスキップ(&K)", Answer::SkipAll}};
  std::vector<std::pair<QAbstractButton*, Answer>> made;
  for (const auto& [caption, answer] : buttons)
    made.emplace_back(box.addButton(caption, QMessageBox::AcceptRole), answer);
  QPushButton* cancel = box.addButton("キャンセル", QMessageBox::RejectRole);
  box.setDefaultButton(static_cast<QPushButton*>(made[1].first));
  box.setEscapeButton(cancel);
  box.exec();
  for (const auto& [button, answer] : made)
    if (box.clickedButton() == button) return answer;
  return Answer::Cancel;
}

// Both files' sizes and dates, so that the user can tell which to keep.
QString ReplaceQuestion(const QString& folder, const QString& relative, const ListRecord& item) {
  const QFileInfo existing(folder + "/" + relative);
  QString handset_date;
  if (const std::optional<ListDate> d = ParseListDate(item.date))
    handset_date = DateTimeCell(*d);
  return QString("保存先に同じ名前のファイルがあります。置き換えますか？\n%1\n"
                 "保存先のファイル: %2　%3\n電話機のファイル: %4　%5")
      .arg(relative, SizeText(existing.size()), existing.lastModified().toString("yyyy/MM/dd hh:mm"),
           SizeText(item.size), handset_date);
}

}  // namespace

void MainWindow::CreateFileCommands() {
  pick_files_ = [](QWidget* parent) {
    return QFileDialog::getOpenFileNames(parent, "ファイルを送信", QDir::homePath());
  };
  pick_folder_ = [](QWidget* parent) {
    return QFileDialog::getExistingDirectory(parent, "フォルダーに保存", QDir::homePath(), QFileDialog::ShowDirsOnly);
  };
  SetReplaceAsker(AskReplace);
  connect(send_files_action_, &QAction::triggered, this, &MainWindow::SendFiles);
  connect(save_to_folder_action_, &QAction::triggered, this, &MainWindow::SaveToFolder);
  // Double-click or Enter, as the desktop has it.
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{files_->IconView(), files_->DetailView()})
    connect(view, &QAbstractItemView::activated, this, &MainWindow::OpenFile);
}

CommandResult MainWindow::SendFiles() {
  if (!session_->IsSessionOpen() || session_->IsBusy()) return CommandResult::kRefused;
  const QStringList paths = pick_files_(this);
  if (paths.isEmpty() || !session_->IsSessionOpen() || session_->IsBusy()) return CommandResult::kRefused;
  return transfers_->UploadFiles(paths);
}

CommandResult MainWindow::SaveToFolder() {
  if (!session_->IsSessionOpen() || session_->IsBusy() || !files_->HasSelection()) return CommandResult::kRefused;
  const std::vector<HandsetFile> selected = files_->SelectedFiles().files;
  const QString chosen = pick_folder_(this);
  if (chosen.isEmpty() || !session_->IsSessionOpen() || session_->IsBusy()) return CommandResult::kRefused;
  std::string why;
  // The user's own folder is never made private: copies are staged as any
  // fetch is, then copied in.
  auto folder = std::make_shared<std::optional<SaveFolder>>(SaveFolder::Open(QFile::encodeName(chosen).toStdString(), why));
  if (!*folder) {
    ShowMessage(QString("ファイルのコピーに失敗しました。\n%1").arg(QString::fromStdString(why)));
    return CommandResult::kRefused;
  }
  // Asked before anything is fetched: the line is slow, and the user need
  // not wait by it for the next question.
  std::vector<HandsetFile> wanted;
  auto replace = std::make_shared<std::set<std::string>>();
  std::optional<ReplaceAnswer> for_all;
  for (const HandsetFile& file : selected) {
    // A name with no local form goes on: the fetch fails it with its reason.
    const std::optional<std::string> relative = StagedRelativePath(file.record);
    if (!relative || !(*folder)->Holds(*relative)) {
      wanted.push_back(file);
      continue;
    }
    const ReplaceAnswer answer =
        for_all ? *for_all : ask_replace_(this, ReplaceQuestion(chosen, QString::fromStdString(*relative), file.record));
    if (answer == ReplaceAnswer::Cancel) return CommandResult::kRefused;
    if (answer == ReplaceAnswer::ReplaceAll || answer == ReplaceAnswer::SkipAll) for_all = answer;
    if (answer == ReplaceAnswer::Replace || answer == ReplaceAnswer::ReplaceAll) {
      replace->insert(*relative);
      wanted.push_back(file);
    }
  }
  // The copy into the user's folder runs on the session's thread, right
  // after each file is on disk.
  auto deliver = [folder, replace](const std::string& local_path, const HandsetFile& file) -> std::string {
    const std::optional<std::string> relative = StagedRelativePath(file.record);
    if (!relative) return "ファイル名をこのコンピューターの名前にできません";
    std::string reason;
    if (!(*folder)->Copy(local_path, *relative, replace->count(*relative) > 0, reason)) return reason;
    return {};
  };
  return transfers_->DownloadFiles(
      std::move(wanted),
      [this, chosen](const TransferController::Fetched& fetched) {
        UpdateStatusText();
        UpdateCommands();
        ShowStatus(StatusField::Activity,
                   QString("%1 個のファイルを保存しました。保存先: %2").arg(fetched.files.size()).arg(chosen));
      },
      deliver);
}

CommandResult MainWindow::OpenFile(const QModelIndex& index) {
  if (!session_->IsSessionOpen() || session_->IsBusy() || !index.isValid()) return CommandResult::kRefused;
  const int line = files_->Model().LineOfRow(index.row());
  const ListingSnapshot& listing = files_->Model().Listing();
  if (line < 0 || line >= static_cast<int>(listing->Size())) return CommandResult::kRefused;
  return transfers_->DownloadFiles({listing->Files()[static_cast<std::size_t>(line)]},
                                   [this](const TransferController::Fetched& fetched) {
                                     if (fetched.local_paths.size() != 1) return;
                                     UpdateStatusText();
                                     const QString path = fetched.local_paths[0];
                                     if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
                                     ShowMessage(QString("このファイルを開くアプリケーションが見つかりませんでした。\n%1").arg(path));
                                   });
}

}  // namespace mirvo::app
