#include "protocol/handset_listing.h"

#include <algorithm>
#include <cctype>

#include "text/cp932.h"

namespace mirvo {

ListingSnapshot HandsetListing::FromLines(const std::vector<std::string>& lines) {
  auto listing = std::make_shared<HandsetListing>();
  listing->files_.reserve(lines.size());
  for (const std::string& line : lines) {
    HandsetFile file;
    ParseListLine(line, file.record);
    file.line = line;
    listing->files_.push_back(std::move(file));
  }
  return listing;
}

ListingSnapshot HandsetListing::Empty() { return std::make_shared<const HandsetListing>(); }

ListingSnapshot HandsetListing::With(HandsetFile file) const {
  auto copy = std::make_shared<HandsetListing>(*this);
  copy->files_.push_back(std::move(file));
  return copy;
}

ListingSnapshot HandsetListing::Without(std::string_view tag, std::string_view name) const {
  auto copy = std::make_shared<HandsetListing>(*this);
  auto& files = copy->files_;
  const auto it = std::find_if(files.begin(), files.end(), [&](const HandsetFile& f) {
    return f.record.tag == tag && SameHandsetName(f.record.name, name);
  });
  if (it != files.end()) files.erase(it);
  return copy;
}

HandsetFile SentFile(const std::string& folder, const std::string& name, std::int64_t size,
                     const std::string& attributes) {
  HandsetFile file;
  file.record.name = folder + name;
  file.record.size = static_cast<std::int32_t>(std::clamp<std::int64_t>(size, 0, INT32_MAX));
  file.record.attributes = attributes;
  file.line = MakeListLine({}, file.record.name, size, {}, attributes);
  while (!file.line.empty() && (file.line.back() == '\n' || file.line.back() == '\r')) file.line.pop_back();
  return file;
}

// The second byte of a double-byte character is no letter.
bool SameHandsetName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size();) {
    const std::size_t n = text::CharLength(a, i);
    if (n == 1) {
      const int ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
      const bool ascii = ca < 0x80 && cb < 0x80;
      if (ascii ? std::tolower(ca) != std::tolower(cb) : ca != cb) return false;
    } else if (a.compare(i, n, b, i, n) != 0) {
      return false;
    }
    i += n;
  }
  return true;
}

}  // namespace mirvo
