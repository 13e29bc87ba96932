#include "core/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace mirvo {

FileReadFault ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string& data, int& error) {
  error = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return FileReadFault::kOpen;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return FileReadFault::kRead;
  }
  if (!S_ISREG(st.st_mode)) return FileReadFault::kNotRegular;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_bytes) return FileReadFault::kTooLarge;
  // One byte beyond the recorded size sees the end at once in the usual case.
  data.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t done = 0;
  for (;;) {
    if (done == data.size()) {
      if (done > max_bytes) return FileReadFault::kTooLarge;
      data.resize(std::min(done * 2, max_bytes + 1));
    }
    const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return FileReadFault::kRead;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done > max_bytes) return FileReadFault::kTooLarge;
  data.resize(done);
  return FileReadFault::kNone;
}

}  // namespace mirvo
