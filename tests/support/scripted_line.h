// A serial line with a script at the other end, for the engine's fuzzer
// and for faults a pseudo-terminal cannot show on cue. A program that links
// mirvo_scripted_line gets this device under every port it opens, in place
// of the platform's (any path that resolves will do).
//
// Reads take the script's bytes in order; once it runs dry nothing more
// arrives, so a port whose time-outs are 0 fails at once instead of
// waiting. Writes always go through except the one chosen to fail. A purge
// keeps the script: its bytes count as not yet arrived.
#pragma once

#include <cstddef>
#include <string>

namespace mirvo::testing {

struct ScriptedLine {
  std::string incoming;  // what the other end says
  std::size_t read = 0;  // how much of it has been read
  std::string written;   // what the port sent, in order
  int writes = 0;        // write calls so far
  int fail_write = 0;    // this write call (from 1) fails; 0: none

  void Reset(std::string script, int failing_write = 0) {
    *this = ScriptedLine{};
    incoming = std::move(script);
    fail_write = failing_write;
  }
};

// The one line of the program.
ScriptedLine& TheScriptedLine();

}  // namespace mirvo::testing
