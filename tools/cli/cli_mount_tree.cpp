#include "cli/cli_mount_tree.h"

#include "cli/cli_format.h"
#include "protocol/list_records.h"
#include "text/cp932.h"

namespace mirvo::cli {

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string LastPartOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

MountNode FolderNode(std::string prefix, std::time_t mtime) {
  MountNode node;
  node.is_folder = true;
  node.handset_path = std::move(prefix);
  node.mtime = mtime;
  return node;
}

MountNode FileNode(std::string handset_path, std::int64_t size, std::time_t mtime) {
  MountNode node;
  node.handset_path = std::move(handset_path);
  node.size = size;
  node.mtime = mtime;
  return node;
}

void MountTree::Build(const std::vector<std::string>& lines, std::time_t undated) {
  nodes_.clear();
  skipped_ = 0;
  undated_ = undated;
  nodes_["/"] = FolderNode("", undated);
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    ListRecord item;
    std::string why;
    if (ParseListLine(line, item) != 0) {
      ++skipped_;
      continue;
    }
    auto parts = LocalPathFor(item.name, why);
    if (!parts) {
      ++skipped_;
      continue;
    }
    if (!item.tag.empty()) {
      const auto tag = LocalPathFor(item.tag, why);
      if (!tag || tag->size() != 1) {
        ++skipped_;
        continue;
      }
      parts->insert(parts->begin(), tag->front());
    }
    MountNode node;
    node.handset_path = item.tag + item.name;
    node.size = item.size < 0 ? 0 : item.size;
    node.date = item.date;
    node.mtime = HandsetDateTime(item.date).value_or(undated);
    node.is_protected = FlagAt(item.attributes, kProtectionFlag) == kFlagOn;
    node.copy_guarded = FlagAt(item.attributes, kCopyGuardFlag) == kFlagOn;
    if (!AddFile(*parts, item.tag, std::move(node))) ++skipped_;
  }
}

bool MountTree::AddFile(const std::vector<std::string>& parts, const std::string& tag, MountNode node) {
  // The handset's own bytes of each folder part, split as LocalPathFor
  // splits them, so a prefix keeps what the handset sent.
  const std::string_view name = std::string_view(node.handset_path).substr(tag.size());
  std::vector<std::string> raw;
  std::size_t start = 0;
  text::ForEachChar(name, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && name[pos] == '\\') {
      raw.emplace_back(name.substr(start, pos - start));
      start = pos + 1;
    }
  });
  std::string path;
  std::string prefix = tag;
  const std::size_t first_folder = tag.empty() ? 0 : 1;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    path += "/" + parts[i];
    if (i >= first_folder) prefix += raw[i - first_folder] + "\\";
    const auto it = nodes_.try_emplace(path, FolderNode(prefix, undated_)).first;
    if (!it->second.is_folder) return false;
  }
  path += "/" + parts.back();
  return nodes_.try_emplace(path, std::move(node)).second;
}

const MountNode* MountTree::Find(const std::string& path) const {
  const auto it = nodes_.find(path);
  return it == nodes_.end() ? nullptr : &it->second;
}

std::vector<std::pair<std::string, const MountNode*>> MountTree::Children(const std::string& folder) const {
  std::vector<std::pair<std::string, const MountNode*>> children;
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix); ++it) {
    if (it->first.size() > prefix.size() && it->first.find('/', prefix.size()) == std::string::npos)
      children.emplace_back(it->first.substr(prefix.size()), &it->second);
  }
  return children;
}

bool MountTree::HasChildren(const std::string& folder) const {
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  const auto it = nodes_.upper_bound(prefix);
  return it != nodes_.end() && it->first.starts_with(prefix);
}

void MountTree::Put(const std::string& path, MountNode node) { nodes_[path] = std::move(node); }

void MountTree::Remove(const std::string& path) { nodes_.erase(path); }

std::size_t MountTree::FileCount() const {
  std::size_t n = 0;
  for (const auto& [path, node] : nodes_) n += node.is_folder ? 0 : 1;
  return n;
}

}  // namespace mirvo::cli
