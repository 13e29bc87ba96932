// Writing a fetched file into the output folder so that a failure leaves
// nothing behind and nothing lands outside the folder.
#pragma once

#include <string>
#include <string_view>

namespace mirvo::cli {

// Creates dir with its missing parents. False with why when that fails or
// dir is no folder.
bool MakeOutputDir(const std::string& dir, std::string& why);

// Writes data to dir/name: into a new temporary file in dir, flushed to
// disk, then renamed over name. name must be one path component (no "/").
// On failure the temporary file is removed and an existing dir/name is left
// as it was.
bool WriteFileInDir(const std::string& dir, const std::string& name, std::string_view data, std::string& why);

}  // namespace mirvo::cli
