#include "text/fields.h"

#include <array>

namespace mirvo {

void TCSV::Split() {
  items.clear();
  if (Text.empty()) return;
  std::array<bool, 256> quote{}, sep{};
  for (unsigned char c : stokns) quote[c] = true;
  // A byte in both sets is a quote: quotes are tested first.
  for (unsigned char c : tokns) sep[c] = !quote[c];

  const std::size_t n = Text.size();
  std::size_t start = 0;
  bool in_quotes = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (quote[c]) {
      if (strflg) in_quotes = !in_quotes;
      continue;
    }
    if (!sep[c] || (strflg && in_quotes)) continue;
    items.emplace_back(Text, start, i - start);
    if (blockflg) {
      while (i + 1 < n && sep[static_cast<unsigned char>(Text[i + 1])]) ++i;
    }
    start = i + 1;
    if (start == n) items.emplace_back();
  }
  if (start < n) items.emplace_back(Text, start, n - start);
}

std::string CsvField(std::string_view text, std::string_view separators, int index) {
  if (index < 0) return {};
  TCSV csv;
  csv.Text = text;
  csv.tokns = separators;
  csv.Split();
  return static_cast<std::size_t>(index) < csv.items.size() ? csv.items[static_cast<std::size_t>(index)]
                                                            : std::string{};
}

}  // namespace mirvo
