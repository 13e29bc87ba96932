// The main window's file work on the handset: fetch, send, delete, the
// command-line files, the results of a run and its progress.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QListView>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <sys/stat.h>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/qt_ui_hooks.h"
#include "app/transfer_results_dialog.h"
#include "app/staging.h"
#include "app/status_panel.h"
#include "app/transfer_progress.h"
#include "protocol/protocol_engine.h"
#include "protocol/list_records.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kCopyFailed = "ファイルのコピーに失敗しました。";
const char* const kDeleteFailed = "ファイルの削除に失敗しました。";
const char* const kGetRefused = "指定したファイルがありません。またはコピー不可のファイルです。";
const char* const kPutRefused = "ファイルサイズが大きすぎるか、ファイルのコピーが許可されていません。";
const char* const kDelRefused = "ファイルが存在しないか、ファイルの削除が許可されていません。";
const char* const kBroken = "不正な処理が発生しました。切断します。";
const char* const kPutBroken = "電話機との通信が中断されました。";
const char* const kBadLocalName = "ファイル名に電話機で使えない文字が含まれています。";

QString ResultLine(bool ok, const QString& name) {
  return U(ok ? "転送成功 … %1" : "転送失敗 … %1").arg(name);
}

std::string UploadAttr() {
  std::string attr = BlankAttributes();
  SetFlag(attr, kProtectionFlag, kFlagOff);
  SetFlag(attr, kCopyGuardFlag, kFlagOff);
  return attr;
}

// A failure message of a transfer, with the pointer as an arrow: the
// hourglass of the run would stand over the box.
void TransferError(const char* utf8) {
  int cursors = 0;
  for (; QApplication::overrideCursor(); ++cursors) QApplication::restoreOverrideCursor();
  Ui().ReleaseCapture();
  ShowMessage(U(utf8));
  for (int i = 0; i < cursors; ++i) QApplication::setOverrideCursor(Qt::WaitCursor);
}

// The message of a failed single-file exchange and what it does to the
// session: a refusal leaves it open; "ERROR" (Failed) means the handset has
// given up the link; anything else is a broken exchange.
void ExchangeFailed(MainWindow& w, ExchangeResult r, const char* refused, const char* error, const char* broken) {
  if (r == ExchangeResult::Refused) {
    TransferError(refused);
    return;
  }
  TransferError(r == ExchangeResult::Failed ? error : broken);
  if (r == ExchangeResult::Failed) w.LinkOpen = false;
  w.Busy = false;
  w.Disconnect();
}

// Panels, Busy and the cursor of one single-file exchange, put back on
// every way out.
class OneFile {
 public:
  OneFile(MainWindow& w, std::function<void()> done) : done_(std::move(done)) { w.Busy = true; }
  ~OneFile() { done_(); }
  OneFile(const OneFile&) = delete;
  OneFile& operator=(const OneFile&) = delete;

 private:
  std::function<void()> done_;
};

}  // namespace

std::int64_t LocalFileSize(const QString& path) {
  struct stat st {};
  if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

void ForceForeground(QWidget* window) {
  if (!window) return;
  window->raise();
  window->activateWindow();
}

void ForceActive(QWidget* window) {
  if (window) window->activateWindow();
}

void MainWindow::CreateTransferProgress() {
  progress_ = new TransferProgress(StatusBar1);
  progress_->OnStop = [this] { StopTransfer(); };
  StatusBar1->addPermanentWidget(progress_);
  // A fast line never makes the engine wait: the window is served here.
  engine_->On().progress = [this](std::int64_t done) {
    if (progress_->FileBytes(done)) Ui().ProcessMessages();
  };
  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  esc->setContext(Qt::WindowShortcut);
  connect(esc, &QShortcut::activated, this, [this] {
    if (progress_->isVisible()) StopTransfer();
  });
  // The Delete key of the list asks before it deletes, as the commands do.
  for (QWidget* view : {static_cast<QWidget*>(IconView()), static_cast<QWidget*>(DetailView())}) {
    auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), view);
    del->setContext(Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, [this] {
      if (SessionOpen && HasSelection()) DeleteSelected(true);
    });
  }
  for (QAction* a : {miDelete, miDelete1}) connect(a, &QAction::triggered, this, [this] { DeleteSelected(true); });
  connect(tbtnDelete, &QToolButton::clicked, this, [this] { DeleteSelected(true); });
}

void MainWindow::StopTransfer() {
  if (!progress_->isVisible()) return;
  stopRequested_ = true;
  progress_->btnStop->setEnabled(false);
}

bool MainWindow::StopWanted() const { return stopRequested_ || closePending_; }

int MainWindow::DownloadOneFile(const std::string& dir, const std::string& line) {
  if (!SessionOpen || Busy) return -1;
  std::string data;
  ListRecord item;
  ParseListLine(line, item);
  WaitCursor cursor;
  OneFile exchange(*this, [this] {
    SetPanel(0, {});
    ClearBusy();
  });
  std::string why;
  const std::optional<std::string> target = StagedPath(dir, item.name);
  if (!target || !PreparePrivateDir(dir, why)) {
    cursor.Release();
    TransferError(kCopyFailed);
    return -2;
  }
  SetPanel(0, U("ファイル取得中...%1").arg(FromCp932(item.name)));
  Ui().ProcessMessages();
  const ExchangeResult r = engine_->GetFile(data, item.tag + item.folder + item.name);
  Ui().ProcessMessages();
  if (r == ExchangeResult::Ok) {
    if (!WriteStagedFile(dir, *target, data, item.date, why, [] { Ui().ProcessMessages(); })) {
      cursor.Release();
      TransferError(kCopyFailed);
      return -2;
    }
    QApplication::beep();
    return 0;
  }
  cursor.Release();
  ExchangeFailed(*this, r, kGetRefused, kCopyFailed, kBroken);
  return r == ExchangeResult::Refused ? -2 : -1;
}

int MainWindow::UploadOneFile(const std::string& folder, const QString& path, const std::string& attr) {
  if (!SessionOpen || Busy) return -1;
  OneFile exchange(*this, [this] {
    SetPanel(0, {});
    SetPanel(1, {});
    ClearBusy();
  });
  const QString name = QFileInfo(path).fileName();
  SetPanel(0, U("ファイル転送中...%1").arg(name));
  const std::int64_t size = LocalFileSize(path);
  SetPanel(1, size == -1 ? QString() : SizeText(size));
  std::string handset_name;
  if (!ToCp932(name, handset_name)) {
    TransferError(kBadLocalName);
    return -2;
  }
  const ExchangeResult r = engine_->PutFile(folder, QFile::encodeName(path).toStdString(), attr);
  if (r == ExchangeResult::Ok) return 0;
  ExchangeFailed(*this, r, kPutRefused, kCopyFailed, kPutBroken);
  return r == ExchangeResult::Refused ? -2 : -1;
}

int MainWindow::DeleteOneFile(const std::string& line) {
  if (!SessionOpen || Busy) return -1;
  ListRecord item;
  ParseListLine(line, item);
  WaitCursor cursor;
  OneFile exchange(*this, [this] {
    SetPanel(0, {});
    ClearBusy();
  });
  SetPanel(0, U("ファイル削除中...%1").arg(FromCp932(item.name)));
  const ExchangeResult r = engine_->DelFile(item.tag + item.folder + item.name);
  if (r == ExchangeResult::Ok) return 0;
  cursor.Release();
  ExchangeFailed(*this, r, kDelRefused, kDeleteFailed, kBroken);
  return static_cast<int>(r);
}

// 0 when the run ended normally (or was stopped by the user), -1 when it
// stopped because the session closed.
int MainWindow::DownloadSelected(QStringList& localPaths) {
  LastDownloaded.clear();
  bool failed = false;
  QStringList results;
  // The lines of the selected rows, taken before anything can change the list.
  const int count = model_->rowCount();
  std::vector<std::optional<std::string>> lines(static_cast<std::size_t>(count));
  std::int64_t total = 0;
  int files = 0;
  const QItemSelectionModel* selection = listDetails_->selectionModel();
  for (int row = 0; row < count; ++row) {
    const int line = model_->LineOfRow(row);
    if (!selection->isRowSelected(row) || line < 0 || line >= static_cast<int>(DeviceListCache.size())) continue;
    lines[static_cast<std::size_t>(row)] = DeviceListCache[static_cast<std::size_t>(line)];
    total += model_->SizeOfRow(row);
    ++files;
  }
  std::string why;
  if (files > 0 && SessionOpen && !PreparePrivateDir(StagingDir, why)) {
    ShowMessage(U(kCopyFailed) + "\r\n" + QString::fromStdString(why));
    return -1;
  }
  stopRequested_ = false;
  WaitCursor cursor;
  if (files > 0) progress_->BeginRun(files, total);
  struct EndRun {
    TransferProgress* p;
    ~EndRun() { p->EndRun(); }
  } end_run{progress_};
  for (const std::optional<std::string>& line : lines) {
    if (!SessionOpen) return -1;
    if (!line) continue;
    if (StopWanted()) break;
    ListRecord item;
    ParseListLine(*line, item);
    const QString name = FromCp932(BareHandsetName(item.name));
    progress_->BeginFile(item.size);
    int r = -100;
    try {
      r = DownloadOneFile(StagingDir, *line);
    } catch (...) {
      // A file that could not be had (memory, for one) fails alone.
      r = -2;
    }
    progress_->EndFile();
    if (r == 0) {
      LastDownloaded.push_back(*line);
      if (auto path = StagedPath(StagingDir, item.name)) localPaths << QString::fromStdString(*path);
      results << ResultLine(true, name);
      continue;
    }
    failed = true;
    if (r == -1 || r == -2) results << ResultLine(false, name);
    if (r == -1) {
      LinkOpen = false;
      Busy = false;
      Disconnect();
    }
  }
  if (!results.isEmpty() && failed) ShowTransferResults(results);
  RefreshFileView();
  cursor.Release();
  if (stopRequested_) SetPanel(0, U("中止しました"));
  return 0;
}

// The number of files sent; -1 when no session was open at the start.
int MainWindow::UploadFiles(const QStringList& paths) {
  if (!SessionOpen) return -1;
  int sent = 0;
  bool changed = false, failed = false, session_lost = false;
  QStringList results;
  std::optional<WaitCursor> cursor;
  if (!paths.isEmpty()) cursor.emplace();
  std::int64_t total = 0;
  for (const QString& path : paths) total += std::max<std::int64_t>(0, LocalFileSize(path));
  stopRequested_ = false;
  if (!paths.isEmpty()) progress_->BeginRun(static_cast<int>(paths.size()), total);
  const std::string attr = UploadAttr();
  for (const QString& path : paths) {
    if (!SessionOpen) {
      session_lost = true;
      break;
    }
    if (StopWanted()) break;
    SetPanel(0, U("ファイル転送中"));
    const std::int64_t size = LocalFileSize(path);
    if (size == -1) continue;
    progress_->BeginFile(size);
    const int r = UploadOneFile({}, path, attr);
    progress_->EndFile();
    const QString name = QFileInfo(path).fileName();
    if (r == 0) {
      ++sent;
      std::string handset_name;
      ToCp932(name, handset_name);
      std::string line = MakeListLine({}, handset_name, size, {}, attr);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      DeviceListCache.push_back(std::move(line));
      changed = true;
      results << ResultLine(true, name);
    } else {
      results << ResultLine(false, name);
      failed = true;
    }
  }
  progress_->EndRun();
  if (!session_lost && results.size() >= 2 && failed) ShowTransferResults(results);
  UpdateStatusText();
  cursor.reset();
  if (changed && FetchFileList(DeviceListCache) == 0) RefreshFileView();
  if (stopRequested_) SetPanel(0, U("中止しました"));
  return sent;
}

// 0 when the run ended normally; -1 when refused, cancelled or stopped.
int MainWindow::DeleteSelected(bool confirm) {
  if (Busy) return -1;
  if (confirm && ShowMessage(U("ファイルを削除しますか？"), MsgIcon::Question, MsgButtons::OkCancel) != MsgAnswer::Ok)
    return -1;
  const int count = model_->rowCount();
  std::vector<std::optional<std::string>> lines(static_cast<std::size_t>(count));
  const QItemSelectionModel* selection = listDetails_->selectionModel();
  for (int row = 0; row < count; ++row) {
    const int line = model_->LineOfRow(row);
    if (selection->isRowSelected(row) && line >= 0 && line < static_cast<int>(DeviceListCache.size()))
      lines[static_cast<std::size_t>(row)] = DeviceListCache[static_cast<std::size_t>(line)];
  }
  for (const std::optional<std::string>& line : lines) {
    if (!SessionOpen) return -1;
    if (!line || DeleteOneFile(*line) != 0) continue;
    const auto it = std::find(DeviceListCache.begin(), DeviceListCache.end(), *line);
    if (it != DeviceListCache.end()) DeviceListCache.erase(it);
  }
  FillFileList(CurrentFolderPath(), DeviceListCache, nullptr);
  return 0;
}

int MainWindow::UploadPending() {
  const QStringList paths = PendingUploads;
  PendingUploads.clear();
  return UploadFiles(paths);
}

int MainWindow::ShowTransferResults(const QStringList& lines) {
  int result = 0;
  {
    TransferResultsDialog dialog(this);
    dialog.SetResults(lines);
    result = dialog.exec();
  }
  ForceForeground(this);
  ForceActive(this);
  return result;
}

}  // namespace mirvo::app
