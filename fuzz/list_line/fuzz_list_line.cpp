// A handset list line of any bytes: parsed without harm, and what parses
// is built back into a line that parses the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/list_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  mirvo::ListRecord item;
  const int rc = mirvo::ParseListLine(line, item);
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK(item.Folder.empty());
  FUZZ_CHECK(item.Tag.empty() || (item.Tag.size() >= 2 && item.Tag.front() == '#' && item.Tag.back() == '#'));
  if (rc != 0) {
    FUZZ_CHECK(item.Size == 0 && item.Date.empty() && item.Attr.empty());
    return 0;
  }
  // Fields free of separators, quotes and the bytes the parser rewrites
  // come back unchanged from a line built of them.
  const bool plain = item.Tag.find('\xA5') == std::string::npos;
  for (const std::string* f : {&item.Name, &item.Date, &item.Attr}) {
    if (f->find_first_of(",\"\xA5\\") != std::string::npos) return 0;
  }
  if (!plain || item.Tag == "##" || item.Name.empty() || item.Name[0] == '#') return 0;
  const std::string tag = item.Tag.empty() ? "" : item.Tag.substr(1, item.Tag.size() - 2);
  if (tag.find('#') != std::string::npos) return 0;
  mirvo::ListRecord again;
  FUZZ_CHECK(mirvo::ParseListLine(mirvo::MakeListLine(tag, item.Name, item.Size, item.Date, item.Attr), again) == 0);
  FUZZ_CHECK(again.Tag == item.Tag && again.Name == item.Name && again.Size == item.Size &&
             again.Date == item.Date && again.Attr == item.Attr);
  return 0;
}
