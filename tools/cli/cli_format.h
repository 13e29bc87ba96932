// What mirvo-cli shows and which names it accepts: list rows, the search
// pattern, the local name of a fetched file, the handset name of a sent one.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/protocol_engine.h"

namespace mirvo {
struct ListRecord;
}

namespace mirvo::cli {

// "1,234 B".
std::string SizeCell(std::int32_t size);

// "yyyy/mm/dd hh:mm" of a list date; empty for an empty date and for one
// that cannot be read (no made-up date for a script to trust).
std::string DateCell(std::string_view list_date);

// Name, size, date, protection and copy guard separated by tabs, in UTF-8,
// with no line end. Control characters in the name show as "?" so that a
// row stays one line of five fields. nullopt when the name has no UTF-8
// form.
std::optional<std::string> ListRow(const ListRecord& item);

// A pattern without "*" matches names that contain it anywhere.
std::string WrapPattern(std::string pattern);

// The local file name under which a handset file is written: the last
// component of its name (code page 932, "\" between folders), in UTF-8.
// nullopt with why when any component is empty, "." or "..", or the name
// holds "/", a control character or no UTF-8 form.
std::optional<std::string> LocalNameFor(std::string_view handset_name, std::string& why);
// The same for every component: folders and file name, in UTF-8.
std::optional<std::vector<std::string>> LocalPathFor(std::string_view handset_name, std::string& why);

// The PUT_FILE prefix for a handset folder given as "a\b" (or "a/b"): code
// page 932 with a closing "\"; empty for the top folder. nullopt with why
// (naming the character refused) for a folder the handset would misread or
// that would climb out.
std::optional<std::string> HandsetFolderFor(std::string_view utf8_folder, std::string& why);

// The local time a list date ("yyyy/mm/dd/hhmm") stands for; nullopt for
// an empty or unreadable date.
std::optional<std::time_t> HandsetDateTime(std::string_view list_date);

// The code page 932 name a local file is sent under (its file name only).
// nullopt with why, naming the character refused, when the handset could
// not take it as sent (see text/handset_name.h).
std::optional<std::string> HandsetNameFor(std::string_view utf8_file_name, std::string& why);

// Why a command (as "GET_FILE") with an argument of this many bytes between
// its brackets cannot go to the handset: more than one frame carries. Empty
// when it can.
std::string CommandTooLong(std::string_view command, std::size_t argument_bytes);

// What a failed GetFile, PutFile or DelFile result means, for the user.
std::string ResultText(ExchangeResult result);

// A code page 932 text for a message: UTF-8 when it converts, else with
// every byte outside ASCII shown as \xHH; control characters show as "?".
std::string ShowText(std::string_view cp932);

}  // namespace mirvo::cli
