#include "protocol/upload_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mirvo {
namespace {

// Eight frames per read: few system calls, little memory.
constexpr std::size_t kReadBlock = 8 * 1024;

// Up to n bytes; fewer only at the end of the file. -1 on an error.
long ReadUpTo(int fd, char* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long>(done);
}

}  // namespace

UploadFile::~UploadFile() {
  if (fd_ >= 0) ::close(fd_);
}

UploadFile::Fault UploadFile::Open(const std::string& path, std::int64_t max_bytes) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return Fault::kOpen;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Fault::kRead;
  if (!S_ISREG(st.st_mode)) return Fault::kNotRegular;
  if (st.st_size > max_bytes) return Fault::kTooLarge;
  size_ = st.st_size;
  if (size_ > 0) return Fault::kNone;

  buffer_.resize(kMaxGeneratedBytes + 1);
  const long got = ReadUpTo(fd_, buffer_.data(), buffer_.size());
  if (got < 0) return Fault::kRead;
  if (static_cast<std::size_t>(got) > kMaxGeneratedBytes || got > max_bytes) return Fault::kTooLarge;
  tail_ = static_cast<std::size_t>(got);
  size_ = read_ = got;
  return Fault::kNone;
}

UploadFile::Fault UploadFile::Fill() {
  if (buffer_.size() < kReadBlock) buffer_.resize(kReadBlock);
  if (head_ == tail_) head_ = tail_ = 0;
  std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
  tail_ -= head_;
  head_ = 0;
  // Never past the size at the open: what was added since is not sent.
  const auto want = static_cast<std::size_t>(std::min<std::int64_t>(buffer_.size() - tail_, size_ - read_));
  const long got = ReadUpTo(fd_, buffer_.data() + tail_, want);
  if (got < 0) return Fault::kRead;
  if (static_cast<std::size_t>(got) < want) return Fault::kShrunk;
  tail_ += want;
  read_ += static_cast<std::int64_t>(want);
  return Fault::kNone;
}

UploadFile::Fault UploadFile::ReadNext(char* out, int n) {
  if (n < 0) return Fault::kRead;
  const auto want = static_cast<std::size_t>(n);
  if (tail_ - head_ < want) {
    if (fd_ < 0) return Fault::kRead;
    if (const Fault f = Fill(); f != Fault::kNone) return f;
    if (tail_ - head_ < want) return Fault::kShrunk;
  }
  std::memcpy(out, buffer_.data() + head_, want);
  head_ += want;
  return Fault::kNone;
}

}  // namespace mirvo
