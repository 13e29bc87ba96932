// MountTree: the handset's file list as the folder tree the mount shows.
// Folders come from the list's folder parts; a tagged file sits under a
// top-level folder named after its tag with both "#" ("#tag#"), a name no
// handset folder can have, since a list line that starts with "#...#"
// always reads as a tag. Names are UTF-8; a line whose name cannot be shown
// safely (an empty, "." or ".." part, "/" or a control character, no UTF-8
// form, or a clash with an earlier entry) is left out and counted.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace mirvo::cli {

struct MountNode {
  bool is_folder = false;
  // A file: the handset path for GET_FILE and DEL (tag, then folders with
  // "\" between them). A folder: the prefix a file sent into it gets ("" for
  // the top, else ending in "\"). Code page 932.
  std::string handset_path;
  std::int64_t size = 0;
  std::string date;       // the list's date as it came; empty when none
  std::time_t mtime = 0;  // from the date, else the time given at Build
  bool is_protected = false;
  bool copy_guarded = false;
};

MountNode FolderNode(std::string prefix, std::time_t mtime);
MountNode FileNode(std::string handset_path, std::int64_t size, std::time_t mtime);

class MountTree {
 public:
  // Paths here are the mount's: "/" for the top, else "/a/b".
  void Build(const std::vector<std::string>& lines, std::time_t undated);

  const MountNode* Find(const std::string& path) const;
  // Direct children of a folder, by name.
  std::vector<std::pair<std::string, const MountNode*>> Children(const std::string& folder) const;
  bool HasChildren(const std::string& folder) const;
  // Adds or replaces an entry; its parent must be a folder here.
  void Put(const std::string& path, MountNode node);
  void Remove(const std::string& path);
  std::size_t FileCount() const;
  int Skipped() const { return skipped_; }

 private:
  // Adds a file and any folders above it; false when it clashes.
  bool AddFile(const std::vector<std::string>& parts, const std::string& tag, MountNode node);

  std::map<std::string, MountNode> nodes_;
  std::time_t undated_ = 0;
  int skipped_ = 0;
};

// The parent folder of a mount path ("/" for a top-level entry) and the
// last part.
std::string ParentOf(const std::string& path);
std::string LastPartOf(const std::string& path);

}  // namespace mirvo::cli
