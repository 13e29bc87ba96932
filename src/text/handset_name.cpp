#include "text/handset_name.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "text/cp932.h"

namespace mirvo::text {
namespace {

// Bytes of the UTF-8 character that starts with lead (1 for a byte that
// starts none: it then fails to convert on its own).
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

bool IsWholeUtf8Char(std::string_view c) {
  const auto lead = static_cast<unsigned char>(c[0]);
  if (c.size() == 1) return lead < 0x80;
  if (Utf8Length(lead) != c.size()) return false;
  return std::all_of(c.begin() + 1, c.end(), [](char b) { return (static_cast<unsigned char>(b) & 0xC0) == 0x80; });
}

// C0, DEL and the C1 controls (U+0080-U+009F, 0xC2 0x80-0x9F in UTF-8).
bool IsControl(std::string_view c) {
  const auto lead = static_cast<unsigned char>(c[0]);
  if (c.size() == 1) return lead < 0x20 || lead == 0x7F;
  return c.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(c[1]) <= 0x9F;
}

HandsetNameCheck Refuse(HandsetNameFault fault, std::string_view refused) {
  HandsetNameCheck check;
  check.fault = fault;
  check.refused = std::string(refused);
  return check;
}

// One part of a name; its code page 932 form is appended to out. A "/"
// here is refused as a separator: a single name may not hold one.
HandsetNameCheck CheckPart(std::string_view part, bool first_of_path, std::string& out) {
  if (part.empty()) return Refuse(HandsetNameFault::kEmpty, {});
  if (part == "." || part == "..") return Refuse(HandsetNameFault::kDotPart, part);
  if (first_of_path && part[0] == '#') return Refuse(HandsetNameFault::kLeadingHash, "#");
  for (std::size_t pos = 0; pos < part.size();) {
    const std::size_t len = std::min(Utf8Length(static_cast<unsigned char>(part[pos])), part.size() - pos);
    const std::string_view c = part.substr(pos, len);
    pos += len;
    if (IsControl(c)) return Refuse(HandsetNameFault::kControl, c);
    // Converted one character at a time, so that the character refused is
    // the one the user wrote ("¥" becomes "\" in code page 932).
    const std::optional<std::string> cp932 = Utf8ToCp932(c);
    if (!cp932) return Refuse(HandsetNameFault::kNoCodePage932, c);
    if (cp932->size() == 1) {
      const char b = (*cp932)[0];
      if (b == '\\' || b == '\xA5' || b == '/') return Refuse(HandsetNameFault::kSeparator, c);
      if (b == ',') return Refuse(HandsetNameFault::kComma, c);
      if (IsControl(*cp932)) return Refuse(HandsetNameFault::kControl, c);
    }
    out += *cp932;
  }
  return {};
}

LocalNameCheck RefuseLocal(LocalNameFault fault) {
  LocalNameCheck check;
  check.fault = fault;
  return check;
}

bool IsDotPart(std::string_view part) { return part.empty() || part == "." || part == ".."; }

// The UTF-8 form of a part already known to be neither empty nor a dot part.
LocalNameFault LocalForm(std::string_view cp932_part, std::string& utf8) {
  std::optional<std::string> converted = Cp932ToUtf8(cp932_part);
  if (!converted) return LocalNameFault::kNoUtf8;
  for (std::size_t pos = 0; pos < converted->size();) {
    const std::size_t len =
        std::min(Utf8Length(static_cast<unsigned char>((*converted)[pos])), converted->size() - pos);
    const std::string_view c = std::string_view(*converted).substr(pos, len);
    if (c == "/" || IsControl(c)) return LocalNameFault::kSlashOrControl;
    pos += len;
  }
  utf8 = std::move(*converted);
  return LocalNameFault::kNone;
}

}  // namespace

LocalNameCheck CheckLocalPart(std::string_view cp932_part) {
  if (IsDotPart(cp932_part)) return RefuseLocal(LocalNameFault::kEmptyOrDotPart);
  std::string utf8;
  if (const LocalNameFault fault = LocalForm(cp932_part, utf8); fault != LocalNameFault::kNone)
    return RefuseLocal(fault);
  LocalNameCheck check;
  check.parts.push_back(std::move(utf8));
  return check;
}

LocalNameCheck CheckLocalPath(std::string_view cp932_name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  ForEachChar(cp932_name, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && cp932_name[pos] == '\\') {
      parts.push_back(cp932_name.substr(start, pos - start));
      start = pos + 1;
    }
  });
  parts.push_back(cp932_name.substr(start));
  for (const std::string_view part : parts)
    if (IsDotPart(part)) return RefuseLocal(LocalNameFault::kEmptyOrDotPart);
  LocalNameCheck check;
  for (const std::string_view part : parts) {
    std::string utf8;
    if (const LocalNameFault fault = LocalForm(part, utf8); fault != LocalNameFault::kNone) return RefuseLocal(fault);
    check.parts.push_back(std::move(utf8));
  }
  return check;
}

std::string HandsetNameCheck::ShownCharacter() const {
  if (refused.empty() || fault == HandsetNameFault::kDotPart) return refused;
  char code[16];
  if (IsControl(refused)) {
    const unsigned value = refused.size() == 1 ? static_cast<unsigned char>(refused[0])
                                               : static_cast<unsigned char>(refused[1]);
    std::snprintf(code, sizeof code, "U+%04X", value);
    return code;
  }
  if (!IsWholeUtf8Char(refused)) {
    std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned char>(refused[0]));
    return code;
  }
  return refused;
}

std::string HandsetNameCheck::Describe(std::string_view subject) const {
  const std::string who(subject);
  const std::string quoted = "\"" + ShownCharacter() + "\"";
  switch (fault) {
    case HandsetNameFault::kNone:
      return {};
    case HandsetNameFault::kEmpty:
      return who + " is empty or has an empty folder part";
    case HandsetNameFault::kDotPart:
      return who + " has a " + quoted + " part";
    case HandsetNameFault::kNoCodePage932:
      return who + " holds " + quoted + ", which has no code page 932 form";
    case HandsetNameFault::kSeparator:
      return who + " holds " + quoted + ", which the handset would take for a folder separator";
    case HandsetNameFault::kComma:
      return who + " holds " + quoted + ", which ends a field of the handset's list";
    case HandsetNameFault::kControl:
      return who + " holds the control character " + ShownCharacter();
    case HandsetNameFault::kLeadingHash:
      return who + " starts with \"#\", which the handset's list would read as a tag";
  }
  return {};
}

HandsetNameCheck CheckHandsetName(std::string_view utf8_name) {
  std::string handset_name;
  HandsetNameCheck check = CheckPart(utf8_name, true, handset_name);
  if (check.IsSendable()) check.handset_name = std::move(handset_name);
  return check;
}

HandsetNameCheck CheckHandsetPath(std::string_view utf8_path) {
  std::string handset_name;
  for (std::size_t start = 0;;) {
    const std::size_t end = utf8_path.find('/', start);
    const std::string_view part = utf8_path.substr(start, end == std::string_view::npos ? end : end - start);
    if (HandsetNameCheck check = CheckPart(part, start == 0, handset_name); !check.IsSendable()) return check;
    if (end == std::string_view::npos) break;
    handset_name += '\\';
    start = end + 1;
  }
  HandsetNameCheck check;
  check.handset_name = std::move(handset_name);
  return check;
}

}  // namespace mirvo::text
