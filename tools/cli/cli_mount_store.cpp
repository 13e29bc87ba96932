#include "cli/cli_mount_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/private_folder.h"

namespace mirvo::cli {
namespace {

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

StoredFile::~StoredFile() {
  if (store) store->Remove(*this);
}

bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

MountStore::~MountStore() {
  if (!root_.IsOpen()) return;
  for (const int slot : slots_) {
    const std::string folder = std::to_string(slot);
    const UniqueFd dir(::openat(root_.Get(), folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.IsOpen()) {
      // A slot holds one file, whose name the store does not keep here.
      if (DIR* d = ::fdopendir(::dup(dir.Get()))) {
        while (const dirent* e = ::readdir(d))
          if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ::unlinkat(dir.Get(), e->d_name, 0);
        ::closedir(d);
      }
    }
    ::unlinkat(root_.Get(), folder.c_str(), AT_REMOVEDIR);
  }
  ::rmdir(path_.c_str());
}

bool MountStore::Open(const std::string& parent, std::string& why) {
  // The same checks as the window's staging: every folder on the way
  // trusted, the last the user's own and 0700.
  const std::optional<PrivateFolder> base = PrivateFolder::Open(parent, why);
  if (!base) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "mount-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    if (::mkdirat(base->Descriptor(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      why = "cannot make a folder in " + base->Path() + ": " + ErrnoText();
      return false;
    }
    root_ = UniqueFd(::openat(base->Descriptor(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root_.IsOpen()) {
      why = "cannot open " + base->Path() + "/" + name + ": " + ErrnoText();
      return false;
    }
    path_ = base->Path() + "/" + name;
    return true;
  }
  why = "no free folder name in " + base->Path();
  return false;
}

UniqueFd MountStore::NewSlot(int& slot, std::string& why) {
  std::lock_guard lock(mutex_);
  slot = next_slot_++;
  const std::string folder = std::to_string(slot);
  if (::mkdirat(root_.Get(), folder.c_str(), 0700) != 0) {
    why = "cannot make a private folder: " + ErrnoText();
    return UniqueFd();
  }
  slots_.insert(slot);
  UniqueFd dir(::openat(root_.Get(), folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.IsOpen()) why = "cannot open a private folder: " + ErrnoText();
  return dir;
}

std::shared_ptr<StoredFile> MountStore::NewFile(const std::string& name, UniqueFd& dir, std::string& why) {
  if (!IsPlainName(name)) {
    why = "not a plain file name";
    return nullptr;
  }
  auto file = std::make_shared<StoredFile>();
  dir = NewSlot(file->slot, why);
  if (file->slot >= 0) file->store = this;
  if (!dir.IsOpen()) return nullptr;
  file->name = name;
  return file;
}

std::shared_ptr<StoredFile> MountStore::Create(const std::string& name, std::string& why) {
  UniqueFd dir;
  auto file = NewFile(name, dir, why);
  if (!file) return nullptr;
  file->fd = UniqueFd(::openat(dir.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file->fd.IsOpen()) {
    why = "cannot make a private file: " + ErrnoText();
    return nullptr;
  }
  return file;
}

std::shared_ptr<StoredFile> MountStore::LinkAs(const StoredFile& from, const std::string& name, std::string& why) {
  UniqueFd dir;
  auto file = NewFile(name, dir, why);
  if (!file) return nullptr;
  const UniqueFd from_dir(
      ::openat(root_.Get(), std::to_string(from.slot).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!from_dir.IsOpen() || ::linkat(from_dir.Get(), from.name.c_str(), dir.Get(), name.c_str(), 0) != 0) {
    why = "cannot link a private file: " + ErrnoText();
    return nullptr;
  }
  file->fd = UniqueFd(::openat(dir.Get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!file->fd.IsOpen()) {
    why = "cannot open a private file: " + ErrnoText();
    return nullptr;
  }
  return file;
}

std::string MountStore::PathOf(const StoredFile& file) const {
  return path_ + "/" + std::to_string(file.slot) + "/" + file.name;
}

void MountStore::Remove(const StoredFile& file) {
  std::lock_guard lock(mutex_);
  const std::string folder = std::to_string(file.slot);
  const UniqueFd dir(::openat(root_.Get(), folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.IsOpen() && !file.name.empty()) ::unlinkat(dir.Get(), file.name.c_str(), 0);
  if (::unlinkat(root_.Get(), folder.c_str(), AT_REMOVEDIR) == 0) slots_.erase(file.slot);
}

}  // namespace mirvo::cli
