// Why a port would not open, for the trace and for the user: the device the
// name leads to, a permission the user lacks (with the group to join), and
// the program that holds the port, where the system can tell: any user's
// named by a lock file, else the user's own.
//
// Main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mirvo {

struct PortOpenDiagnosis {
  std::string device;       // empty when the name leads to no device
  int access_error = 0;     // errno of a read-write access check, 0 when allowed
  std::string group;        // the device's group, when access_error is EACCES
  bool listed_in_group = false;  // the group lists the user, but this login predates it
  std::string holder;       // "name (pid N)" of the process that holds it
  std::string lock_file;    // the lock file that keeps the device, if any
  long lock_pid = 0;        // the process it names; 0 when it names none
  bool lock_stale = false;  // that process no longer runs
  bool not_terminal = false;  // the device is no terminal, so no serial port
};

// The folders searched for lock files, in order. Tests give their own; an
// empty list restores /var/lock and /run/lock.
void SetPortLockFolders(std::vector<std::string> folders);

// What access(path, R_OK | W_OK) would report: 0 or an errno. Tests install
// one that refuses; an empty function restores the real check.
using PortAccessCheck = std::function<int(const std::string& path)>;
void SetPortAccessCheck(PortAccessCheck check);

PortOpenDiagnosis DiagnosePortOpen(const std::string& port_name);

// UTF-8, one line for the trace: the device and the system's reason.
std::string PortOpenFailureReason(const std::string& port_name, const PortOpenDiagnosis& d);

// One line naming the device and the fix; empty when there is none to give.
enum class HintLanguage { Japanese, English };
std::string PortOpenHint(const PortOpenDiagnosis& d, HintLanguage language);

}  // namespace mirvo
