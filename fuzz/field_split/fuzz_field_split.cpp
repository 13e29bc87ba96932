// The field splitter with arbitrary text, separators, quotes and options.
// Input: options byte, separator count, quote count, the separator and quote
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
  mirvo::FieldOptions options;
  options.quotes_protect_separators = data[0] & 1;
  options.merge_separator_runs = data[0] & 2;
  options.separators.assign(p + 3, n_sep);
  options.quotes.assign(p + 3 + n_sep, n_quote);
  const std::string text(p + 3 + n_sep + n_quote, size - 3 - n_sep - n_quote);
  const std::vector<std::string> fields = mirvo::SplitFields(text, options);

  std::size_t total = 0;
  for (const auto& f : fields) total += f.size();
  FUZZ_CHECK(total <= text.size());
  FUZZ_CHECK(text.empty() == fields.empty());

  // Without quotes protecting and runs counting once, every separator
  // byte ends a field: the fields joined with them give the text back.
  if (!options.quotes_protect_separators && !options.merge_separator_runs && !text.empty()) {
    std::string joined;
    std::size_t field = 0;
    for (char c : text) {
      const bool sep =
          options.separators.find(c) != std::string::npos && options.quotes.find(c) == std::string::npos;
      if (!sep) continue;
      FUZZ_CHECK(field < fields.size());
      joined += fields[field++];
      joined += c;
    }
    FUZZ_CHECK(field + 1 == fields.size());
    joined += fields[field];
    FUZZ_CHECK(joined == text);
  }
  // FieldAt splits afresh with the default quotes and no runs.
  const int count = static_cast<int>(fields.size());
  for (int i : {-1, 0, count / 2, count - 1, count, count + 1}) {
    const std::string f = mirvo::FieldAt(text, options.separators, i);
    if (i < 0) FUZZ_CHECK(f.empty());
    if (options.quotes_protect_separators && !options.merge_separator_runs && options.quotes == "\"" && i >= 0 &&
        i < count)
      FUZZ_CHECK(f == fields[i]);
  }
  return 0;
}
