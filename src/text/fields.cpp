#include "text/fields.h"

#include <array>

namespace mirvo {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::vector<std::string> SplitFields(std::string_view text, const FieldOptions& options) {
  std::vector<std::string> fields;
  if (text.empty()) return fields;
  std::array<bool, 256> quote{}, separator{};
  for (unsigned char c : options.quotes) quote[c] = true;
  // Quotes are tested first.
  for (unsigned char c : options.separators) separator[c] = !quote[c];

  const std::size_t n = text.size();
  std::size_t start = 0;
  bool in_quotes = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (quote[c]) {
      if (options.quotes_protect_separators) in_quotes = !in_quotes;
      continue;
    }
    if (!separator[c] || (options.quotes_protect_separators && in_quotes)) continue;
    fields.emplace_back(text.substr(start, i - start));
    if (options.merge_separator_runs) {
      while (i + 1 < n && separator[static_cast<unsigned char>(text[i + 1])]) ++i;
    }
    start = i + 1;
    if (start == n) fields.emplace_back();
  }
  if (start < n) fields.emplace_back(text.substr(start, n - start));
  return fields;
}

std::string FieldAt(std::string_view text, std::string_view separators, int index) {
  if (index < 0) return {};
  FieldOptions options;
  options.separators = separators;
  std::vector<std::string> fields = SplitFields(text, options);
  return static_cast<std::size_t>(index) < fields.size() ? std::move(fields[static_cast<std::size_t>(index)])
                                                         : std::string{};
}

}  // namespace mirvo
