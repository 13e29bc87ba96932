// The commands of mirvo-cli, one file each. The Check* functions look at
// names and local files before the line is used, failing each one that
// cannot be done; the Run* functions run a command in an open session and
// return the exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_lookup.h"
#include "cli/cli_session.h"

namespace mirvo::cli {

int RunPorts(Run& run);
int RunList(Run& run, Session& s, const std::optional<std::string>& pattern);

// The names to fetch, checked before the line is used.
std::vector<Wanted> CheckGetNames(Run& run, const std::vector<std::string>& names);
int RunGet(Run& run, Session& s, const std::vector<Wanted>& names, const std::string& dir);

std::vector<std::string> CheckPutFiles(Run& run, const std::vector<std::string>& files);
int RunPut(Run& run, Session& s, const std::vector<std::string>& files, const std::string& prefix);

std::vector<Wanted> CheckDelNames(Run& run, const std::vector<std::string>& names);
int RunDel(Run& run, Session& s, const std::vector<Wanted>& names);

int RunBackup(Run& run, Session& s, const std::string& dir);

}  // namespace mirvo::cli
