// List dates of any bytes: -1 or a date-time between the years 1 and 9999.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/list_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const double v = mirvo::ListDateToDateTime(text);
  FUZZ_CHECK(std::isfinite(v));
  if (v != -1) {
    FUZZ_CHECK(size == 15);
    FUZZ_CHECK(v >= -693593.0 && v < 2958466.0);  // 0001-01-01 .. 9999-12-31 23:59
  }
  return 0;
}
