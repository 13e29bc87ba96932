// Where fetched handset files are kept on this machine, and how a copy is
// written there. Plain C++: no Qt.
//
// After a cut the staged copy is the only one left, so the folder is private
// to the user, survives reboots, and a copy is either written whole or not
// at all.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/paths.h"  // StagingDirPath

namespace mirvo::app {

// Creates dir and its missing parents (new folders mode 0700). False with a
// reason (UTF-8) when dir is a link, not a folder, or belongs to another user.
bool PreparePrivateDir(const std::string& dir, std::string& why);

// The local path for a handset name (code page 932, "\" between folders)
// below dir (ending in "/"); nullopt for a name that is empty or absolute,
// has an empty, "." or ".." part, a NUL or "/", or a part with no UTF-8 form.
std::optional<std::string> StagedPath(const std::string& dir, std::string_view handset_name);

// The last part of a handset name (code page 932).
std::string_view BareHandsetName(std::string_view handset_name);

// Writes data to path through a temporary file in the same folder, then
// renames it over path: a failure leaves neither a partial file nor a
// damaged older copy. Folders between dir and path are created (0700) and
// must not be links. date: the list line's "yyyy/mm/dd/hhmm" (local time),
// set as the file's modification time when valid. between_chunks, when
// given, runs after each MiB written. False with a reason.
bool WriteStagedFile(const std::string& dir, const std::string& path, std::string_view data,
                     std::string_view date, std::string& why, const std::function<void()>& between_chunks = {});

}  // namespace mirvo::app
