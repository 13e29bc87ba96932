// The mount's tree: attributes, folders, the list and what is kept of it.
#include <unistd.h>

#include <cerrno>

#include "cli/cli_format.h"
#include "cli/cli_mount_ops.h"
#include "text/cp932.h"
#include "text/handset_name.h"

namespace mirvo::cli {

HandsetMount::HandsetMount(Session& session, CliRun& run, MountStore& store)
    : session_(session), run_(run), store_(store), mount_time_(std::time(nullptr)) {}

// Open files hold stored files; they go before the store does.
HandsetMount::~HandsetMount() = default;

bool HandsetMount::FetchTree(std::string& why) {
  session_.listed = false;
  const ExchangeResult r = FetchList(session_, run_);
  if (r != ExchangeResult::Ok) {
    why = "cannot fetch the file list: " + ResultText(r);
    return false;
  }
  std::lock_guard lock(mutex_);
  ApplyListLocked();
  return true;
}

void HandsetMount::RefreshList() {
  if (dead_) return;
  const HeldTurn line(line_, line_.TakeIfFree());
  if (!line.Taken()) return;
  session_.listed = false;
  if (FetchList(session_, run_) != ExchangeResult::Ok) {
    if (session_.broken || session_.ended) dead_ = true;
    return;
  }
  std::lock_guard lock(mutex_);
  ApplyListLocked();
}

void HandsetMount::ApplyListLocked() {
  tree_.Build(session_.lines, mount_time_);
  for (auto it = made_folders_.begin(); it != made_folders_.end();) {
    const MountNode* parent = tree_.Find(ParentOf(*it));
    if (tree_.Find(*it) || !parent || !parent->is_folder) {
      it = made_folders_.erase(it);
      continue;
    }
    const auto name = text::Utf8ToCp932(LastPartOf(*it));
    tree_.Put(*it, FolderNode(parent->handset_path + name.value_or("") + "\\", mount_time_));
    ++it;
  }
  for (auto it = known_.begin(); it != known_.end();) {
    const MountNode* node = tree_.Find(it->first);
    KnownFile& known = it->second;
    if (!node || node->is_folder || node->size != known.size || (!known.date.empty() && known.date != node->date)) {
      it = known_.erase(it);
      continue;
    }
    known.date = node->date;
    ++it;
  }
  stale_ = false;
  listed_at_ = std::chrono::steady_clock::now();
}

void HandsetMount::FillStat(const MountNode& node, const KnownFile* known, const StoredFile* pending,
                            struct stat& st) const {
  st = {};
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  st.st_mtime = st.st_atime = st.st_ctime = node.mtime;
  if (node.is_folder) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
    return;
  }
  st.st_nlink = 1;
  mode_t mode = node.is_protected ? 0444 : 0644;
  if (node.copy_guarded) mode &= ~0444;
  st.st_mode = S_IFREG | mode;
  st.st_size = node.size;
  struct stat held{};
  const StoredFile* data = pending ? pending : (known && known->copy ? known->copy.get() : nullptr);
  if (data && ::fstat(data->fd.Get(), &held) == 0) st.st_size = held.st_size;
  if (pending) st.st_mtim = held.st_mtim;
  if (known && known->mtime) st.st_mtim = *known->mtime;
  st.st_blksize = 4096;
  st.st_blocks = (st.st_size + 511) / 512;
}

int HandsetMount::GetAttr(const std::string& path, struct stat& st) {
  if (dead_) return -EIO;
  std::lock_guard lock(mutex_);
  const MountNode* node = tree_.Find(path);
  const auto pending = pending_.find(path);
  if (pending != pending_.end()) {
    FillStat(node && !node->is_folder ? *node : FileNode("", 0, mount_time_), nullptr, pending->second.get(), st);
    return 0;
  }
  if (!node) return -ENOENT;
  const auto known = known_.find(path);
  FillStat(*node, known == known_.end() ? nullptr : &known->second, nullptr, st);
  return 0;
}

int HandsetMount::ReadDir(const std::string& path, std::vector<std::pair<std::string, struct stat>>& entries) {
  if (dead_) return -EIO;
  bool refresh = false;
  {
    std::lock_guard lock(mutex_);
    const MountNode* node = tree_.Find(path);
    if (!node) return -ENOENT;
    if (!node->is_folder) return -ENOTDIR;
    refresh = stale_ || (path == "/" && std::chrono::steady_clock::now() - listed_at_ > kRootRefresh);
  }
  // Only when the line is free: a long read elsewhere must not hold up a
  // listing, which then shows what the mount already knows.
  if (refresh) RefreshList();
  if (dead_) return -EIO;
  std::lock_guard lock(mutex_);
  if (!tree_.Find(path)) return -ENOENT;
  for (const auto& [name, node] : tree_.Children(path)) {
    const std::string child = (path == "/" ? "/" : path + "/") + name;
    const auto known = known_.find(child);
    const auto pending = pending_.find(child);
    struct stat st{};
    FillStat(*node, known == known_.end() ? nullptr : &known->second,
             pending == pending_.end() ? nullptr : pending->second.get(), st);
    entries.emplace_back(name, st);
  }
  for (const auto& [child, file] : pending_) {
    if (ParentOf(child) != path || tree_.Find(child)) continue;
    struct stat st{};
    FillStat(FileNode("", 0, mount_time_), nullptr, file.get(), st);
    entries.emplace_back(LastPartOf(child), st);
  }
  return 0;
}

int HandsetMount::MakeFolder(const std::string& path) {
  if (dead_) return -EIO;
  const text::HandsetNameCheck name = text::CheckHandsetName(LastPartOf(path));
  if (!name.IsSendable()) return -EINVAL;
  std::lock_guard lock(mutex_);
  const MountNode* parent = tree_.Find(ParentOf(path));
  if (!parent) return -ENOENT;
  if (!parent->is_folder) return -ENOTDIR;
  if (tree_.Find(path) || pending_.count(path)) return -EEXIST;
  tree_.Put(path, FolderNode(parent->handset_path + name.handset_name + "\\", std::time(nullptr)));
  made_folders_.insert(path);
  return 0;
}

int HandsetMount::RemoveFolder(const std::string& path) {
  if (dead_) return -EIO;
  if (path == "/") return -EBUSY;
  std::lock_guard lock(mutex_);
  const MountNode* node = tree_.Find(path);
  if (!node) return -ENOENT;
  if (!node->is_folder) return -ENOTDIR;
  const std::string prefix = path + "/";
  const bool pending_inside =
      pending_.lower_bound(prefix) != pending_.end() && pending_.lower_bound(prefix)->first.starts_with(prefix);
  if (tree_.HasChildren(path) || pending_inside) return -ENOTEMPTY;
  // A folder exists on the handset only through its files: with none left
  // there is nothing to delete there.
  tree_.Remove(path);
  made_folders_.erase(path);
  return 0;
}

int HandsetMount::ChangeMode(const std::string& path) {
  if (dead_) return -EIO;
  std::lock_guard lock(mutex_);
  return tree_.Find(path) || pending_.count(path) ? 0 : -ENOENT;
}

int HandsetMount::SetTimes(const std::string& path, const struct timespec times[2]) {
  if (dead_) return -EIO;
  std::lock_guard lock(mutex_);
  if (const auto pending = pending_.find(path); pending != pending_.end()) {
    ::futimens(pending->second->fd.Get(), times);
    // Sent already and not yet released: the time stays with the file.
    struct stat held{};
    if (const auto known = known_.find(path); known != known_.end() && ::fstat(pending->second->fd.Get(), &held) == 0)
      known->second.mtime = held.st_mtim;
    return 0;
  }
  const MountNode* node = tree_.Find(path);
  if (!node) return -ENOENT;
  if (node->is_folder || (times && times[1].tv_nsec == UTIME_OMIT)) return 0;
  auto [it, added] = known_.try_emplace(path);
  if (added) {
    it->second.size = node->size;
    it->second.date = node->date;
  }
  struct timespec mtime{};
  if (!times || times[1].tv_nsec == UTIME_NOW)
    ::clock_gettime(CLOCK_REALTIME, &mtime);
  else
    mtime = times[1];
  it->second.mtime = mtime;
  return 0;
}

int HandsetMount::StatFs(struct statvfs& st) {
  if (dead_) return -EIO;
  std::lock_guard lock(mutex_);
  // The handset tells neither its capacity nor its free space: both show
  // as unknown (0), not as a full device.
  st = {};
  st.f_bsize = st.f_frsize = 4096;
  st.f_files = tree_.FileCount();
  st.f_namemax = 255;
  return 0;
}

std::uint64_t HandsetMount::AddHandle(const std::string& path, std::shared_ptr<StoredFile> file, bool writing,
                                      bool unsent) {
  const std::uint64_t handle = next_handle_++;
  OpenFile& open = handles_[handle];
  open.path = path;
  open.file = std::move(file);
  open.writing = writing;
  open.unsent = unsent;
  return handle;
}

}  // namespace mirvo::cli
