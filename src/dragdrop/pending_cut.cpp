#include "dragdrop/pending_cut.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QMimeData>

namespace mirvo::dragdrop {

namespace {

// A move between file systems is a copy, then a delete: a large file on a
// slow disk takes a while.
constexpr std::chrono::milliseconds kEmptiedWait = std::chrono::seconds(60);

bool ClipboardEmpty() {
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  return !mime || mime->formats().isEmpty();
}

}  // namespace

PendingCut::PendingCut(QObject* parent) : QObject(parent) {
  emptied_wait_.setSingleShot(true);
  emptied_wait_.setInterval(kEmptiedWait);
  connect(&emptied_wait_, &QTimer::timeout, this, &PendingCut::Finish);
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &PendingCut::Check);
  connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &PendingCut::Check);
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &PendingCut::Check);
}

bool PendingCut::Watch(std::vector<Entry> entries, OfferCheck offered) {
  Finish();
  if (entries.empty() || !offered || !offered()) return false;
  offered_ = std::move(offered);
  entries_ = std::move(entries);
  QStringList paths;
  for (const Entry& e : entries_) {
    paths << e.path;
    const QString folder = QFileInfo(e.path).absolutePath();
    if (!paths.contains(folder)) paths << folder;
  }
  watcher_.addPaths(paths);
  return true;
}

QStringList PendingCut::Waiting() const {
  QStringList paths;
  for (const Entry& e : entries_) paths << e.path;
  return paths;
}

QStringList PendingCut::Watched() const { return watcher_.files() + watcher_.directories(); }

void PendingCut::TakeGone() {
  // Taken out of the list before anyone hears of it: the owner's work on a
  // taken file lets events run, and this may be called again meanwhile.
  std::vector<std::string> taken;
  std::erase_if(entries_, [&](const Entry& e) {
    // A link put in the copy's place is no copy of ours: the file was taken.
    if (QFileInfo(e.path).isFile() && !QFileInfo(e.path).isSymLink()) return false;
    taken.push_back(e.key);
    watcher_.removePath(e.path);
    return true;
  });
  for (const std::string& key : taken)
    if (on_taken_) on_taken_(key);
}

void PendingCut::Check() {
  if (!offered_) return;
  TakeGone();
  if (entries_.empty()) {
    Finish();
    return;
  }
  if (offered_()) return;
  // Someone else's data on the clipboard ends the offer at once; an empty
  // clipboard may be a paste of ours still moving the copies.
  if (!ClipboardEmpty()) {
    Finish();
  } else if (!emptied_wait_.isActive()) {
    emptied_wait_.start();
  }
}

void PendingCut::Finish() {
  if (!offered_) return;
  // Cleared first: what TakeGone's callbacks let run must not end it twice.
  offered_ = nullptr;
  emptied_wait_.stop();
  TakeGone();
  const int left = static_cast<int>(entries_.size());
  entries_.clear();
  const QStringList watched = Watched();
  if (!watched.isEmpty()) watcher_.removePaths(watched);
  if (on_ended_) on_ended_(left);
}

}  // namespace mirvo::dragdrop
