// TCSV: splitting a text into separated fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

// Splits Text at any byte of tokns into items. Separators and quotes are
// compared byte by byte, also inside double-byte characters. Quote bytes
// stay in the fields.
class TCSV {
 public:
  std::string Text;
  std::string tokns = ",";    // each byte is a separator by itself
  std::string stokns = "\"";  // quote bytes
  bool strflg = true;         // quotes protect separators
  std::vector<std::string> items;
  bool blockflg = false;      // a run of separators counts as one

  // An empty Text gives no fields; a separator at the very end adds an
  // empty last field.
  void Split();
};

// Field index (from 0) of text split at any byte of separators with the
// other defaults; empty when there is no such field.
std::string CsvField(std::string_view text, std::string_view separators, int index);

}  // namespace mirvo
