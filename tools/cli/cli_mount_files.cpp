// The mount's files: fetched whole at the first open, written into the
// store and sent when closed, deleted and renamed on the handset.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "cli/cli_format.h"
#include "cli/cli_mount_ops.h"
#include "protocol/list_records.h"
#include "text/cp932.h"
#include "text/handset_name.h"

namespace mirvo::cli {
namespace {

// What a file made in the mount may be called there: what the window and
// put would send.
bool IsSendableName(const std::string& path) { return text::CheckHandsetName(LastPartOf(path)).IsSendable(); }

// A failed write as the writer should see it: a full disk, a quota or a
// size limit as such, anything else as EIO.
int WriteError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG ? -error : -EIO; }

// Keeps the first failure: the file may go on being written, never sent.
void NoteWriteError(StoredFile& file, int error) {
  int none = 0;
  file.write_error.compare_exchange_strong(none, error);
}

bool CopyData(int from, int to) {
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAllAt(to, buffer, static_cast<std::size_t>(n), offset)) return false;
    offset += n;
  }
}

}  // namespace

template <typename Op>
int HandsetMount::Exchange(Op op, ExchangeResult& result) {
  result = ExchangeResult::Broken;
  if (dead_) return -EIO;
  const HeldTurn line(line_, line_.Take(std::chrono::milliseconds(run_.options.timeouts.reply)));
  if (!line.Taken()) return -EAGAIN;
  std::string why;
  if (dead_ || !session_.MayTryNext(why)) {
    dead_ = true;
    return -EIO;
  }
  result = op();
  if (result != ExchangeResult::Ok) {
    session_.NoteResult(result);
    if (session_.broken || session_.ended) dead_ = true;
  }
  return 0;
}

int HandsetMount::CopyOf(const std::string& path, std::shared_ptr<StoredFile>& copy, bool* fetched_now) {
  std::string handset_path;
  KnownFile entry;
  {
    std::lock_guard lock(mutex_);
    const auto known = known_.find(path);
    if (known != known_.end() && known->second.copy) {
      copy = known->second.copy;
      return 0;
    }
    const MountNode* node = tree_.Find(path);
    if (!node) return -ENOENT;
    if (node->is_folder) return -EISDIR;
    if (node->copy_guarded) return -EACCES;
    handset_path = node->handset_path;
    entry.size = node->size;
    entry.date = node->date;
    if (known != known_.end()) entry.mtime = known->second.mtime;
  }
  bool stored = true;
  ExchangeResult got = ExchangeResult::Ok;
  const int e = Exchange([&] {
    // Another reader may have fetched it while this one waited its turn.
    {
      std::lock_guard lock(mutex_);
      const auto known = known_.find(path);
      if (known != known_.end() && known->second.copy) {
        copy = known->second.copy;
        return ExchangeResult::Ok;
      }
    }
    std::string data;
    const ExchangeResult fetched = session_.engine.GetFile(data, handset_path);
    if (fetched != ExchangeResult::Ok) return fetched;
    std::string why;
    auto file = store_.Create("file", why);
    if (!file || !WriteAllAt(file->fd.Get(), data.data(), data.size(), 0)) {
      stored = false;
      return ExchangeResult::Ok;
    }
    std::lock_guard lock(mutex_);
    entry.copy = file;
    known_[path] = entry;
    copy = std::move(file);
    if (fetched_now) *fetched_now = true;
    return ExchangeResult::Ok;
  }, got);
  if (e != 0) return e;
  // The handset's refusal and a broken exchange alike: no copy, no entry.
  return got == ExchangeResult::Ok && stored ? 0 : -EIO;
}

int HandsetMount::Open(const std::string& path, int flags, std::uint64_t& handle, bool& fetched) {
  fetched = false;
  if (dead_) return -EIO;
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  {
    std::lock_guard lock(mutex_);
    if (const auto pending = pending_.find(path); pending != pending_.end()) {
      handle = AddHandle(path, pending->second, writing, false);
      return 0;
    }
    const MountNode* node = tree_.Find(path);
    if (!node) return -ENOENT;
    if (node->is_folder) return -EISDIR;
    if (writing && node->is_protected) return -EACCES;
    if (!writing && node->copy_guarded) return -EACCES;
  }
  std::shared_ptr<StoredFile> copy;
  const bool keeps_data = !writing || (flags & O_TRUNC) == 0;
  if (keeps_data) {
    if (const int e = CopyOf(path, copy, &fetched); e != 0) return e;
  }
  if (!writing) {
    std::lock_guard lock(mutex_);
    handle = AddHandle(path, copy, false, false);
    return 0;
  }
  std::string why;
  auto file = store_.Create(LastPartOf(path), why);
  if (!file || (copy && !CopyData(copy->fd.Get(), file->fd.Get()))) return -EIO;
  std::lock_guard lock(mutex_);
  pending_[path] = file;
  handle = AddHandle(path, file, true, !keeps_data);
  return 0;
}

int HandsetMount::Create(const std::string& path, std::uint64_t& handle) {
  if (dead_) return -EIO;
  if (!IsSendableName(path)) return -EINVAL;
  {
    std::lock_guard lock(mutex_);
    const MountNode* parent = tree_.Find(ParentOf(path));
    if (!parent) return -ENOENT;
    if (!parent->is_folder) return -ENOTDIR;
    const MountNode* node = tree_.Find(path);
    if (node && node->is_folder) return -EISDIR;
    if (node && node->is_protected) return -EACCES;
  }
  std::string why;
  auto file = store_.Create(LastPartOf(path), why);
  if (!file) return -EIO;
  std::lock_guard lock(mutex_);
  pending_[path] = file;
  handle = AddHandle(path, std::move(file), true, true);
  return 0;
}

int HandsetMount::Read(std::uint64_t handle, char* buffer, std::size_t size, off_t offset) {
  if (dead_) return -EIO;
  std::shared_ptr<StoredFile> file;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return -EBADF;
    file = it->second.file;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(file->fd.Get(), buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -EIO;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<int>(done);
}

int HandsetMount::Write(std::uint64_t handle, const char* data, std::size_t size, off_t offset) {
  if (dead_) return -EIO;
  std::shared_ptr<StoredFile> file;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return -EBADF;
    if (!it->second.writing) return -EBADF;
    it->second.unsent = true;
    file = it->second.file;
  }
  int error = 0;
  // The list's size field and the upload's are 32-bit.
  if (offset + static_cast<off_t>(size) > INT32_MAX)
    error = -EFBIG;
  else if (!WriteAllAt(file->fd.Get(), data, size, offset))
    error = WriteError(errno);
  if (error != 0) {
    NoteWriteError(*file, error);
    return error;
  }
  return static_cast<int>(size);
}

int HandsetMount::Truncate(const std::string& path, off_t size, const std::uint64_t* handle) {
  if (dead_) return -EIO;
  if (size > INT32_MAX) return -EFBIG;
  std::lock_guard lock(mutex_);
  std::shared_ptr<StoredFile> file;
  if (handle) {
    const auto it = handles_.find(*handle);
    if (it != handles_.end() && it->second.writing) file = it->second.file;
  }
  if (!file) {
    const auto pending = pending_.find(path);
    if (pending != pending_.end()) file = pending->second;
  }
  if (!file) {
    // Only a written file can change; a handset file keeps its size.
    const MountNode* node = tree_.Find(path);
    if (!node) return -ENOENT;
    if (node->is_folder) return -EISDIR;
    return node->size == size ? 0 : -EPERM;
  }
  if (::ftruncate(file->fd.Get(), size) != 0) {
    const int error = WriteError(errno);
    NoteWriteError(*file, error);
    return error;
  }
  for (auto& [id, open] : handles_)
    if (open.file == file && open.writing) open.unsent = true;
  return 0;
}

int HandsetMount::Send(const std::string& path, const std::shared_ptr<StoredFile>& file) {
  std::string prefix;
  {
    std::lock_guard lock(mutex_);
    const MountNode* parent = tree_.Find(ParentOf(path));
    if (!parent || !parent->is_folder) return -ENOENT;
    prefix = parent->handset_path;
  }
  struct stat st{};
  if (::fstat(file->fd.Get(), &st) != 0) return -EIO;
  if (st.st_size > INT32_MAX) return -EFBIG;
  // Protection and copy guard off, every other flag not applicable.
  std::string attributes = BlankAttributes();
  SetFlag(attributes, kProtectionFlag, kFlagOff);
  SetFlag(attributes, kCopyGuardFlag, kFlagOff);
  const std::string local = store_.PathOf(*file);
  ExchangeResult sent = ExchangeResult::Ok;
  if (const int e = Exchange([&] { return session_.engine.PutFile(prefix, local, attributes); }, sent); e != 0)
    return e;
  // The handset says no more than that it refused.
  if (sent != ExchangeResult::Ok) return -EIO;
  const auto name = text::Utf8ToCp932(file->name);
  std::lock_guard lock(mutex_);
  tree_.Put(path, FileNode(prefix + name.value_or(""), st.st_size, std::time(nullptr)));
  KnownFile& known = known_[path];
  known = KnownFile{};
  known.size = st.st_size;
  known.copy = file;
  // The time the writer left on it stays once the file is closed, as it
  // showed while open: a tool that set it before closing (rsync) finds it.
  known.mtime = st.st_mtim;
  stale_ = true;
  return 0;
}

int HandsetMount::Flush(std::uint64_t handle) {
  std::string path;
  std::shared_ptr<StoredFile> file;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return -EBADF;
    if (!it->second.writing) return 0;
    path = it->second.path;
    file = it->second.file;
    // Every close of a file that lost a write fails, and the handset keeps
    // the file it had.
    if (const int lost = file->write_error; lost != 0) {
      it->second.unsent = false;
      if (const auto pending = pending_.find(path); pending != pending_.end() && pending->second == file)
        pending_.erase(pending);
      return lost;
    }
    if (!it->second.unsent) return 0;
    it->second.unsent = false;
  }
  const int e = Send(path, file);
  if (e != 0) {
    std::lock_guard lock(mutex_);
    if (const auto it = handles_.find(handle); it != handles_.end()) it->second.send_failed = true;
    // Gone at once: the release comes after close has returned, and a
    // look in between must not find a file the handset refused.
    if (const auto pending = pending_.find(path); pending != pending_.end() && pending->second == file)
      pending_.erase(pending);
  }
  return e;
}

int HandsetMount::Release(std::uint64_t handle) {
  int e = Flush(handle);
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return e;
  const OpenFile file = std::move(it->second);
  handles_.erase(it);
  if (!file.writing) return e;
  const bool still_open = std::any_of(handles_.begin(), handles_.end(),
                                      [&](const auto& open) { return open.second.file == file.file; });
  const auto pending = pending_.find(file.path);
  // A file whose send failed does not appear; its data goes with the
  // last holder.
  if (!still_open && pending != pending_.end() && pending->second == file.file) pending_.erase(pending);
  return e;
}

int HandsetMount::Unlink(const std::string& path) {
  if (dead_) return -EIO;
  std::string handset_path;
  {
    std::lock_guard lock(mutex_);
    const MountNode* node = tree_.Find(path);
    if (!node) return pending_.count(path) ? -EBUSY : -ENOENT;
    if (node->is_folder) return -EISDIR;
    if (node->is_protected) return -EPERM;
    handset_path = node->handset_path;
  }
  ExchangeResult deleted = ExchangeResult::Ok;
  if (const int e = Exchange([&] { return session_.engine.DelFile(handset_path); }, deleted); e != 0) return e;
  if (deleted == ExchangeResult::Refused) return -EACCES;
  if (deleted == ExchangeResult::Failed) return -ENOENT;
  if (deleted != ExchangeResult::Ok) return -EIO;
  std::lock_guard lock(mutex_);
  tree_.Remove(path);
  known_.erase(path);
  stale_ = true;
  return 0;
}

int HandsetMount::Rename(const std::string& from, const std::string& to) {
  if (dead_) return -EIO;
  {
    std::lock_guard lock(mutex_);
    const MountNode* node = tree_.Find(from);
    if (!node) return pending_.count(from) ? -EBUSY : -ENOENT;
    // The handset moves nothing: a move is a copy and a delete, which mv
    // does itself on EXDEV.
    if (node->is_folder || ParentOf(from) != ParentOf(to)) return -EXDEV;
    if (node->is_protected) return -EPERM;
    if (pending_.count(from) || pending_.count(to)) return -EBUSY;
    const MountNode* target = tree_.Find(to);
    if (target && target->is_folder) return -EISDIR;
    if (target && target->is_protected) return -EACCES;
  }
  if (!IsSendableName(to)) return -EINVAL;
  // In one folder the mount renames by sending the data under the new name
  // and deleting the old, as tools that write a temporary name expect.
  std::shared_ptr<StoredFile> copy;
  if (const int e = CopyOf(from, copy); e != 0) return e == -EACCES ? -EXDEV : e;
  std::string why;
  const auto renamed = store_.LinkAs(*copy, LastPartOf(to), why);
  if (!renamed) return -EIO;
  std::optional<struct timespec> mtime;
  {
    std::lock_guard lock(mutex_);
    if (const auto known = known_.find(from); known != known_.end()) mtime = known->second.mtime;
  }
  if (const int e = Send(to, renamed); e != 0) return e;
  {
    std::lock_guard lock(mutex_);
    known_[to].mtime = mtime;
  }
  return Unlink(from);
}

}  // namespace mirvo::cli
