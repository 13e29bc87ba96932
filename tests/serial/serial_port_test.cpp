#include "serial/serial_port.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <termios.h>

#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "serial/serial_device.h"
#include "serial/termios_settings.h"
#include "serial_fixture.h"
#include "test_files.h"

namespace mirvo {
namespace {

using testing::ChangeSetting;
using testing::Clock;
using testing::kMargin;
using testing::SetCallback;
using testing::Since;
using std::chrono::milliseconds;

TEST(Defaults, OnCreatedSeesTheDefaults) {
  int created = 0;
  SerialSettings seen;
  SerialPort::Timeouts seen_timeouts;
  SerialPort port([&] {
    ++created;
    seen = port.GetSettings();
    seen_timeouts = port.GetTimeouts();
  });
  EXPECT_EQ(created, 1);
  EXPECT_EQ(seen.baud_rate, 9600);
  EXPECT_EQ(seen.parity, Parity::kNone);
  EXPECT_EQ(seen.flow_control, FlowControl{});
  EXPECT_EQ(seen_timeouts.read_ms, 30000);
  EXPECT_EQ(seen_timeouts.read_interval_ms, 0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.BytesAvailable(), -1);
}

TEST(Termios, KeepsTheDevicesCharactersWhereZero) {
  termios tio{};
  tio.c_cc[VSTART] = 0x21;
  tio.c_cc[VSTOP] = 0x22;
  SerialSettings s;
  s.baud_rate = 115200;
  s.data_bits = 0x107;  // only the low byte counts
  s.stop_bits = StopBits::kTwo;
  s.parity = Parity::kOdd;
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

TEST(Termios, EachFlowSettingReachesItsOwnFlag) {
  const auto flags = [](const SerialSettings& s) {
    termios tio{};
    EXPECT_TRUE(serial_internal::ApplyToTermios(s, tio));
    return std::pair(tio.c_iflag & (IXON | IXOFF | INPCK), tio.c_cflag & CRTSCTS);
  };
  const auto none = std::pair(tcflag_t{0}, tcflag_t{0});
  EXPECT_EQ(flags(SerialSettings{}), none);
  const auto with_flow = [](FlowControl flow) {
    SerialSettings s;
    s.flow_control = flow;
    return s;
  };
  EXPECT_EQ(flags(with_flow({.xon_xoff_send = true, .xon_xoff_receive = false, .rts_cts = false})),
            std::pair(tcflag_t{IXON}, tcflag_t{0}));
  EXPECT_EQ(flags(with_flow({.xon_xoff_send = false, .xon_xoff_receive = true, .rts_cts = false})),
            std::pair(tcflag_t{IXOFF}, tcflag_t{0}));
  EXPECT_EQ(flags(with_flow({.xon_xoff_send = false, .xon_xoff_receive = false, .rts_cts = true})),
            std::pair(tcflag_t{0}, tcflag_t{CRTSCTS}));
  SerialSettings checked;
  checked.check_parity = true;
  EXPECT_EQ(flags(checked), std::pair(tcflag_t{INPCK}, tcflag_t{0}));
}

TEST(Termios, MapsParityStopBitsAndFlowControl) {
  const auto cflag = [](Parity p) {
    termios tio{};
    SerialSettings s;
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
  SerialSettings s;
  s.flow_control = {.xon_xoff_send = true, .xon_xoff_receive = true, .rts_cts = true};
  ASSERT_TRUE(serial_internal::ApplyToTermios(s, tio));
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_TRUE(tio.c_iflag & IXOFF);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  s.flow_control = {};
  ASSERT_TRUE(serial_internal::ApplyToTermios(s, tio));
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);

  // What no tty can do is refused.
  s.baud_rate = 12345;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.baud_rate = 9600;
  s.data_bits = 9;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.data_bits = 8;
  s.stop_bits = StopBits::kOneAndHalf;
  EXPECT_FALSE(serial_internal::ApplyToTermios(s, tio));
  s.data_bits = 5;
  EXPECT_TRUE(serial_internal::ApplyToTermios(s, tio));
}

// A line whose send queue empties at a set rate, behind the device seam.
class SlowLine final : public serial_internal::PortDevice {
 public:
  explicit SlowLine(double bytes_per_second) : rate_(bytes_per_second) {}
  // Flow control holds the line: nothing more goes out.
  void Stall() {
    queued_ = QueuedOut();
    since_ = Clock::now();
    rate_ = 0;
  }
  long ReadSome(void*, std::size_t) override { return 0; }
  long WriteSome(const void*, std::size_t n) override {
    const int room = capacity - QueuedOut();
    if (room <= 0) return 0;
    n = std::min(n, static_cast<std::size_t>(room));
    queued_ = QueuedOut() + static_cast<double>(n);
    since_ = Clock::now();
    return static_cast<long>(n);
  }
  Wait WaitReadable(Clock::time_point deadline) override {
    std::this_thread::sleep_until(deadline);
    return Wait::kTimedOut;
  }
  Wait WaitWritable(Clock::time_point deadline) override {
    if (QueuedOut() >= capacity) std::this_thread::sleep_until(std::min(deadline, Clock::now() + milliseconds(5)));
    return Wait::kReady;
  }
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
  int capacity = 1 << 30;  // the driver's send queue

 private:
  double rate_;
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
  FakeDevices fake([&](const std::string&, const SerialSettings&) {
    auto device = std::make_unique<SlowLine>(960.0);  // 9,600 bit/s
    line = device.get();
    return device;
  });
  SerialPort port;
  ChangeSetting(port, &SerialSettings::port_name, "/slow");
  ChangeSetting(port, &SerialSettings::lock_dir, "");
  // A device whose events cannot be waited for opens all the same.
  SetCallback(port, &SerialPort::Callbacks::on_bytes_received, [] {});
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.EventThread(), nullptr);
  int hook_calls = 0;
  port.SetWaitHook([&] { ++hook_calls; });
  const std::string block(300, 'd');  // about 310 ms on the line
  port.SetTimeouts({.read_ms = 30000, .write_ms = 5000, .read_interval_ms = 0});
  ASSERT_TRUE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);
  EXPECT_GE(hook_calls, 3);

  // A queue that takes longer than the time-out but keeps going down is
  // waited for: the limit counts from its last progress.
  port.SetTimeouts({.read_ms = 30000, .write_ms = 100, .read_interval_ms = 0});
  EXPECT_TRUE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);

  // A queue too small for the block: each time room comes the limit counts
  // anew, so a block that takes longer than it to get in still goes.
  line->capacity = 100;
  EXPECT_TRUE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);
  line->capacity = 1 << 30;

  // A queue that stops going down: not sent, and none of it goes out.
  ASSERT_TRUE(port.WriteQueued(block.data(), static_cast<int>(block.size())));
  line->Stall();
  EXPECT_FALSE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_EQ(line->QueuedOut(), 0);
}

TEST(SlowLineTest, AQueuedWriteLeavesItsBytesQueuedUntilTheNextWriteDrainsThem) {
  SlowLine* line = nullptr;
  FakeDevices fake([&](const std::string&, const SerialSettings&) {
    auto device = std::make_unique<SlowLine>(960.0);
    line = device.get();
    return device;
  });
  SerialPort port;
  ChangeSetting(port, &SerialSettings::port_name, "/slow");
  ChangeSetting(port, &SerialSettings::lock_dir, "");
  ASSERT_TRUE(port.Open());
  port.SetTimeouts({.read_ms = 30000, .write_ms = 5000, .read_interval_ms = 0});
  const std::string block(200, 'd');  // about 210 ms on the line
  ASSERT_TRUE(port.WriteQueued(block.data(), static_cast<int>(block.size())));
  EXPECT_GT(line->QueuedOut(), 100);
  // A purge of what came in leaves what goes out alone.
  port.DiscardInput();
  EXPECT_GT(line->QueuedOut(), 100);
  // The ACK after data: reported sent only once all before it is out too.
  const char ack = 0x06;
  ASSERT_TRUE(port.Write(&ack, 1));
  EXPECT_EQ(line->QueuedOut(), 0);
}

class PortTest : public testing::PortFixture {
 protected:
  // Opens the pty by path with short time-outs.
  void OpenPort(SerialPort& port) {
    ChangeSetting(port, &SerialSettings::port_name, pty_.slave_path());
    port.SetTimeouts({.read_ms = 2000, .write_ms = 2000, .read_interval_ms = 0});
    ASSERT_TRUE(port.Open());
  }
  std::string ReadN(SerialPort& port, int n) {
    std::string s(static_cast<std::size_t>(n), '\0');
    return port.Read(s.data(), n) ? s : std::string("<failed>");
  }
};

TEST_F(PortTest, OpensByPathAppliesTheLineAndRunsOnOpenedInside) {
  SerialPort port;
  int opened = 0;
  bool open_inside = false;
  SetCallback(port, &SerialPort::Callbacks::on_opened, [&] {
    ++opened;
    open_inside = port.IsOpen();
  });
  SerialSettings settings;
  settings.port_name = pty_.slave_path();
  settings.baud_rate = 115200;
  settings.data_bits = 0x107;  // only the low byte counts
  settings.stop_bits = StopBits::kTwo;
  settings.flow_control.xon_xoff_send = true;
  port.SetSettings(settings);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(open_inside);
  EXPECT_EQ(port.DevicePath(), pty_.slave_path());
  EXPECT_EQ(port.EventThread(), nullptr);  // no line callback, no thread

  termios tio{};
  ASSERT_EQ(tcgetattr(watch_fd(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);  // (a pseudo-terminal keeps CS8 whatever it is told)
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_EQ(tio.c_cc[VSTART], 0x13);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x11);

  EXPECT_FALSE(port.Open()) << "a second Open of an open port";
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(opened, 1);
}

TEST_F(PortTest, OpensThroughAPortsLinkAboveCom9) {
  LinkCom(12, pty_.slave_path());
  SerialPort port;
  ChangeSetting(port, &SerialSettings::port_name, "COM12");
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.DevicePath(), pty_.slave_path());
  pty_.Send("x");
  char c = 0;
  EXPECT_TRUE(port.Read(&c, 1));
  EXPECT_EQ(c, 'x');
}

TEST_F(PortTest, MissingDeviceOrUnknownNameDoesNotOpen) {
  SerialPort port;
  ChangeSetting(port, &SerialSettings::port_name, dir_.path() + "/no-such-tty");
  EXPECT_FALSE(port.Open());
  ChangeSetting(port, &SerialSettings::port_name, "COM3");  // no link
  EXPECT_FALSE(port.Open());
  LinkCom(4, dir_.path() + "/gone");  // a link that leads nowhere
  ChangeSetting(port, &SerialSettings::port_name, "COM4");
  EXPECT_FALSE(port.Open());
  ChangeSetting(port, &SerialSettings::port_name, dir_.path());  // not a tty
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.DevicePath(), "");
}

TEST_F(PortTest, HeldDeviceDoesNotOpenUntilReleased) {
  SerialPort first, second;
  OpenPort(first);
  LinkCom(2, pty_.slave_path());
  ChangeSetting(second, &SerialSettings::port_name, "COM2");  // the same device by another name
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
  auto fake = std::make_unique<FakeDevices>([&](const std::string&, const SerialSettings&) {
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
  ChangeSetting(port, &SerialSettings::lock_dir, locks);
  ChangeSetting(port, &SerialSettings::port_name, "/dev/null");  // a character device; the fake stands in for it

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
  ChangeSetting(second, &SerialSettings::lock_dir, locks);
  ChangeSetting(second, &SerialSettings::port_name, port.GetSettings().port_name);
  EXPECT_FALSE(second.Open());
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(std::filesystem::exists(lock_file));

  // A folder we cannot write keeps no one out; a pseudo-terminal has no lock.
  ChangeSetting(port, &SerialSettings::lock_dir, dir_.path() + "/missing");
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(port.Close());
  fake.reset();
  ChangeSetting(port, &SerialSettings::lock_dir, locks);
  OpenPort(port);
  EXPECT_TRUE(std::filesystem::is_empty(locks));
}

TEST_F(PortTest, CloseRunsOnClosedOnceAndTheDestructorCloses) {
  int closes = 0;
  bool open_during_close = true;
  {
    SerialPort port;
    SetCallback(port, &SerialPort::Callbacks::on_closed, [&] {
      ++closes;
      open_during_close = port.IsOpen();
    });
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
  EXPECT_EQ(port.BytesAvailable(), -1);
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

TEST_F(PortTest, BytesAvailableAndDiscardInputSeeTheReceiveBuffer) {
  SerialPort port;
  OpenPort(port);
  EXPECT_EQ(port.BytesAvailable(), 0);
  pty_.Send("0123456789");
  ASSERT_TRUE(WaitQueued(10));
  EXPECT_EQ(port.BytesAvailable(), 10);
  EXPECT_EQ(ReadN(port, 1), "0");
  EXPECT_EQ(port.BytesAvailable(), 9);  // now held by the port, not the device

  port.DiscardInput();
  EXPECT_EQ(port.BytesAvailable(), 0);
  port.SetTimeouts({.read_ms = 50, .write_ms = 2000, .read_interval_ms = 0});
  char c;
  EXPECT_FALSE(port.Read(&c, 1));
  pty_.Send("new");
  port.SetTimeouts({.read_ms = 2000, .write_ms = 2000, .read_interval_ms = 0});
  EXPECT_EQ(ReadN(port, 3), "new");
}

TEST_F(PortTest, ReadTimesOutAtTheReadTimeoutWithNothingOrTooLittle) {
  SerialPort port;
  OpenPort(port);
  port.SetTimeouts({.read_ms = 300, .write_ms = 2000, .read_interval_ms = 0});
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
  port.SetTimeouts({.read_ms = 0, .write_ms = 2000, .read_interval_ms = 0});
  t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_LT(Since(t0), kMargin);
}

TEST_F(PortTest, AGapLongerThanTheReadIntervalFailsTheRead) {
  SerialPort port;
  OpenPort(port);
  port.SetTimeouts({.read_ms = 20000, .write_ms = 2000, .read_interval_ms = 200});
  pty_.Send("ab");
  char buf[4];
  const auto t0 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 4));
  const auto took = Since(t0);
  EXPECT_GE(took, milliseconds(200));
  EXPECT_LT(took, milliseconds(200) + kMargin);

  // The gap limit starts at the first byte: an idle line waits the read
  // time-out.
  port.SetTimeouts({.read_ms = 600, .write_ms = 2000, .read_interval_ms = 200});
  const auto t1 = Clock::now();
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_GE(Since(t1), milliseconds(600));
}

TEST_F(PortTest, WriteThatTimesOutSendsNothingLater) {
  SerialPort port;
  OpenPort(port);
  port.SetTimeouts({.read_ms = 2000, .write_ms = 300, .read_interval_ms = 0});
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
  port.SetTimeouts({.read_ms = 5000, .write_ms = 2000, .read_interval_ms = 0});
  int calls = 0;
  // The byte comes only after the hook has run six times: a Read that
  // never ran it would time out.
  port.SetWaitHook([&] {
    if (++calls == 6) pty_.Send("x");
  });
  EXPECT_EQ(ReadN(port, 1), "x");
  EXPECT_GE(calls, 6);
  const int after_read = calls;

  pty_.Send("y");
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(ReadN(port, 1), "y");
  EXPECT_EQ(calls, after_read) << "data already there: no wait";

  // A full line: the write waits out its time-out, running the hook.
  calls = 0;
  port.SetWaitHook([&] { ++calls; });
  port.SetTimeouts({.read_ms = 5000, .write_ms = 300, .read_interval_ms = 0});
  const std::string block(1 << 20, 'w');
  EXPECT_FALSE(port.Write(block.data(), static_cast<int>(block.size())));
  EXPECT_GE(calls, 3);
  while (!pty_.Receive(1 << 16, milliseconds(100)).empty()) {
  }

  // A hook that closes the port ends the wait with a failure.
  port.SetWaitHook([&] { port.Close(); });
  const auto t0 = Clock::now();
  EXPECT_EQ(ReadN(port, 1), "<failed>");
  EXPECT_LT(Since(t0), kMargin);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(PortTest, HangUpFailsReadAndWriteAtOnce) {
  SerialPort port;
  OpenPort(port);
  port.SetTimeouts({.read_ms = 20000, .write_ms = 20000, .read_interval_ms = 0});
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
