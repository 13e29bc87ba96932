#include "cli/cli_lookup.h"

#include "text/cp932.h"

namespace mirvo::cli {

std::vector<Entry> ParseEntries(const std::vector<std::string>& lines, Run* report) {
  std::vector<Entry> entries;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    Entry e;
    if (ParseListLine(line, e.item) != 0) {
      if (report) report->Fail("list", "unreadable list line: " + ShowText(line));
      continue;
    }
    e.name = text::Cp932ToUtf8(e.item.name);
    e.tagged = text::Cp932ToUtf8(e.item.tag + e.item.folder + e.item.name);
    entries.push_back(std::move(e));
  }
  return entries;
}

std::optional<std::string> ListedPath(const std::vector<Entry>& entries, const std::string& wanted, std::string& why) {
  for (const Entry& e : entries)
    if (e.tagged && *e.tagged == wanted) return e.item.tag + e.item.folder + e.item.name;
  const Entry* found = nullptr;
  for (const Entry& e : entries) {
    if (!e.name || *e.name != wanted) continue;
    if (found) {
      why = "more than one handset file has that name; give it with its tag (\"#...#\" + name)";
      return std::nullopt;
    }
    found = &e;
  }
  if (found) return found->item.tag + found->item.folder + found->item.name;
  return std::nullopt;
}

std::string_view Untagged(std::string_view path) {
  if (path.size() > 1 && path[0] == '#') {
    if (const std::size_t end = path.find('#', 1); end != std::string_view::npos) path.remove_prefix(end + 1);
  }
  return path;
}

}  // namespace mirvo::cli
