// What a command of the window comes to at once. A command that gives the
// session's worker a job returns before the job ends; its end is signalled.
#pragma once

namespace mirvo::app {

enum class CommandResult {
  kStarted,  // done, or its job is under way
  kRefused,  // nothing to act on, a job under way, no session, or the user cancelled
};

}  // namespace mirvo::app
