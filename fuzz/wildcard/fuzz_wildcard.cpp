// Pattern and subject both arbitrary: the input up to its first byte 0x00
// is the pattern, the rest the subject. Only the engine's two errors may
// come out, and the name matcher must agree with the whole-mode match.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "pattern/wildcard.h"

namespace {

struct Outcome {
  bool result = false;
  int error = -1;  // -1 none, else the WildcardError kind
};

template <class F>
Outcome Catching(F&& f) {
  Outcome o;
  try {
    o.result = f();
  } catch (const mirvo::WildcardError& e) {
    o.error = static_cast<int>(e.Kind());
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');
  const std::string_view pattern = input.substr(0, cut);
  const std::string_view name = cut == std::string_view::npos ? std::string_view{} : input.substr(cut + 1);

  const Outcome by_name = Catching([&] { return mirvo::MatchFileName(name, pattern); });
  std::vector<std::string> captures;
  const Outcome whole = Catching([&] {
    std::string subject(name);
    return mirvo::WildcardMatch(pattern, subject, &captures, true);
  });
  FUZZ_CHECK(by_name.error == whole.error);
  FUZZ_CHECK(by_name.result == whole.result);

  std::string rest(name);
  const Outcome prefix = Catching([&] { return mirvo::WildcardMatch(pattern, rest, &captures, false); });
  if (prefix.error < 0) {
    // The rest is rebuilt from elements: never longer than "[...]" per byte.
    FUZZ_CHECK(rest.size() <= 5 * name.size());
  }
  return 0;
}
