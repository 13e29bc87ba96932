// HandsetListing: the handset's files as one session last knew them, each
// list line parsed once. A listing never changes once published: the
// session hands out shared snapshots, and an upload or a delete publishes
// an edited copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/list_records.h"

namespace mirvo {

struct HandsetFile {
  ListRecord record;
  // The line as the handset sent it (or as a sent file's line is made):
  // what tells two entries apart.
  std::string line;
  // The handset path a command names: tag, folder and name.
  std::string Path() const { return record.tag + record.folder + record.name; }
  std::int64_t Size() const { return record.size; }
  friend bool operator==(const HandsetFile& a, const HandsetFile& b) { return a.line == b.line; }
};

class HandsetListing;
using ListingSnapshot = std::shared_ptr<const HandsetListing>;

class HandsetListing {
 public:
  // Each line parsed; a partly readable line keeps what was read.
  static ListingSnapshot FromLines(const std::vector<std::string>& lines);
  static ListingSnapshot Empty();

  const std::vector<HandsetFile>& Files() const { return files_; }
  std::size_t Size() const { return files_.size(); }
  friend bool operator==(const HandsetListing& a, const HandsetListing& b) { return a.files_ == b.files_; }

  // A copy with file appended.
  ListingSnapshot With(HandsetFile file) const;
  // A copy without the first entry of tag ("#...#", or empty) whose name
  // equals name, ignoring ASCII case as the handset does.
  ListingSnapshot Without(std::string_view tag, std::string_view name) const;

 private:
  std::vector<HandsetFile> files_;
};

// The entry of a file just sent into folder (code page 932, "\" after each
// part), as the handset will list it.
HandsetFile SentFile(const std::string& folder, const std::string& name, std::int64_t size,
                     const std::string& attributes);

// Whether two handset names are one file to the handset (ASCII case ignored).
bool SameHandsetName(std::string_view a, std::string_view b);

}  // namespace mirvo
