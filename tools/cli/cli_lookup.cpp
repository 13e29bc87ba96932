#include "cli/cli_lookup.h"

#include "text/cp932.h"

namespace mirvo::cli {

std::vector<ListEntry> ParseListEntries(const std::vector<std::string>& lines, CliRun* report) {
  std::vector<ListEntry> entries;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    ListEntry entry;
    if (ParseListLine(line, entry.item) != 0) {
      if (report) report->Fail("list", "unreadable list line: " + ShowText(line));
      continue;
    }
    entry.name = text::Cp932ToUtf8(entry.item.name);
    entry.tagged = text::Cp932ToUtf8(entry.item.tag + entry.item.folder + entry.item.name);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::string> ListedPath(const std::vector<ListEntry>& entries, const std::string& wanted,
                                      std::string& why) {
  for (const ListEntry& entry : entries)
    if (entry.tagged && *entry.tagged == wanted) return entry.item.tag + entry.item.folder + entry.item.name;
  const ListEntry* found = nullptr;
  for (const ListEntry& entry : entries) {
    if (!entry.name || *entry.name != wanted) continue;
    if (found) {
      why = "more than one handset file has that name; give it with its tag (\"#...#\" + name)";
      return std::nullopt;
    }
    found = &entry;
  }
  if (found) return found->item.tag + found->item.folder + found->item.name;
  return std::nullopt;
}

std::string_view WithoutTag(std::string_view path) {
  if (path.size() > 1 && path[0] == '#') {
    if (const std::size_t end = path.find('#', 1); end != std::string_view::npos) path.remove_prefix(end + 1);
  }
  return path;
}

}  // namespace mirvo::cli
