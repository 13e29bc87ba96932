// The field splitter with arbitrary text, separators, quotes and flags.
// Input: flags byte, separator count, quote count, the separator and quote
// bytes, then the text.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "text/fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const char* p = reinterpret_cast<const char*>(data);
  const std::size_t n_sep = data[1] % 4, n_quote = data[2] % 3;
  if (size < 3 + n_sep + n_quote) return 0;
  mirvo::TCSV csv;
  csv.strflg = data[0] & 1;
  csv.blockflg = data[0] & 2;
  csv.tokns.assign(p + 3, n_sep);
  csv.stokns.assign(p + 3 + n_sep, n_quote);
  csv.Text.assign(p + 3 + n_sep + n_quote, size - 3 - n_sep - n_quote);
  csv.Split();

  std::size_t total = 0;
  for (const auto& f : csv.items) total += f.size();
  FUZZ_CHECK(total <= csv.Text.size());
  FUZZ_CHECK(csv.Text.empty() == csv.items.empty());

  // Without quotes protecting and runs counting once, every separator
  // byte ends a field: the fields joined with them give the text back.
  if (!csv.strflg && !csv.blockflg && !csv.Text.empty()) {
    std::string joined;
    std::size_t field = 0;
    for (char c : csv.Text) {
      const bool sep = csv.tokns.find(c) != std::string::npos && csv.stokns.find(c) == std::string::npos;
      if (!sep) continue;
      FUZZ_CHECK(field < csv.items.size());
      joined += csv.items[field++];
      joined += c;
    }
    FUZZ_CHECK(field + 1 == csv.items.size());
    joined += csv.items[field];
    FUZZ_CHECK(joined == csv.Text);
  }
  // CsvField is a fresh splitter with the default quotes and no runs.
  const int count = static_cast<int>(csv.items.size());
  for (int i : {-1, 0, count / 2, count - 1, count, count + 1}) {
    const std::string f = mirvo::CsvField(csv.Text, csv.tokns, i);
    if (i < 0) FUZZ_CHECK(f.empty());
    if (csv.strflg && !csv.blockflg && csv.stokns == "\"" && i >= 0 && i < count) FUZZ_CHECK(f == csv.items[i]);
  }
  return 0;
}
