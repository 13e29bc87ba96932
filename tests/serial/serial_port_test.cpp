#include "serial/serial_port.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <termios.h>

#include <cstdio>
#include <string>
#include <thread>

#include "serial/serial_device.h"
#include "serial/termios_settings.h"
#include "serial_fixture.h"
#include "test_files.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using serial_internal::LineSettings;
using serial_internal::Parity;
using serial_internal::ParityFromName;
using testing::Clock;
using testing::kMargin;
using testing::Since;
using std::chrono::milliseconds;

TEST(FlowSet, FollowsTheFlagWordBitForBit) {
  SerialPort port;
  EXPECT_EQ(port.Flow(), rsFlowSet{rsFlow::dfBinary});

  port.SetFlow({rsFlow::dfBinary, rsFlow::dfOutxCTSFlow});
  EXPECT_EQ(port.FlowFlag, 5);

  port.FlowFlag = 1 | (1 << 15) | (1 << 16);
  EXPECT_EQ(port.Flow(), rsFlowSet{rsFlow::dfBinary});
  port.SetFlow(port.Flow());
  EXPECT_EQ(port.FlowFlag, 1);  // writing drops bits 15 and up

  port.SetFlow({rsFlow::dfAbortOnError, rsFlow::dfRTSControl_b1, rsFlow::dfInX});
  EXPECT_EQ(port.FlowFlag, (1 << 14) | (1 << 13) | (1 << 9));
  EXPECT_TRUE(port.Flow().contains(rsFlow::dfInX));
  EXPECT_FALSE(port.Flow().contains(rsFlow::dfOutX));
}

TEST(Defaults, OnCreateSeesTheDefaults) {
  TNotifySource* sender = nullptr;
  int bps_seen = 0;
  std::string parity_seen;
  SerialPort port([&](TNotifySource& s) {
    sender = &s;
    bps_seen = static_cast<SerialPort&>(s).Bps;
    parity_seen = static_cast<SerialPort&>(s).Paritymode;
  });
  EXPECT_EQ(sender, &port);
  EXPECT_EQ(bps_seen, 9600);
  EXPECT_EQ(parity_seen, text::Cp932("無し"));
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(port.InQueCount(), -1);
}

TEST(ParityNames, MatchCodePage932BytesExactly) {
  const std::pair<const char*, Parity> accepted[] = {
      {"無し", Parity::kNone},     {"なし", Parity::kNone},      {"奇数", Parity::kOdd},
      {"きすう", Parity::kOdd},    {"ODD", Parity::kOdd},        {"odd", Parity::kOdd},
      {"ＯＤＤ", Parity::kOdd},    {"ｏｄｄ", Parity::kOdd},     {"偶数", Parity::kEven},
      {"ぐうすう", Parity::kEven}, {"EVEN", Parity::kEven},      {"even", Parity::kEven},
      {"ＥＶＥＮ", Parity::kEven}, {"ｅｖｅｎ", Parity::kEven},   {"マーク", Parity::kMark},
      {"まーく", Parity::kMark},   {"MARK", Parity::kMark},      {"mark", Parity::kMark},
      {"ＭＡＲＫ", Parity::kMark}, {"ｍａｒｋ", Parity::kMark},   {"スペース", Parity::kSpace},
      {"すぺーす", Parity::kSpace}, {"SPACE", Parity::kSpace},   {"space", Parity::kSpace},
      {"ＳＰＡＣＥ", Parity::kSpace}, {"ｓｐａｃｅ", Parity::kSpace},
  };
  for (const auto& [utf8, parity] : accepted) {
    EXPECT_EQ(ParityFromName(text::Cp932(utf8)), parity) << utf8;
  }
  // No ASCII name means none; case and the UTF-8 form do not match.
  for (const char* name : {"none", "None", "NONE", "Odd", "Even", "ｏＤＤ", "", "odd "}) {
    EXPECT_EQ(ParityFromName(text::Cp932(name)), std::nullopt) << name;
  }
  EXPECT_EQ(ParityFromName("無し"), std::nullopt);  // UTF-8 bytes, not code page 932
}

TEST(Termios, KeepsTheDevicesValuesForUnknownNamesAndZeroCharacters) {
  termios tio{};
  tio.c_cflag = CS8 | CSTOPB | PARENB | PARODD;
  tio.c_cc[VSTART] = 0x21;
  tio.c_cc[VSTOP] = 0x22;
  LineSettings s;
  s.bps = 115200;
  s.data_bits = 7;
  s.stop_bits = serial_internal::StopBitsFromName("1.0");
  s.parity = ParityFromName("none");
  s.xon_char = 0;
  s.xoff_char = 0x11;
  ASSERT_TRUE(serial_internal::ApplyToTermios(s, tio));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_EQ(tio.c_cc[VSTART], 0x21);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x11);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_FALSE(tio.c_lflag & ICANON);
}

TEST(Termios, MapsParityStopBitsAndFlowControl) {
  const auto cflag = [](Parity p) {
    termios tio{};
    LineSettings s;
    s.parity = p;
    EXPECT_TRUE(serial_internal::ApplyToTermios(s, tio));
    return tio.c_cflag & (PARENB | PARODD | CMSPAR);
  };
  EXPECT_EQ(cflag(Parity::kNone), 0u);
  EXPECT_EQ(cflag(Parity::kOdd), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_EQ(cflag(Parity::kEven), static_cast<tcflag_t>(PARENB));
  EXPECT_EQ(cflag(Parity::kMark), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
  EXPECT_EQ(cflag(Parity::kSpace), static_cast<tcflag_t>(PARENB | CMSPAR));

  termios tio{};
  LineSettings s;
  s.flow_flag = rsFlowSet{rsFlow::dfBinary, rsFlow::dfOutX, rsFlow::dfInX, rsFlow::dfOutxCTSFlow}.bits();
  ASSERT_TRUE(serial_internal::ApplyToTermios(s, tio));
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_TRUE(tio.c_iflag & IXOFF);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  s.flow_flag = 1;
  ASSERT_TRUE(serial_internal::ApplyToTermios(s, tio));
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);

  // What no tty can do is refused.
  s.bps = 12345;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.bps = 9600;
  s.data_bits = 9;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.data_bits = 8;
  s.stop_bits = serial_internal::StopBits::kOneHalf;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.data_bits = 5;
  EXPECT_TRUE(serial_internal::ApplyToTermios(s, tio));
}

// A line whose send queue empties at a set rate, behind the device seam.
class SlowLine final : public serial_internal::PortDevice {
 public:
  explicit SlowLine(double bytes_per_second) : rate_(bytes_per_second) {}
  long ReadSome(void*, std::size_t) override { return 0; }
  long WriteSome(const void*, std::size_t n) override {
    queued_ = QueuedOut() + static_cast<double>(n);
    since_ = Clock::now();
    return static_cast<long>(n);
  }
  Wait WaitReadable(Clock::time_point deadline) override {
    std::this_thread::sleep_until(deadline);
    return Wait::kTimedOut;
  }
  Wait WaitWritable(Clock::time_point) override { return Wait::kReady; }
  Wait WaitDrained(Clock::time_point deadline) override {
    std::this_thread::sleep_until(std::min(deadline, Clock::now() + milliseconds(5)));
    return Wait::kReady;
  }
  int QueuedIn() override { return 0; }
  int QueuedOut() override {
    const double sent = std::chrono::duration<double>(Clock::now() - since_).count() * rate_;
    return static_cast<int>(std::max(0.0, queued_ - sent) + 0.999);
  }
  void DiscardInput() override {}
  void DiscardOutput() override { queued_ = 0; }
  int NativeHandle() const override { return -1; }

 private:
  const double rate_;
  double queued_ = 0;
  Clock::time_point since_ = Clock::now();
};

// Installs a device opener for one test.
struct FakeDevices {
  explicit FakeDevices(serial_internal::DeviceOpener opener) { serial_internal::SetDeviceOpener(std::move(opener)); }
  ~FakeDevices() { serial_internal::SetDeviceOpener(nullptr); }
};

TEST(SlowLineTest, WriteReturnsOnceTheBytesAreOnTheLine) {
  SlowLine* line = nullptr;
  FakeDevices fake([&](const std::string&, const LineSettings&) {
    auto device = std::make_unique<SlowLine>(960.0);  // 9,600 bit/s
    line = device.get();
    return device;
  });
  SerialPort port;
  port.PortName = "/slow";
  port.LockDir.clear();
  // A device whose events cannot be waited for opens all the same.
  port.OnRXChar = [](TNotifySource&) {};
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.CommThread(), nullptr);
  int slices = 0;
  port.OnWaitSlice = [&] { ++slices; };
  const std::string block(300, 'd');  // about 310 ms on the line
  port.txTimeOut = 5000;
  ASSERT_TRUE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);
  EXPECT_GE(slices, 3);

  // Still queued when the time-out ends: not sent, and none of it goes out.
  port.txTimeOut = 100;
  EXPECT_FALSE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);
}

class PortTest : public testing::PortFixture {
 protected:
  // Opens the pty by path with short time-outs.
  void OpenPort(SerialPort& port) {
    port.PortName = pty_.slave_path();
    port.rxTimeOut = 2000;
    port.txTimeOut = 2000;
    ASSERT_TRUE(port.Open());
  }
  std::string ReadN(SerialPort& port, int n) {
    std::string s(static_cast<std::size_t>(n), '\0');
    return port.Read(s.data(), n) ? s : std::string("<failed>");
  }
};

TEST_F(PortTest, OpensByPathAppliesTheLineAndRaisesOnOpenInside) {
  SerialPort port;
  bool open_inside = false;
  TNotifySource* sender = nullptr;
  port.OnOpen = [&](TNotifySource& s) {
    sender = &s;
    open_inside = port.Opened();
  };
  port.PortName = pty_.slave_path();
  port.Bps = 115200;
  port.CharBit = 0x107;  // low byte counts
  port.StopBit = "2";
  port.SetFlow({rsFlow::dfBinary, rsFlow::dfOutX});
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(open_inside);
  EXPECT_EQ(sender, &port);
  EXPECT_EQ(port.DevicePath(), pty_.slave_path());
  EXPECT_EQ(port.CommThread(), nullptr);  // no line handler, no thread

  termios tio{};
  ASSERT_EQ(tcgetattr(watch_fd(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);  // (a pseudo-terminal keeps CS8 whatever it is told)
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_EQ(tio.c_cc[VSTART], 0x13);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x11);

  EXPECT_FALSE(port.Open()) << "a second Open of an open port";
  EXPECT_TRUE(port.Opened());
}

TEST_F(PortTest, OpensThroughAPortsLinkAboveCom9) {
  LinkCom(12, pty_.slave_path());
  SerialPort port;
  port.PortName = "COM12";
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.DevicePath(), pty_.slave_path());
  pty_.Send("x");
  char c = 0;
  EXPECT_TRUE(port.Read(&c, 1));
  EXPECT_EQ(c, 'x');
}

TEST_F(PortTest, MissingDeviceOrUnknownNameDoesNotOpen) {
  SerialPort port;
  port.PortName = dir_.path() + "/no-such-tty";
  EXPECT_FALSE(port.Open());
  port.PortName = "COM3";  // no link
  EXPECT_FALSE(port.Open());
  LinkCom(4, dir_.path() + "/gone");  // a link that leads nowhere
  port.PortName = "COM4";
  EXPECT_FALSE(port.Open());
  port.PortName = dir_.path();  // not a tty
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(port.DevicePath(), "");
}

TEST_F(PortTest, HeldDeviceDoesNotOpenUntilReleased) {
  SerialPort first, second;
  OpenPort(first);
  LinkCom(2, pty_.slave_path());
  second.PortName = "COM2";  // the same device by another name
  EXPECT_FALSE(second.Open());
  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open());
  EXPECT_TRUE(second.Close());

  // Held by another program.
  const int other = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(second.Open());
  close(other);
  EXPECT_TRUE(second.Open());
}

TEST_F(PortTest, ALineLockedByALiveProgramIsNotTouched) {
  int opens = 0;
  auto fake = std::make_unique<FakeDevices>([&](const std::string&, const LineSettings&) {
    ++opens;
    return std::make_unique<SlowLine>(1e9);
  });
  const std::string locks = dir_.path() + "/locks";
  std::filesystem::create_directories(locks);
  const std::string lock_file = locks + "/LCK..null";
  const auto pid_text = [](pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return std::string(text);
  };
  SerialPort port;
  port.LockDir = locks;
  port.PortName = "/dev/null";  // a character device; the fake stands in for it

  // A live program's lock, in either form: the device is not even opened.
  testing::WriteFile(lock_file, pid_text(getppid()));
  EXPECT_FALSE(port.Open());
  const int binary = getppid();
  testing::WriteFile(lock_file, std::string(reinterpret_cast<const char*>(&binary), sizeof binary));
  EXPECT_FALSE(port.Open());
  testing::WriteFile(lock_file, "garbage");
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(opens, 0);

  // A dead program's lock is replaced by ours while the port is open.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  testing::WriteFile(lock_file, pid_text(child));
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(testing::ReadFile(lock_file), pid_text(getpid()));
  SerialPort second;
  second.LockDir = locks;
  second.PortName = port.PortName;
  EXPECT_FALSE(second.Open());
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(std::filesystem::exists(lock_file));

  // A folder we cannot write keeps no one out; a pseudo-terminal has no lock.
  port.LockDir = dir_.path() + "/missing";
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(port.Close());
  fake.reset();
  port.LockDir = locks;
  OpenPort(port);
  EXPECT_TRUE(std::filesystem::is_empty(locks));
}

TEST_F(PortTest, CloseRaisesOnCloseOnceAndTheDestructorCloses) {
  int closes = 0;
  bool open_during_close = true;
  {
    SerialPort port;
    port.OnClose = [&](TNotifySource& s) {
      ++closes;
      open_during_close = port.Opened();
      EXPECT_EQ(&s, &port);
    };
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(closes, 0);
    OpenPort(port);
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(open_during_close);
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(port.Open());  // again after Close
  }
  EXPECT_EQ(closes, 2);
  // And the device is free again.
  SerialPort other;
  OpenPort(other);
}

TEST_F(PortTest, ClosedPortMovesNothing) {
  SerialPort port;
  char buf[4] = {};
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_FALSE(port.Write("ab", 2));
  EXPECT_EQ(port.InQueCount(), -1);
}

TEST_F(PortTest, ReadsAndWritesExactCounts) {
  SerialPort port;
  OpenPort(port);
  pty_.Send("hello, handset");
  EXPECT_EQ(ReadN(port, 5), "hello");
  EXPECT_EQ(ReadN(port, 1), ",");
  EXPECT_EQ(ReadN(port, 8), " handset");
  char none;
  EXPECT_TRUE(port.Read(&none, 0));
  EXPECT_FALSE(port.Read(&none, -1));

  ASSERT_TRUE(port.Write("ATI3\r\n", 6));
  EXPECT_EQ(pty_.Receive(6), "ATI3\r\n");
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  // Larger than the line holds: the other side must read while it is sent.
  std::string got;
  std::thread reader([&] { got = pty_.Receive(big.size()); });
  EXPECT_TRUE(port.Write(big.data(), static_cast<int>(big.size())));
  reader.join();
  EXPECT_TRUE(got == big);
}

TEST_F(PortTest, ByteReadsKeepOrderAcrossTheReceiveBuffer) {
  SerialPort port;
  OpenPort(port);
  std::string sent;
  for (int i = 0; i < 40000; ++i) sent.push_back(static_cast<char>(i % 251));
  std::thread sender([&] { pty_.Send(sent); });
  std::string got;
  char c;
  for (std::size_t i = 0; i < sent.size() && port.Read(&c, 1); ++i) got.push_back(c);
  sender.join();
  EXPECT_TRUE(got == sent) << got.size() << " bytes read";
}

TEST_F(PortTest, InQueCountAndPurgeAllSeeTheReceiveBuffer) {
  SerialPort port;
  OpenPort(port);
  EXPECT_EQ(port.InQueCount(), 0);
  pty_.Send("0123456789");
  ASSERT_TRUE(WaitQueued(10));
  EXPECT_EQ(port.InQueCount(), 10);
  EXPECT_EQ(ReadN(port, 1), "0");
  EXPECT_EQ(port.InQueCount(), 9);  // now held by the port, not the device

  port.PurgeAll();
  EXPECT_EQ(port.InQueCount(), 0);
  port.rxTimeOut = 50;
  char c;
  EXPECT_FALSE(port.Read(&c, 1));
  pty_.Send("new");
  port.rxTimeOut = 2000;
  EXPECT_EQ(ReadN(port, 3), "new");
}

TEST_F(PortTest, ReadTimesOutAtRxTimeOutWithNothingOrTooLittle) {
  SerialPort port;
  OpenPort(port);
  port.rxTimeOut = 300;
  char buf[8];
  auto t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 1));
  auto took = Since(t0);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(300) + kMargin);

  // All or nothing: three of five bytes do not make a read, and are not
  // handed to the next one.
  pty_.Send("abc");
  t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 5));
  took = Since(t0);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(300) + kMargin);
  pty_.Send("vwxyz");
  EXPECT_EQ(ReadN(port, 5), "vwxyz");

  // 0: only what is there already.
  port.rxTimeOut = 0;
  t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_LT(Since(t0), kMargin);
}

TEST_F(PortTest, AGapLongerThanReadIntervalFailsTheRead) {
  SerialPort port;
  OpenPort(port);
  port.rxTimeOut = 20000;
  port.ReadInterval = 200;
  pty_.Send("ab");
  char buf[4];
  const auto t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 4));
  const auto took = Since(t0);
  EXPECT_GE(took, milliseconds(200));
  EXPECT_LT(took, milliseconds(200) + kMargin);

  // The gap limit starts at the first byte: an idle line waits rxTimeOut.
  port.rxTimeOut = 600;
  const auto t1 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_GE(Since(t1), milliseconds(600));
}

TEST_F(PortTest, WriteThatTimesOutSendsNothingLater) {
  SerialPort port;
  OpenPort(port);
  port.txTimeOut = 300;
  // The other side reads nothing: the line fills up.
  const std::string block(1 << 20, 'w');
  const auto t0 = Clock::now();
  EXPECT_FALSE(port.Write(block.data(), static_cast<int>(block.size())));
  const auto took = Since(t0);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(300) + kMargin);
  // What a real line still held is discarded; a pseudo-terminal has passed
  // it on already. Nothing of the block may follow once the other side
  // reads again.
  std::string drained, more;
  while (!(more = pty_.Receive(1 << 16, milliseconds(100))).empty()) drained += more;
  EXPECT_LT(drained.size(), block.size());
  ASSERT_TRUE(port.Write("ok", 2));
  EXPECT_EQ(pty_.Receive(2), "ok");
  EXPECT_EQ(pty_.Receive(1, milliseconds(100)), "");
}

TEST_F(PortTest, TheWaitHookRunsWhileACallWaitsAndOnlyThen) {
  SerialPort port;
  OpenPort(port);
  port.rxTimeOut = 5000;
  int calls = 0;
  // The byte comes only after the hook has run six times: a Read that
  // never ran it would time out.
  port.OnWaitSlice = [&] {
    if (++calls == 6) pty_.Send("x");
  };
  EXPECT_EQ(ReadN(port, 1), "x");
  EXPECT_GE(calls, 6);
  const int after_read = calls;

  pty_.Send("y");
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(ReadN(port, 1), "y");
  EXPECT_EQ(calls, after_read) << "data already there: no wait";

  // A full line: the write waits out its time-out, running the hook.
  calls = 0;
  port.OnWaitSlice = [&] { ++calls; };
  port.txTimeOut = 300;
  const std::string block(1 << 20, 'w');
  EXPECT_FALSE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_GE(calls, 3);
  while (!pty_.Receive(1 << 16, milliseconds(100)).empty()) {
  }

  // A hook that closes the port ends the wait with a failure.
  port.OnWaitSlice = [&] { port.Close(); };
  const auto t0 = Clock::now();
  EXPECT_EQ(ReadN(port, 1), "<failed>");
  EXPECT_LT(Since(t0), kMargin);
  EXPECT_FALSE(port.Opened());
}

TEST_F(PortTest, HangUpFailsReadAndWriteAtOnce) {
  SerialPort port;
  OpenPort(port);
  port.rxTimeOut = 20000;
  port.txTimeOut = 20000;
  pty_.HangUp();
  char c = 0;
  auto t0 = Clock::now();
  EXPECT_FALSE(port.Read(&c, 1));
  EXPECT_LT(Since(t0), kMargin);
  t0 = Clock::now();
  EXPECT_FALSE(port.Write("abc", 3));
  EXPECT_LT(Since(t0), kMargin);
  EXPECT_TRUE(port.Close());
}

}  // namespace
}  // namespace mirvo
