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
  return QString("保存先に同じ名前のファイルがあります。置き換えますか？\r\n%1\r\n"
                 "保存先のファイル: %2　%3\r\n電話機のファイル: %4　%5")
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
  ask_replace_ = AskReplace;
  connect(send_files_action_, &QAction::triggered, this, &MainWindow::SendFiles);
  connect(save_to_folder_action_, &QAction::triggered, this, &MainWindow::SaveToFolder);
  // Double-click or Enter, as the desktop has it.
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{files_->IconView(), files_->DetailView()})
    connect(view, &QAbstractItemView::activated, this, &MainWindow::OpenFile);
}

int MainWindow::SendFiles() {
  if (!session_->IsSessionOpen() || session_->IsBusy()) return -1;
  const QStringList paths = pick_files_(this);
  if (paths.isEmpty() || !session_->IsSessionOpen() || session_->IsBusy()) return -1;
  transfers_->UploadFiles(paths);
  UpdateStatusText();
  UpdateCommands();
  return 0;
}

int MainWindow::SaveToFolder() {
  if (!session_->IsSessionOpen() || session_->IsBusy() || !files_->HasSelection()) return -1;
  const std::vector<std::string> selected = files_->SelectedFiles().lines;
  const QString chosen = pick_folder_(this);
  if (chosen.isEmpty() || !session_->IsSessionOpen() || session_->IsBusy()) return -1;
  std::string why;
  // The user's own folder is never made private: copies are staged as any
  // fetch is, then copied in.
  const std::optional<SaveFolder> folder = SaveFolder::Open(QFile::encodeName(chosen).toStdString(), why);
  if (!folder) {
    ShowMessage(QString("ファイルのコピーに失敗しました。\r\n%1").arg(QString::fromStdString(why)));
    return -1;
  }
  // Asked before anything is fetched: the line is slow, and the user need
  // not wait by it for the next question.
  std::vector<std::string> lines;
  std::set<std::string> replace;
  std::optional<ReplaceAnswer> for_all;
  for (const std::string& line : selected) {
    ListRecord item;
    ParseListLine(line, item);
    // A name with no local form goes on: the fetch fails it with its reason.
    const std::optional<std::string> relative = StagedRelativePath(item);
    if (!relative || !folder->Holds(*relative)) {
      lines.push_back(line);
      continue;
    }
    const ReplaceAnswer answer =
        for_all ? *for_all : ask_replace_(this, ReplaceQuestion(chosen, QString::fromStdString(*relative), item));
    if (answer == ReplaceAnswer::Cancel) return -1;
    if (answer == ReplaceAnswer::ReplaceAll || answer == ReplaceAnswer::SkipAll) for_all = answer;
    if (answer == ReplaceAnswer::Replace || answer == ReplaceAnswer::ReplaceAll) {
      replace.insert(*relative);
      lines.push_back(line);
    }
  }
  int saved = 0;
  QStringList staged;
  transfers_->DownloadFiles(lines, staged, [&](const std::string& local_path, const std::string& line) {
    ListRecord item;
    ParseListLine(line, item);
    const std::optional<std::string> relative = StagedRelativePath(item);
    std::string reason;
    if (!relative) return QString("ファイル名をこのコンピューターの名前にできません");
    if (!folder->Copy(local_path, *relative, replace.count(*relative) > 0, reason))
      return QString::fromStdString(reason);
    ++saved;
    return QString();
  });
  UpdateStatusText();
  UpdateCommands();
  ShowStatus(StatusField::Activity, QString("%1 個のファイルを保存しました。保存先: %2").arg(saved).arg(chosen));
  return 0;
}

int MainWindow::OpenFile(const QModelIndex& index) {
  if (!session_->IsSessionOpen() || session_->IsBusy() || !index.isValid()) return -1;
  const int line = files_->Model().LineOfRow(index.row());
  const std::vector<std::string>& lines = session_->Lines();
  if (line < 0 || line >= static_cast<int>(lines.size())) return -1;
  QStringList fetched;
  if (transfers_->DownloadFiles({lines[static_cast<std::size_t>(line)]}, fetched) != 0 || fetched.size() != 1)
    return -1;
  UpdateStatusText();
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(fetched[0]))) return 0;
  ShowMessage(QString("このファイルを開くアプリケーションが見つかりませんでした。\r\n%1").arg(fetched[0]));
  return -1;
}

}  // namespace mirvo::app
