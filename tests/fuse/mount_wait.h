// Waiting for a folder to be mounted or unmounted, woken by the kernel's
// changes to the mount table rather than by polling; shared by the mount's
// tests and its benchmark.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

namespace mirvo::testing {

inline bool IsMountPoint(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    if (point == path) return true;
  }
  return false;
}

// Waits for the mount table to show path mounted (or not), woken by each
// change of the table; false when the bound passes first.
inline bool WaitForMount(const std::string& path, bool mounted, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool reached = false;
  for (;;) {
    if (IsMountPoint(path) == mounted) {
      reached = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLPRI, 0};
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::poll(&p, 1, static_cast<int>(left));
  }
  ::close(fd);
  return reached;
}

}  // namespace mirvo::testing
