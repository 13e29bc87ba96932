// HandsetMount: the file operations of the mounted handset, each answering
// 0 (or a byte count) or a negative errno, the way the mount's callbacks
// return them. The tree comes from the handset's list; reads are served
// from whole copies fetched once into the private store; written files are
// kept there and sent when closed.
//
// Thread safety: every member may be called from any thread at once. One
// serial line means one exchange at a time: exchanges take the session in
// turn and give up with EAGAIN when their turn does not come within the
// engine's reply time-out; everything else answers from what is known,
// without waiting for the line. After a hang-up or a broken exchange every
// call fails with EIO.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_mount_store.h"
#include "cli/cli_mount_tree.h"
#include "cli/cli_session.h"

namespace mirvo::cli {

// The line's turn: one holder at a time, the others wait for it up to a
// bound. A mutex and a condition rather than a timed mutex, whose timed
// wait the thread checker cannot follow.
class LineTurn {
 public:
  bool Take(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    if (!freed_.wait_for(lock, bound, [this] { return !taken_; })) return false;
    taken_ = true;
    return true;
  }
  bool TakeIfFree() {
    std::lock_guard lock(mutex_);
    if (taken_) return false;
    taken_ = true;
    return true;
  }
  void Give() {
    {
      std::lock_guard lock(mutex_);
      taken_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool taken_ = false;
};

// Holds a turn taken, and gives it back when it goes.
class HeldTurn {
 public:
  HeldTurn(LineTurn& turn, bool taken) : turn_(turn), taken_(taken) {}
  ~HeldTurn() {
    if (taken_) turn_.Give();
  }
  HeldTurn(const HeldTurn&) = delete;
  HeldTurn& operator=(const HeldTurn&) = delete;
  bool Taken() const { return taken_; }

 private:
  LineTurn& turn_;
  bool taken_;
};

class HandsetMount {
 public:
  // The session must be open; it and run outlive the mount. The store must
  // be open.
  HandsetMount(Session& session, CliRun& run, MountStore& store);
  ~HandsetMount();
  HandsetMount(const HandsetMount&) = delete;
  HandsetMount& operator=(const HandsetMount&) = delete;

  // The first list; false when it cannot be fetched.
  bool FetchTree(std::string& why);
  // The line hung up: every later call fails with EIO.
  void NoteHangUp() { dead_ = true; }
  bool IsDead() const { return dead_; }

  // Paths are the mount's ("/", "/a/b"), UTF-8.
  int GetAttr(const std::string& path, struct stat& st);
  int ReadDir(const std::string& path, std::vector<std::pair<std::string, struct stat>>& entries);
  // fetched: the handset's data came now, at a size the kernel may not know.
  int Open(const std::string& path, int flags, std::uint64_t& handle, bool& fetched);
  int Create(const std::string& path, std::uint64_t& handle);
  int Read(std::uint64_t handle, char* buffer, std::size_t size, off_t offset);
  int Write(std::uint64_t handle, const char* data, std::size_t size, off_t offset);
  int Truncate(const std::string& path, off_t size, const std::uint64_t* handle);
  // Sends a written file whose data changed since it was last sent; once a
  // write into it failed, fails and sends nothing.
  int Flush(std::uint64_t handle);
  int Release(std::uint64_t handle);
  int Unlink(const std::string& path);
  int Rename(const std::string& from, const std::string& to);
  int MakeFolder(const std::string& path);
  int RemoveFolder(const std::string& path);
  // Modes and owners are the handset's: both succeed without effect.
  int ChangeMode(const std::string& path);
  // A time set on a file is shown for as long as the mount runs and the
  // handset's entry stays as it was; the handset keeps its own date.
  int SetTimes(const std::string& path, const struct timespec times[2]);
  int StatFs(struct statvfs& st);

  // Root readdirs longer ago than this fetch the list again.
  static constexpr std::chrono::seconds kRootRefresh{5};

 private:
  // What the mount knows of a file beyond the list, while the handset's
  // entry keeps the size and date it had (the date is filled in by the
  // first list after the mount changed the file).
  struct KnownFile {
    std::int64_t size = 0;
    std::string date;
    std::shared_ptr<StoredFile> copy;        // its whole data, when held
    std::optional<struct timespec> mtime;  // set by SetTimes
  };
  struct OpenFile {
    std::string path;
    std::shared_ptr<StoredFile> file;
    bool writing = false;
    bool unsent = false;  // written (or made) since last sent
    bool send_failed = false;
  };

  // Runs op with the session held and notes its result for the session:
  // 0 with result set, or -EAGAIN when the turn did not come in time, -EIO
  // when the session is gone.
  template <typename Op>
  int Exchange(Op op, ExchangeResult& result);
  // The list again, when the line is free now.
  void RefreshList();
  void ApplyListLocked();
  void FillStat(const MountNode& node, const KnownFile* known, const StoredFile* pending, struct stat& st) const;
  // The whole file in the store, fetched when not held yet (then
  // fetched_now is set).
  int CopyOf(const std::string& path, std::shared_ptr<StoredFile>& copy, bool* fetched_now = nullptr);
  int Send(const std::string& path, const std::shared_ptr<StoredFile>& file);
  // A new open file; with mutex_ held.
  std::uint64_t AddHandle(const std::string& path, std::shared_ptr<StoredFile> file, bool writing, bool unsent);

  Session& session_;
  CliRun& run_;
  MountStore& store_;
  const std::time_t mount_time_;
  std::atomic<bool> dead_{false};
  LineTurn line_;  // held for each exchange

  std::mutex mutex_;  // guards everything below; never held while waiting for the line
  MountTree tree_;
  std::set<std::string> made_folders_;  // by MakeFolder, until the list has them
  std::map<std::string, KnownFile> known_;
  std::map<std::string, std::shared_ptr<StoredFile>> pending_;  // written, not yet closed
  std::map<std::uint64_t, OpenFile> handles_;
  std::uint64_t next_handle_ = 1;
  bool stale_ = false;  // the mount changed the handset since the last list
  std::chrono::steady_clock::time_point listed_at_;
};

}  // namespace mirvo::cli
