// A folder of the user's choosing that fetched copies are saved into.
// Unlike the staging folder it is not ours: its mode is left alone, and
// nothing is written outside it. Each copy goes to a hidden temporary file
// in the folder it lands in and is renamed over its name only when whole,
// so a failure leaves neither a partial file nor a lost original.
// Plain C++: no Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/staged_file.h"  // DiskCalls
#include "core/unique_fd.h"

namespace mirvo::app {

class SaveFolder {
 public:
  // Opens path (links in it followed: the user chose it); held open so that
  // every copy goes through the folder itself.
  static std::optional<SaveFolder> Open(const std::string& path, std::string& why);

  const std::string& Path() const { return path_; }

  // Whether something (file, folder, link) has the name relative below the
  // folder ("/" between parts, as SafeRelativeParts takes it).
  bool Holds(std::string_view relative) const;

  // Copies the file at source to relative, making missing folders on the
  // way; a folder part that is a link or no folder is refused. An existing
  // file is replaced only when replace says so. False with a reason (UTF-8).
  bool Copy(const std::string& source, std::string_view relative, bool replace, std::string& why,
            DiskCalls calls = {}) const;

 private:
  SaveFolder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  // The folder that holds relative's last part; made when make is set.
  std::optional<UniqueFd> ParentOf(std::string_view relative, bool make, std::string& why) const;

  UniqueFd fd_;
  std::string path_;
};

}  // namespace mirvo::app
