// ReadRegularFile: a whole local file that must be a regular one. Opened
// without blocking, so a FIFO or device in its place is refused instead of
// hanging the caller or feeding it without end.
#pragma once

#include <cstddef>
#include <string>

namespace mirvo {

enum class FileReadFault { kNone, kOpen, kNotRegular, kTooLarge, kRead };

// Reads to the end of the file, not to its recorded size (0 for generated
// files such as /proc ones, stale for one that grows). More than max_bytes
// is kTooLarge. error holds errno for kOpen and kRead. data is only
// meaningful on kNone.
FileReadFault ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string& data, int& error);

}  // namespace mirvo
