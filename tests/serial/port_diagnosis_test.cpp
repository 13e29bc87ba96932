// A device kept by a lock file: the diagnosis names the process the file
// names, or says that process is gone.
#include "serial/port_diagnosis.h"

#include <unistd.h>

#include <fstream>

#include "gtest/gtest.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "test_files.h"

namespace mirvo {
namespace {

class LockFileDiagnosis : public ::testing::Test {
 protected:
  void SetUp() override { SetPortLockFolders({first_.path(), second_.path()}); }
  void TearDown() override { SetPortLockFolders({}); }

  // /dev/null stands for a line: a character device that is no terminal.
  static void Lock(const testing::TempDir& folder, const std::string& content) {
    std::ofstream(folder.path() + "/LCK..null", std::ios::binary) << content;
  }

  testing::TempDir first_, second_;
};

TEST_F(LockFileDiagnosis, NamesTheHolderOrSaysItIsGone) {
  EXPECT_TRUE(DiagnosePortOpen("/dev/null").lock_file.empty());

  // In the second folder, as ten digits: this test's own process holds it.
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  Lock(second_, text);
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  const std::string named = comm + " (pid " + std::to_string(getpid()) + ")";
  PortOpenDiagnosis d = DiagnosePortOpen("/dev/null");
  EXPECT_EQ(d.holder, named);
  EXPECT_EQ(d.lock_file, second_.path() + "/LCK..null");
  EXPECT_EQ(PortOpenHint(d, HintLanguage::Japanese), "/dev/null は別のプログラム " + named + " が使用中です。");
  EXPECT_NE(PortOpenFailureReason("COM3", d).find("in use by " + named), std::string::npos);

  // In the first folder, found first, as a binary int from older programs,
  // naming a process that no system runs (above the largest PID Linux gives).
  const int gone = 4194305;
  Lock(first_, std::string(reinterpret_cast<const char*>(&gone), sizeof gone));
  d = DiagnosePortOpen("/dev/null");
  EXPECT_TRUE(d.lock_stale && d.holder.empty() && d.lock_pid == gone);
  EXPECT_EQ(d.lock_file, first_.path() + "/LCK..null");
  const std::string hint = PortOpenHint(d, HintLanguage::Japanese);
  EXPECT_NE(hint.find("もう動いていないプロセス (pid 4194305)"), std::string::npos) << hint;
  EXPECT_NE(hint.find(d.lock_file), std::string::npos) << hint;

  // Four bytes of text are no binary PID: "  1\n" names init, which runs.
  Lock(first_, "  1\n");
  d = DiagnosePortOpen("/dev/null");
  EXPECT_TRUE(d.lock_pid == 1 && !d.lock_stale) << d.lock_pid;
  SerialPort port;
  SerialSettings settings;
  settings.port_name = "/dev/null";
  settings.lock_dir = first_.path();
  port.SetSettings(settings);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(testing::ReadFile(d.lock_file), "  1\n");  // kept, not taken for stale

  // A file that names no process still keeps the line, and is named.
  Lock(first_, "minicom\n");
  d = DiagnosePortOpen("/dev/null");
  EXPECT_TRUE(!d.lock_stale && d.holder.empty() && d.lock_pid == 0);
  EXPECT_EQ(PortOpenHint(d, HintLanguage::English), "/dev/null is locked by " + d.lock_file);
}

// What someone else holds open is no reason when the device is no line.
TEST_F(LockFileDiagnosis, WhatIsNoTerminalIsNoSerialPort) {
  const std::string file = first_.path() + "/plain";
  std::ofstream(file) << "x";
  for (const std::string& path : {std::string("/dev/null"), std::string("/dev/zero"), file, second_.path()}) {
    const PortOpenDiagnosis d = DiagnosePortOpen(path);
    EXPECT_TRUE(d.not_terminal && d.holder.empty()) << path;
    EXPECT_EQ(PortOpenFailureReason(path, d), path + " (" + path + "): not a serial port");
    EXPECT_EQ(PortOpenHint(d, HintLanguage::Japanese), path + " はシリアルポートではありません。");
  }
  testing::PtyPair pty;
  EXPECT_FALSE(DiagnosePortOpen(pty.slave_path()).not_terminal);
}

}  // namespace
}  // namespace mirvo
