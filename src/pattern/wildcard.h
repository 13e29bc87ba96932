// Wildcard matching of handset file names: the search panel's filter and
// the command line's list filter.
//
// Pattern and name are code page 932 byte strings, compared byte for byte
// (case, full and half width, hiragana and katakana all differ). The
// pattern language: literal characters; "?" any one character; "*" any
// run; "#" one digit 0-9; "[...]" a class of characters and ranges, "!"
// right after "[" negates it, "[*...]" takes zero or more of the class,
// "[+...]" one or more, "[=a|b]" one of the alternative texts; "(" and ")"
// around a capture; "\" escapes the next character ("\t" is a tab, "\n"
// carriage return and line feed).
//
// The name goes through the same compiler as the pattern, so a "*" or
// "[...]" in a file name is an element of its own and "\" in a name escapes
// the next character. A "*" takes the first split point at which the rest
// of the pattern matches and never tries another one, so "*a" does not
// match "aba"; a repeating class gives nothing back, so "[*a-z]b" does not
// match "abab".
//
// Thread safety: both calls keep their last compiled pattern per thread;
// calls on different threads share nothing.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

enum class WildcardErrorKind {
  BackslashInClass,     // "\" inside [ ] followed by anything but n, t, -
  WildcardAfterRepeat,  // [*...] or [+...] followed by a non-literal
};

// A pattern the engine cannot use. what() is the message for the user
// (UTF-8).
class WildcardError : public std::runtime_error {
 public:
  explicit WildcardError(WildcardErrorKind kind);
  WildcardErrorKind Kind() const { return kind_; }
  // The message as code page 932 bytes.
  const std::string& Cp932Message() const;

 private:
  WildcardErrorKind kind_;
};

// Matches subject against pattern. whole: the subject must be used up.
// Otherwise (prefix mode) subject becomes the part the match did not consume.
// captures, when given, receives the captured texts. Throws WildcardError.
bool WildcardMatch(std::string_view pattern, std::string& subject,
                   std::vector<std::string>* captures, bool whole);

// Whole-name match, no captures. Throws WildcardError.
bool MatchFileName(std::string_view name, std::string_view pattern);

}  // namespace mirvo
