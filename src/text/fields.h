// Splitting a text into lines, and a line into fields at separator bytes,
// with quotes that can protect separators.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

// Lines ended by CR LF, LF or CR, without their ends; a last line without
// an end counts too.
std::vector<std::string> SplitLines(std::string_view text);

// Separators and quotes are compared byte by byte, also inside double-byte
// characters. A byte in both sets is a quote.
struct FieldOptions {
  std::string separators = ",";  // each byte is a separator by itself
  std::string quotes = "\"";     // quote bytes; they stay in the fields
  bool quotes_protect_separators = true;
  bool merge_separator_runs = false;  // a run of separators counts as one
};

// An empty text gives no fields; a separator at the very end adds an empty
// last field.
std::vector<std::string> SplitFields(std::string_view text, const FieldOptions& options = {});

// Field index (from 0) of text split at any byte of separators with the
// other options as default; empty when there is no such field.
std::string FieldAt(std::string_view text, std::string_view separators, int index);

}  // namespace mirvo
