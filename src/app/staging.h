// Where fetched handset files are kept on this machine: the local name of
// each handset file in the staging folder, and one download run's hold on
// that folder. Plain C++: no Qt.
//
// After a cut the staged copy is the only one left, so the folder is
// private to the user (core/private_folder.h), survives reboots, and a copy
// is written whole or not at all (core/staged_file.h).
#pragma once

#include <time.h>

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/paths.h"  // StagingDirPath
#include "core/private_folder.h"

namespace mirvo {
struct ListRecord;
}  // namespace mirvo

namespace mirvo::app {

// The path of a handset file below the staging folder, "/" between parts.
// A tagged file goes into a folder named as its tag with both "#"
// ("#A#/x.txt"): no untagged name can start so, since the first "#...#" of
// a list line is always its tag. The name's folder parts become folders.
// nullopt for a name or tag that text::CheckLocalPath refuses (mirvo-cli's
// rule): an empty, "." or ".." part, "/", a control character, or no UTF-8
// form.
std::optional<std::string> StagedRelativePath(const ListRecord& item);

// The last part of a handset name (code page 932).
std::string_view BareHandsetName(std::string_view handset_name);

// A list line's "yyyy/mm/dd/hhmm" as a local time; nullopt when it cannot
// be read or lies before 1899/12/30.
std::optional<timespec> ListDateTime(std::string_view date);

// Writes data to path, which must lie inside dir (compared part by part),
// through the private folder dir. date: as ListDateTime. False with a
// reason (UTF-8).
bool WriteStagedFile(const std::string& dir, const std::string& path, std::string_view data,
                     std::string_view date, std::string& why, const std::function<void()>& between_chunks = {});

// One download run's hold on the staging folder: opened once, so that a
// folder swapped during the run cannot redirect a copy, and the copies
// written, so that two handset files never count as fetched into one.
// Write may run on another thread than Target (a run's copies are written
// while the next file comes); Open only while no Write runs.
class StagingRun {
 public:
  bool Open(const std::string& dir, std::string& why);
  const std::string& FolderPath() const { return folder_->Path(); }

  // Where item's copy goes, relative to the folder; nullopt with a reason
  // when the name has no local form or a copy of this run is there already.
  std::optional<std::string> Target(const ListRecord& item, std::string& why) const;
  bool Write(const std::string& relative, std::string_view data, std::string_view date, std::string& why,
             const std::function<void()>& between_chunks = {});

 private:
  std::optional<PrivateFolder> folder_;
  mutable std::mutex mutex_;  // over written_
  std::set<std::string> written_;
};

}  // namespace mirvo::app
