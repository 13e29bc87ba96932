// A pseudo-terminal for serial tests: the test holds the master side and
// plays the other end of the line; the code under test opens the slave by
// path. Raw mode, so bytes pass unchanged in both directions.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace mirvo::testing {

class PtyPair {
 public:
  PtyPair();  // aborts the test program when no pseudo-terminal can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  int master() const { return master_; }

  // Writes all bytes to the master side (the "handset" sends).
  void Send(std::string_view bytes);
  // Reads exactly n bytes from the master side within the bound; returns
  // what arrived (shorter on time-out).
  std::string Receive(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(5));
  // Closes the master side: the line hangs up.
  void HangUp();

 private:
  int master_ = -1;
  int slave_keep_ = -1;  // keeps the slave alive between opens by the code under test
  std::string slave_path_;
};

// A throwaway directory (removed with its contents at the end). Pointed to
// by APPDATA it is the base of a settings dir, <dir>/ZQR/mirvo/, in which
// LinkPort places the ports/COMn links the port names resolve through.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // <dir>/ZQR/mirvo/ (what SettingsDir() gives with APPDATA=<dir>)
  std::string SettingsDir() const { return path_ + "/ZQR/mirvo/"; }
  // <settings dir>/ports/COM<n> -> target
  void LinkPort(int n, const std::string& target);

 private:
  std::string path_;
};

}  // namespace mirvo::testing
