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
  FUZZ_CHECK(item.folder.empty());
  FUZZ_CHECK(item.tag.empty() || (item.tag.size() >= 2 && item.tag.front() == '#' && item.tag.back() == '#'));
  if (rc != 0) {
    FUZZ_CHECK(item.size == 0 && item.date.empty() && item.attributes.empty());
    return 0;
  }
  // Fields free of separators, quotes and the bytes the parser rewrites
  // come back unchanged from a line built of them.
  const bool plain = item.tag.find('\xA5') == std::string::npos;
  for (const std::string* f : {&item.name, &item.date, &item.attributes}) {
    if (f->find_first_of(",\"\xA5\\") != std::string::npos) return 0;
  }
  if (!plain || item.tag == "##" || item.name.empty() || item.name[0] == '#') return 0;
  const std::string tag = item.tag.empty() ? "" : item.tag.substr(1, item.tag.size() - 2);
  if (tag.find('#') != std::string::npos) return 0;
  mirvo::ListRecord again;
  const std::string line_again = mirvo::MakeListLine(tag, item.name, item.size, item.date, item.attributes);
  FUZZ_CHECK(mirvo::ParseListLine(line_again, again) == 0);
  FUZZ_CHECK(again.tag == item.tag && again.name == item.name && again.size == item.size &&
             again.date == item.date && again.attributes == item.attributes);
  return 0;
}
