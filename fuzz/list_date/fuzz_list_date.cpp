// List dates of any bytes: nothing, or a date that exists between the years
// 1 and 9999.
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/list_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto date = mirvo::ParseListDate(text);
  if (date) {
    FUZZ_CHECK(size == 15);
    FUZZ_CHECK(date->year >= 1 && date->year <= 9999);
    FUZZ_CHECK(date->month >= 1 && date->month <= 12);
    FUZZ_CHECK(date->day >= 1 && date->day <= 31);
    FUZZ_CHECK(date->hour >= 0 && date->hour <= 23);
    FUZZ_CHECK(date->minute >= 0 && date->minute <= 59);
  }
  return 0;
}
