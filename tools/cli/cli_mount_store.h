// MountStore: the mount's private folder, where files read from the handset
// are kept and files written into the mount wait to be sent. It is a new
// folder below the staging folder, the user's own with mode 0700, and
// everything in it is made through its descriptor, so a path swapped
// meanwhile cannot redirect a write. Each file lives in a numbered folder
// of its own under the name it is sent by; handset names never name
// anything here. Removed with all it holds when the store goes.
//
// Thread safety: Create, LinkAs and the release of files may run from any
// thread at once. Every file must be released before the store goes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cli/local_file.h"

namespace mirvo::cli {

class MountStore;

// A file in the store; removed from it when the last holder lets go.
struct StoredFile {
  StoredFile() = default;
  ~StoredFile();
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;

  MountStore* store = nullptr;
  int slot = -1;
  std::string name;  // one path component (UTF-8)
  UniqueFd fd;       // read and write
  // The first write into it that failed (a negative errno), 0 while none
  // did: data that was not all written is never sent.
  std::atomic<int> write_error{0};
};

class MountStore {
 public:
  MountStore() = default;
  ~MountStore();
  MountStore(const MountStore&) = delete;
  MountStore& operator=(const MountStore&) = delete;

  // Makes the private folder below parent, which is opened as the window's
  // staging folder is: made 0700 when missing, narrowed to 0700 when wider,
  // refused when another user's or below a folder others may change. False
  // with why.
  bool Open(const std::string& parent, std::string& why);
  const std::string& Path() const { return path_; }

  // A new empty file called name; nullptr with why when name is not one
  // plain path component or the file cannot be made.
  std::shared_ptr<StoredFile> Create(const std::string& name, std::string& why);
  // The same data under another name (a second link).
  std::shared_ptr<StoredFile> LinkAs(const StoredFile& file, const std::string& name, std::string& why);
  // Where the file is, for the engine to send it by.
  std::string PathOf(const StoredFile& file) const;

 private:
  friend struct StoredFile;
  void Remove(const StoredFile& file);
  // A new numbered folder; its descriptor, invalid with why on failure.
  UniqueFd NewSlot(int& slot, std::string& why);
  // A file called name to be made in a new slot, whose folder dir holds.
  std::shared_ptr<StoredFile> NewFile(const std::string& name, UniqueFd& dir, std::string& why);

  std::string path_;
  UniqueFd root_;
  std::mutex mutex_;
  int next_slot_ = 0;
  std::set<int> slots_;
};

// Writes all of data at offset; false with errno set otherwise.
bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset);

}  // namespace mirvo::cli
