// Handset names as mirvo-cli takes them: the lines of the handset's list
// with their names in UTF-8, a name from the command line, and the look-up
// of a name in the list when the handset knows no file by the name given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_format.h"
#include "cli/cli_session.h"
#include "protocol/list_records.h"

namespace mirvo::cli {

// A line of the handset's list with its names in UTF-8.
struct ListEntry {
  ListRecord item;
  std::optional<std::string> name;    // Name
  std::optional<std::string> tagged;  // Tag + Folder + Name
};

std::vector<ListEntry> ParseListEntries(const std::vector<std::string>& lines, CliRun* report);

// The handset path of the list entry a user's name means, when that is not
// the name as given: the name shown by list, unique among the entries.
// Matching on the UTF-8 text the list printed keeps the handset's own
// bytes, which a conversion back might not give.
std::optional<std::string> ListedPath(const std::vector<ListEntry>& entries, const std::string& wanted,
                                      std::string& why);

// A name from the command line: the handset path it gives as it stands.
struct RequestedFile {
  std::string given;         // as given (UTF-8)
  std::string handset_path;  // code page 932
  std::string local_name;    // get: the local file name
};

// The name without a leading "#tag#".
std::string_view WithoutTag(std::string_view path);

// Runs op on the name as given; when the handset answers "ERROR" (no such
// file), once more on the listed file the name means, if that is another.
// The list is fetched only then.
// Whether op succeeded; on failure, why says what happened and the session
// has taken note.
template <typename Op>
bool WithListFallback(Session& session, CliRun& run, const RequestedFile& file, Op op, std::string& why) {
  if (!session.MayTryNext(why)) return false;
  ExchangeResult r = op(file.handset_path);
  if (r != ExchangeResult::Ok) {
    session.NoteResult(r);
    why = run.Outcome(r);
  }
  if (r != ExchangeResult::Failed) return r == ExchangeResult::Ok;
  if (FetchList(session, run) != ExchangeResult::Ok) {
    why += "; the list to look the name up in could not be fetched";
    return false;
  }
  std::string ambiguous;
  const auto path = ListedPath(ParseListEntries(session.lines, nullptr), file.given, ambiguous);
  if (!ambiguous.empty()) why = ambiguous;
  if (!path || *path == file.handset_path || !session.MayTryNext(why)) return false;
  r = op(*path);
  if (r != ExchangeResult::Ok) {
    session.NoteResult(r);
    why = run.Outcome(r);
  }
  return r == ExchangeResult::Ok;
}

}  // namespace mirvo::cli
