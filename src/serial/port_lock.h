// The lock files terminal programs leave for the line they use:
// <folder>/LCK..<device name> holding the owner's PID, as ten ASCII digits
// and a line end or, from older programs, as a binary int. Internal to
// src/serial.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace mirvo::serial_internal {

// The device's lock file in folder, and the process it names: file is empty
// when the device has none there (or is never locked: no character device,
// a pseudo-terminal); pid is empty when the file names no process (it
// cannot be read, or holds neither form).
struct LockFileOwner {
  std::string file;
  std::optional<long> pid;
};
LockFileOwner ReadLockFile(const std::string& folder, const std::string& device_path);

// Whether the process a lock file names still runs (or is not ours to see).
bool ProcessRuns(long pid);

// The process holding an flock on the device (how this program and others
// keep a port to themselves); 0 when none does.
long FlockHolder(const struct stat& device);

class PortLock {
 public:
  PortLock() = default;
  ~PortLock() { Release(); }
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // False when a live process holds the device's lock file, or one that
  // cannot be read: the line is someone else's. Otherwise true, and the
  // lock file is ours from now on where the folder lets us write it; a lock
  // of a dead process is replaced. Only character devices have one, and
  // pseudo-terminals none.
  bool Take(const std::string& folder, const std::string& device_path);
  // Removes our lock file, if it still names us.
  void Release();

 private:
  std::string file_;  // empty when we hold none
};

}  // namespace mirvo::serial_internal
