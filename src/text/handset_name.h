// HandsetNameCheck: whether a local name may be sent to the handset, and
// its code page 932 form when it may. The handset takes "\" and "･" for
// folder separators, "," for the end of a list field and a leading "#"
// for a tag, so a name holding one of them would land elsewhere than meant
// or corrupt the handset's list. Every front end that sends a name checks
// it here, before anything goes on the line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirvo::text {

enum class HandsetNameFault {
  kNone,
  kEmpty,           // the name, or a folder part of a path, is empty
  kDotPart,         // a part is "." or ".."
  kNoCodePage932,   // a character has no code page 932 form
  kSeparator,       // "\", "･" (and "/" in a single name): a folder separator
  kComma,           // "," ends a field of the handset's list
  kControl,         // a control character
  kLeadingHash,     // a "#" first would be read as the start of a tag
};

struct HandsetNameCheck {
  HandsetNameFault fault = HandsetNameFault::kNone;
  // The character refused, as the caller gave it (UTF-8, or the raw byte
  // of a name that is no UTF-8); the part for kDotPart.
  std::string refused;
  // Code page 932, "\" between folders; set only when the name may go.
  std::string handset_name;

  bool IsSendable() const { return fault == HandsetNameFault::kNone; }
  // The refused character fit to show: itself when printable, else
  // "U+000A" for a control character, "\xFF" for a byte that is no UTF-8.
  std::string ShownCharacter() const;
  // "the file name holds \",\", which ends a field of the handset's list":
  // what is wrong, in English, with subject ("the file name", "the folder")
  // leading. Empty when sendable.
  std::string Describe(std::string_view subject) const;
};

// A local file name: one part, so "/" is refused too.
HandsetNameCheck CheckHandsetName(std::string_view utf8_name);

// A path below the handset's top folder: folder parts and the file name,
// "/" between them.
HandsetNameCheck CheckHandsetPath(std::string_view utf8_path);

// The other way: a handset name (code page 932) as the local name of its
// copy. A list may hold any bytes, so a part is refused when it is empty,
// "." or "..", holds "/" or a control character (C0, DEL, C1: a copy's
// name must not drive a terminal or split a line), or has no UTF-8 form.
// mirvo-cli and the window's staging name their copies by this one rule.
enum class LocalNameFault {
  kNone,
  kEmptyOrDotPart,
  kNoUtf8,
  kSlashOrControl,
};

struct LocalNameCheck {
  LocalNameFault fault = LocalNameFault::kNone;
  std::vector<std::string> parts;  // UTF-8; set only when usable

  bool IsUsable() const { return fault == LocalNameFault::kNone; }
};

// One part as it stands: a "\" in it is no separator.
LocalNameCheck CheckLocalPart(std::string_view cp932_part);

// Folder parts and the file name, split at each "\" that is a character
// of its own (not the second byte of a double-byte one).
LocalNameCheck CheckLocalPath(std::string_view cp932_name);

}  // namespace mirvo::text
