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

int RunPorts(CliRun& run);
int RunList(CliRun& run, Session& session, const std::optional<std::string>& pattern);

// The names to fetch, checked before the line is used.
std::vector<RequestedFile> CheckGetNames(CliRun& run, const std::vector<std::string>& names);
int RunGet(CliRun& run, Session& session, const std::vector<RequestedFile>& names, const std::string& dir);

// prefix: the handset folder (see HandsetFolderFor) the files go into.
std::vector<std::string> CheckPutFiles(CliRun& run, const std::vector<std::string>& files, const std::string& prefix);
// no_clobber: a file the handset has already is passed over, not replaced.
int RunPut(CliRun& run, Session& session, const std::vector<std::string>& files, const std::string& prefix,
           bool no_clobber = false);

std::vector<RequestedFile> CheckDelNames(CliRun& run, const std::vector<std::string>& names);
int RunDel(CliRun& run, Session& session, const std::vector<RequestedFile>& names);

// What backup does with one line of the handset's list: where the copy
// goes below the backup folder, or why the file is not fetched.
struct BackupItem {
  ListRecord item;
  std::string what;                  // the failure's subject: "backup " + the name, or "list"
  std::string refusal;               // empty when the file is to be fetched
  std::vector<std::string> folders;  // UTF-8, below the backup folder
  std::string name;                  // the local file name
};
// Every line of the list in order. A line that cannot be read, a name that
// would be unsafe here and a file whose local path an earlier one of the
// list already has are refused.
std::vector<BackupItem> PlanBackup(const std::vector<std::string>& lines);
int RunBackup(CliRun& run, Session& session, const std::string& dir);

}  // namespace mirvo::cli
