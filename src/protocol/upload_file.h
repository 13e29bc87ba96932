// UploadFile, the local file an upload sends: opened once, its size taken
// at the open, then read a few frames at a time, so an upload holds a few
// kilobytes whatever the file's size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirvo {

class UploadFile {
 public:
  enum class Fault {
    kNone,
    kOpen,        // cannot be opened
    kNotRegular,  // a folder, FIFO, device or socket
    kTooLarge,    // over the limit given to Open
    kRead,        // a read failed
    kShrunk,      // ended before the size taken at the open
  };

  UploadFile() = default;
  ~UploadFile();
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  // Opened without blocking, so a FIFO in the file's place is refused
  // rather than waited on. A file whose size reads 0 may be a generated one
  // (/proc): it is read whole at once, up to kMaxGeneratedBytes, and its
  // size is what it gave.
  Fault Open(const std::string& path, std::int64_t max_bytes);
  // The bytes to send: the size at the open. A file that grows meanwhile
  // is sent as it was that long.
  std::int64_t Size() const { return size_; }
  // The next n bytes of the file.
  Fault ReadNext(char* out, int n);

  static constexpr std::size_t kMaxGeneratedBytes = 64 * 1024;

 private:
  Fault Fill();

  int fd_ = -1;
  std::int64_t size_ = 0;
  std::int64_t read_ = 0;  // taken from the descriptor
  std::vector<char> buffer_;
  std::size_t head_ = 0, tail_ = 0;
};

}  // namespace mirvo
