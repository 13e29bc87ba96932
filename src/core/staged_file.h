// StagedFile: a copy being written into a private folder. Its bytes go to a
// hidden temporary file beside the final name; Commit puts them on disk and
// only then renames the temporary file over the final name, so the copy is
// there whole or not at all. Dropped without a successful Commit, it leaves
// nothing behind.
#pragma once

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/private_folder.h"
#include "core/unique_fd.h"

namespace mirvo {

// The calls that put a copy's bytes on disk; tests put in ones that fail.
struct DiskCalls {
  ssize_t (*write)(int, const void*, size_t) = ::write;
  int (*fsync)(int) = ::fsync;
};

class StagedFile {
 public:
  // relative: "/"-separated below the folder (see SafeRelativeParts); its
  // folders are made as PrivateFolder::OpenParentOf makes them.
  static std::optional<StagedFile> Create(const PrivateFolder& folder, std::string_view relative, std::string& why,
                                          DiskCalls calls = {});
  ~StagedFile() { Discard(); }
  StagedFile(StagedFile&&) noexcept = default;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  bool Write(std::string_view data, std::string& why);
  // modified, when given, becomes the copy's modification time.
  bool Commit(const std::optional<timespec>& modified, std::string& why);

 private:
  StagedFile(UniqueFd dir, UniqueFd file, std::string temp_name, std::string name, std::string shown, DiskCalls calls)
      : dir_(std::move(dir)),
        file_(std::move(file)),
        temp_name_(std::move(temp_name)),
        name_(std::move(name)),
        shown_(std::move(shown)),
        calls_(calls) {}
  bool Fail(const char* what, int error, std::string& why);
  void Discard();

  UniqueFd dir_;
  UniqueFd file_;
  std::string temp_name_;  // empty once renamed or removed
  std::string name_;
  std::string shown_;  // the final path, for messages
  DiskCalls calls_;
};

// A hidden file name that starts with prefix and ends in random letters,
// for a temporary file made with O_EXCL beside its final name.
std::string TemporaryName(std::string_view prefix);

// A whole copy in one go; between_chunks, when given, runs after each MiB.
bool WriteStagedCopy(const PrivateFolder& folder, std::string_view relative, std::string_view data,
                     const std::optional<timespec>& modified, std::string& why,
                     const std::function<void()>& between_chunks = {}, DiskCalls calls = {});

}  // namespace mirvo
