// One running program per user: a lock the system frees when the process
// ends, however it ends, in a folder no other user can reach.
#pragma once

#include <string>

namespace mirvo::app {

// The folder of the lock and the hand-over socket: $XDG_RUNTIME_DIR when it
// is this user's own 0700 folder, else the staging folder's parent ("ZQR",
// opened and made as a private folder); empty when neither can be had.
std::string InstanceDir();

// True when dir is a real folder of this user's that nobody else may open.
bool PrivateToUser(const std::string& dir);

class SingleInstance {
 public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another run of this user holds the lock. A lock that cannot
  // be made, or a lock file that is not this user's, does not keep the
  // program from running.
  bool Acquire();

 private:
  int fd_ = -1;
};

}  // namespace mirvo::app
