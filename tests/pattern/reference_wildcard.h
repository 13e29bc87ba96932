// The matching algorithm written out plainly, step by step, with no
// remembered trials and no shortcuts: the yardstick for the engine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirvo::reference {

enum class Error { None, BackslashInClass, WildcardAfterRepeat, TooLong };

struct Outcome {
  Error error = Error::None;
  bool result = false;
  std::string rest;  // prefix mode: the subject afterwards
  std::vector<std::string> captures;
};

// max_steps bounds the work (the plain algorithm is exponential in the
// number of "*"); beyond it the outcome is Error::TooLong.
Outcome WildcardMatch(std::string_view pattern, std::string_view subject, bool whole,
                      long max_steps = 200000);

}  // namespace mirvo::reference
