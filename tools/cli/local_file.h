// Writing fetched files into an output folder so that a failure leaves
// nothing behind and nothing lands outside the folder.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/unique_fd.h"

namespace mirvo::cli {

// Creates dir with its missing parents. False with why when that fails,
// dir is no folder or no file can be made in it.
bool MakeOutputDir(const std::string& dir, std::string& why);

// The folder, held open so that what is written lands in it even if its
// path changes meanwhile. Invalid with why when it cannot be opened.
UniqueFd OpenFolder(const std::string& dir, std::string& why);

// The folder parts below dir_fd, each made when missing. A part that is a
// symbolic link or no folder is refused, so nothing leaves dir_fd.
UniqueFd OpenSubFolders(int dir_fd, const std::vector<std::string>& parts, std::string& why);

// Writes data to name in the folder: into a new temporary file there,
// flushed to disk, then renamed over name; with mtime, the file gets that
// modification time. name must be one path component (no "/"). On failure
// the temporary file is removed and an existing file of that name is left
// as it was.
bool WriteFileAt(int dir_fd, const std::string& name, std::string_view data, std::optional<std::time_t> mtime,
                 std::string& why);
bool WriteFileInDir(const std::string& dir, const std::string& name, std::string_view data, std::string& why);

// Size and modification time of a regular file (not a link) in the folder.
struct LocalFileInfo {
  long long size = 0;
  std::time_t mtime = 0;
};
std::optional<LocalFileInfo> FileInfoAt(int dir_fd, const std::string& name);

}  // namespace mirvo::cli
