// One running program per user: a lock the system frees when the process
// ends, however it ends.
#pragma once

#include <string>

namespace mirvo::app {

// The folder of the lock: $XDG_RUNTIME_DIR, else a ZQR folder under the
// temporary folder (made when missing).
std::string InstanceDir();

// True when dir is a real folder owned by this user that nobody else may
// write to.
bool PrivateToUser(const std::string& dir);

class SingleInstance {
 public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another process holds the lock. A lock that cannot be made
  // at all does not keep the program from running.
  bool Acquire();

 private:
  int fd_ = -1;
};

}  // namespace mirvo::app
