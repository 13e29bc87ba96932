// mirvo-cli mount and unmount: the handset as a folder. mount serves the
// handset's files at a folder until it is unmounted (by unmount, by
// fusermount3 -u, or by Ctrl+C when in the foreground), then ends the
// session with FT_END and closes the port.
#pragma once

#include <ostream>

#include "cli/cli.h"
#include "cli/cli_args.h"

namespace mirvo::cli {

// Without --foreground the run goes to the background once the folder is
// mounted; the command's exit status says whether it was. Must be called
// before the run starts any thread, since it forks.
int RunMount(const CliArgs& args, std::ostream& out, std::ostream& err, const CliOptions& options);

int RunUnmount(const CliArgs& args, std::ostream& err);

}  // namespace mirvo::cli
