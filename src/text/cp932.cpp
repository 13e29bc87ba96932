#include "text/cp932.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iconv.h>
#include <map>
#include <mutex>

namespace mirvo::text {
namespace {

// One iconv descriptor per direction and thread: iconv_t keeps shift state
// and may not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (IsValid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool IsValid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  std::optional<std::string> Run(std::string_view in) {
    if (!IsValid()) return std::nullopt;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    std::string out(in.size() * 2 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    std::size_t done = 0;
    while (true) {
      char* dst = out.data() + done;
      std::size_t dst_left = out.size() - done;
      const std::size_t r = iconv(cd_, src_left ? &src : nullptr, &src_left, &dst, &dst_left);
      done = out.size() - dst_left;
      if (r == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) {
          out.resize(out.size() * 2);
          continue;
        }
        return std::nullopt;  // EILSEQ or EINVAL (truncated sequence)
      }
      // iconv reports irreversible conversions in r; CP932 never substitutes
      // silently, but refuse them all the same.
      if (r != 0) return std::nullopt;
      if (src_left == 0) break;
    }
    out.resize(done);
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::size_t CharCount(std::string_view s) {
  std::size_t n = 0;
  ForEachChar(s, [&](std::size_t, std::size_t) { ++n; });
  return n;
}

std::string_view TrimBlanks(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::optional<std::string> Cp932ToUtf8(std::string_view cp932) {
  thread_local Converter conv("UTF-8", "CP932");
  return conv.Run(cp932);
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8) {
  thread_local Converter conv("CP932", "UTF-8");
  return conv.Run(utf8);
}

const std::string& Cp932(std::string_view utf8_literal) {
  static std::mutex mutex;
  static std::map<std::string, std::string, std::less<>> cache;
  std::lock_guard lock(mutex);
  if (auto it = cache.find(utf8_literal); it != cache.end()) return it->second;
  auto converted = Utf8ToCp932(utf8_literal);
  if (!converted) {
    // A fixed text of the program that has no code page 932 form is a
    // programming error, found by the first test that uses it.
    std::fprintf(stderr, "mirvo: fixed text has no code page 932 form: %.*s\n",
                 static_cast<int>(utf8_literal.size()), utf8_literal.data());
    std::abort();
  }
  return cache.emplace(std::string(utf8_literal), std::move(*converted)).first->second;
}

}  // namespace mirvo::text
