// The simulated handset over its pseudo-terminal, driven byte by byte by a
// tiny PC written here (not the engine).
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <termios.h>
#include <unistd.h>

#include "test_files.h"
#include "handset/sim_handset.h"
#include "protocol/crc16.h"
#include "pty_pair.h"

namespace mirvo::sim {
namespace {

namespace fs = std::filesystem;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;
using namespace std::chrono_literals;

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15;
const std::string kFlagsOff = "00" + std::string(30, '-');

std::string Frame(char type, std::string_view data) {
  const std::uint16_t crc = Crc16(data.data(), data.size());
  std::string f{type, static_cast<char>(data.size() >> 8), static_cast<char>(data.size() & 0xFF)};
  f += data;
  f += static_cast<char>(crc >> 8);
  f += static_cast<char>(crc & 0xFF);
  return f;
}

std::string Trim(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.pop_back();
  return s;
}

std::string RandomBytes(std::size_t n) {
  std::mt19937 gen(42);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// The PC end: the slave side, opened by path as the port would be.
class Pc {
 public:
  explicit Pc(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    EXPECT_GE(fd_, 0) << path;
  }
  ~Pc() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        ASSERT_GT(poll(&p, 1, 5000), 0) << "line stuck";
      } else {
        FAIL() << "write failed";
      }
    }
  }
  void SendText(std::string_view text) { Send(Frame(ETX, std::string(text) + "\r\n")); }

  // Exactly n bytes, or what came before the bound passed.
  std::string Receive(std::size_t n, std::chrono::milliseconds bound = 5s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[65536];
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0 && errno != EAGAIN && errno != EINTR) break;
      if (r > 0) out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }
  int Byte() {
    const std::string b = Receive(1);
    return b.empty() ? -1 : static_cast<unsigned char>(b[0]);
  }

  struct Received {
    int type = -1;
    std::string data;
    bool crc_ok = false;
  };
  Received ReadFrame() {
    Received f;
    f.type = Byte();
    if (f.type != STX && f.type != ETX) return f;
    const std::string len = Receive(2);
    if (len.size() != 2) return f;
    f.data = Receive(static_cast<unsigned char>(len[0]) << 8 | static_cast<unsigned char>(len[1]));
    const std::string crc = Receive(2);
    f.crc_ok = crc.size() == 2 && Frame(ETX, f.data).substr(3 + f.data.size()) == crc;
    return f;
  }
  std::string Reply() {
    const Received f = ReadFrame();
    EXPECT_EQ(f.type, ETX);
    EXPECT_TRUE(f.crc_ok);
    return Trim(f.data);
  }
  // Command frame, the handset's ACK, its reply.
  std::string Command(std::string_view text) {
    SendText(text);
    EXPECT_EQ(Byte(), ACK) << text;
    return Reply();
  }
  // PC: ACK; HS: EOT; PC: ACK.
  void CloseError() {
    Send({&ACK, 1});
    EXPECT_EQ(Byte(), EOT);
    Send({&ACK, 1});
  }
  // After "OK": STX frames, a last ETX frame, then ACK, "OK", the handset's ACK.
  std::string Data(std::vector<std::size_t>* sizes = nullptr) {
    Send({&ACK, 1});
    std::string all;
    for (;;) {
      const Received f = ReadFrame();
      EXPECT_TRUE(f.crc_ok);
      if (!f.crc_ok) return all;
      all += f.data;
      if (sizes) sizes->push_back(f.data.size());
      if (f.type == ETX) break;
      EXPECT_EQ(f.type, STX);
    }
    Send({&ACK, 1});
    SendText("OK");
    EXPECT_EQ(Byte(), ACK);
    return all;
  }
  void Link() {
    Send({&ENQ, 1});
    EXPECT_EQ(Byte(), ACK);
  }
  void Start(const std::string& password = "0000") {
    Link();
    ASSERT_EQ(Command("FT_START[" + password + "]"), "OK");
    Send({&ACK, 1});
  }
  // PC data frames of 1024 bytes, the last one ETX.
  void Upload(const std::string& data) {
    for (std::size_t off = 0; off < data.size(); off += 1024) {
      const bool last = off + 1024 >= data.size();
      Send(Frame(last ? ETX : STX, data.substr(off, 1024)));
    }
  }

 private:
  int fd_;
};

// Options with some fields changed: With([](HandsetOptions& o) { ... }).
template <class F>
HandsetOptions With(F change) {
  HandsetOptions options;
  change(options);
  return options;
}

class HandsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(dir_.path());
    WriteFile(root_ / "a.txt", "abc");
    WriteFile(root_ / "dir/sub/f.txt", "deep");
    WriteFile(root_ / "表/ソ.txt", RandomBytes(1'000'000));
    WriteFile(root_ / "guarded.bin", "g");
    WriteFile(root_ / "protected.bin", "p");
    WriteFile(root_ / ".handset-attributes",
              "guarded.bin\t01" + std::string(30, '-') + "\nprotected.bin\t10" + std::string(30, '-') + "\n");
  }
  void Start(HandsetOptions options = {}) {
    handset_ = std::make_unique<SimHandset>(root_, std::move(options));
    pc_ = std::make_unique<Pc>(handset_->DevicePath());
  }

  testing::TempDir dir_;
  fs::path root_;
  std::unique_ptr<SimHandset> handset_;
  std::unique_ptr<Pc> pc_;
};

TEST_F(HandsetTest, AnswersIdentificationLikeAModem) {
  Start(With([](HandsetOptions& o) { o.vendor = "ZQR"; o.model = "TQ-R5102K"; }));
  pc_->Send("ATZ\r\n");
  EXPECT_EQ(pc_->Receive(11), "ATZ\r\n\r\nOK\r\n");  // echo on until ATE0
  pc_->Send("ATE0\r\n");
  EXPECT_EQ(pc_->Receive(12), "ATE0\r\n\r\nOK\r\n");
  pc_->Send("ATI3\r\n");
  EXPECT_EQ(pc_->Receive(13), "\r\nZQR\r\n\r\nOK\r\n");
  pc_->Send("ATI4\r\n");
  EXPECT_EQ(pc_->Receive(19), "\r\nTQ-R5102K\r\n\r\nOK\r\n");
  pc_->Send("ATX9\r\n");
  EXPECT_EQ(pc_->Receive(9), "\r\nERROR\r\n");
  EXPECT_TRUE(handset_->WaitForCommand("ATX9", 5s));
  EXPECT_EQ(handset_->Commands(), (std::vector<std::string>{"ATZ", "ATE0", "ATI3", "ATI4", "ATX9"}));
  EXPECT_EQ(handset_->ReceivedBytes(), "ATZ\r\nATE0\r\nATI3\r\nATI4\r\nATX9\r\n");
}

TEST_F(HandsetTest, SilentAndEndlessModems) {
  Start(With([](HandsetOptions& o) { o.modem = ModemMode::kSilent; }));
  pc_->Send("ATI3\r\n");
  pc_->Link();  // the first byte back is the link's ACK: nothing came for ATI3
  EXPECT_TRUE(handset_->State().link_up);

  Start(With([](HandsetOptions& o) { o.modem = ModemMode::kEndless; }));
  pc_->Send("ATI3\r\n");
  const std::string flood = pc_->Receive(4096);
  ASSERT_EQ(flood.size(), 4096u);
  EXPECT_EQ(flood.find("OK"), std::string::npos);
  pc_->Send({&ENQ, 1});  // the PC speaks: the stream ends, the link's ACK follows it
  bool acked = false;
  for (std::string more; !acked && !(more = pc_->Receive(1, 5s)).empty();) acked = more[0] == ACK;
  EXPECT_TRUE(acked);
}

TEST_F(HandsetTest, LinkSessionAndPassword) {
  Start(With([](HandsetOptions& o) { o.password = "1234"; }));
  pc_->Link();
  EXPECT_EQ(pc_->Command("GET_LIST"), "ERROR");  // no session yet
  pc_->CloseError();
  EXPECT_EQ(pc_->Command("FT_START[0000]"), "ERROR");
  pc_->CloseError();
  EXPECT_EQ(pc_->Command("FT_START[1234]"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_TRUE(handset_->WaitForCommand("FT_START[1234]", 5s));
  EXPECT_TRUE(handset_->State().session_open);
  EXPECT_EQ(pc_->Command("NO_SUCH"), "ERROR");
  pc_->CloseError();
  EXPECT_EQ(pc_->Command("FT_END"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Send({&EOT, 1});
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_TRUE(handset_->WaitFor([](const HandsetState& s) { return !s.link_up && !s.session_open; }, 5s));
  // A command frame whose CRC is wrong is refused.
  pc_->Link();
  std::string bad = Frame(ETX, "GET_LIST\r\n");
  bad.back() ^= 1;
  pc_->Send(bad);
  EXPECT_EQ(pc_->Byte(), NAK);
}

TEST_F(HandsetTest, ListLeavesInFramesOfTheChosenSize) {
  Start(With([](HandsetOptions& o) { o.list_frame_bytes = 16; }));
  pc_->Start();
  ASSERT_EQ(pc_->Command("GET_LIST"), "OK");
  std::vector<std::size_t> sizes;
  const std::string list = pc_->Data(&sizes);
  ASSERT_GT(sizes.size(), 3u);
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 16u);
  EXPECT_LE(sizes.back(), 16u);
  // 0xA5 between folders, code page 932 names whose second byte is 0x5C.
  EXPECT_NE(list.find("dir\xA5sub\xA5" "f.txt,4,"), std::string::npos) << list;
  EXPECT_NE(list.find("\r\n\x95\x5C\xA5\x83\x5C.txt,1000000,"), std::string::npos);
  EXPECT_NE(list.find(",01" + std::string(30, '-') + ",\r\n"), std::string::npos);
  EXPECT_EQ(list.find(".handset-attributes"), std::string::npos);

  Start();  // default: a short list is a single ETX frame
  pc_->Start();
  ASSERT_EQ(pc_->Command("GET_LIST"), "OK");
  sizes.clear();
  EXPECT_EQ(pc_->Data(&sizes), list);
  EXPECT_EQ(sizes.size(), 1u);
}

TEST_F(HandsetTest, FilesTravelByteExactBothWays) {
  Start();
  pc_->Start();
  ASSERT_EQ(pc_->Command("GET_FILE[\x95\x5C\xA5\x83\x5C.txt]"), "OK");
  std::vector<std::size_t> sizes;
  const std::string down = pc_->Data(&sizes);
  EXPECT_EQ(down, ReadFile(root_ / "表/ソ.txt"));
  ASSERT_EQ(sizes.size(), 977u);
  EXPECT_EQ(sizes.front(), 1024u);
  EXPECT_EQ(sizes.back(), 1'000'000u - 976 * 1024);

  const std::string up = RandomBytes(1'000'000);
  ASSERT_EQ(pc_->Command("PUT_FILE[new\xA5\x95\x5C.bin,1000000," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Upload(up);
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Reply(), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(ReadFile(root_ / "new/表.bin"), up);

  // An empty file: no data frame at all, straight to ACK and "OK".
  ASSERT_EQ(pc_->Command("PUT_FILE[empty.txt,0," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Reply(), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_TRUE(handset_->WaitFor([](const HandsetState& s) { return s.files_stored == 2; }, 5s));
  EXPECT_TRUE(fs::is_regular_file(root_ / "empty.txt"));
  // And back: one ETX frame with no data.
  ASSERT_EQ(pc_->Command("GET_FILE[empty.txt]"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Receive(5), std::string("\x03\x00\x00\x00\x00", 5));
}

TEST_F(HandsetTest, RefusalsNamesAndDelete) {
  Start();
  pc_->Start();
  EXPECT_EQ(pc_->Command("GET_FILE[guarded.bin]"), "REJ");  // copy guard
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("GET_FILE[dir\\sub\\f.txt]"), "ERROR");  // "\" is no separator here
  pc_->CloseError();
  EXPECT_EQ(pc_->Command("GET_FILE[none.txt]"), "ERROR");
  pc_->CloseError();
  for (const std::string name : {"..\xA5" "escape.txt", "/tmp/abs.txt", ""}) {
    EXPECT_EQ(pc_->Command("PUT_FILE[" + name + ",1," + kFlagsOff + "]"), "ERROR") << name;
    pc_->CloseError();
  }
  EXPECT_EQ(pc_->Command("PUT_FILE[protected.bin,1," + kFlagsOff + "]"), "REJ");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("DEL[protected.bin]"), "REJ");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("DEL[dir\\sub\\f.txt]"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("DEL[dir\\sub\\f.txt]"), "ERROR");
  pc_->CloseError();
  EXPECT_TRUE(handset_->WaitForCommand("DEL[dir", 5s));
  EXPECT_FALSE(fs::exists(root_ / "dir/sub/f.txt"));
  EXPECT_EQ(ReadFile(root_ / "protected.bin"), "p");
  EXPECT_FALSE(fs::exists(root_.parent_path() / "escape.txt"));

  // The byte count must match the size announced: NAK, nothing stored.
  ASSERT_EQ(pc_->Command("PUT_FILE[short.bin,5," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Upload("abc");
  EXPECT_EQ(pc_->Byte(), NAK);
  pc_->Link();
  EXPECT_FALSE(fs::exists(root_ / "short.bin"));
}

TEST_F(HandsetTest, ForcedReplies) {
  Start();
  pc_->Start();
  handset_->SetReply("GET_LIST", "REJ");
  EXPECT_EQ(pc_->Command("GET_LIST"), "REJ");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("GET_LIST"), "OK");  // one-shot
  pc_->Data();
  handset_->SetReply("DEL", "BUSY");
  EXPECT_EQ(pc_->Command("DEL[a.txt]"), "BUSY");
  EXPECT_TRUE(fs::exists(root_ / "a.txt"));
  handset_->SetReply("*", "ERROR", -1);
  EXPECT_EQ(pc_->Command("DEL[a.txt]"), "ERROR");  // no ACK was awaited after BUSY
  pc_->CloseError();
  EXPECT_EQ(pc_->Command("GET_LIST"), "ERROR");
  pc_->CloseError();
  handset_->ClearReplies();
  // Another text for GET_FILE: the PC acknowledges it, and no data follows.
  handset_->SetReply("GET_FILE", "HUH");
  pc_->SendText("GET_FILE[a.txt]");
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Reply(), "HUH");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Command("GET_FILE[a.txt]"), "OK");
}

TEST_F(HandsetTest, FrameFaults) {
  Start(With([](HandsetOptions& o) { o.list_frame_bytes = 16; }));
  pc_->Start();

  handset_->CorruptCrc(2);  // 1: the reply, 2: the first list frame
  ASSERT_EQ(pc_->Command("GET_LIST"), "OK");
  pc_->Send({&ACK, 1});
  auto f = pc_->ReadFrame();
  EXPECT_EQ(f.type, STX);
  EXPECT_FALSE(f.crc_ok);
  pc_->Send({&NAK, 1});
  // As the PC's re-link does once the handset has stopped: the rest of the
  // list goes. (An output flush could throw the NAK away unread.)
  ASSERT_TRUE(handset_->WaitFor([](const HandsetState& s) { return !s.busy; }, 5s));
  tcflush(pc_->fd(), TCIFLUSH);
  pc_->Link();

  handset_->OversizeLength(1, 0xFFFF, 10);
  pc_->SendText("FT_START[0000]");
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Receive(13), std::string("\x03\xFF\xFF" "OK\r\nXXXXXX", 13));
  pc_->Link();  // then silence: the next byte is the link's ACK

  handset_->OversizeLength(1);
  pc_->SendText("FT_START[0000]");
  EXPECT_EQ(pc_->Byte(), ACK);
  f = pc_->ReadFrame();
  EXPECT_EQ(f.data.size(), 0xFFFFu);
  EXPECT_TRUE(f.crc_ok);
  pc_->Send({&ACK, 1});

  handset_->SilenceFrom(5, 2);
  ASSERT_EQ(pc_->Command("GET_FILE[a.txt]"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->Receive(5), std::string("\x03\x00\x03" "ab", 5));
  pc_->Link();

  handset_->GarbageBefore(1, "zz");
  pc_->SendText("GET_FILE[a.txt]");
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Receive(2), "zz");
  EXPECT_EQ(pc_->Reply(), "OK");
  EXPECT_EQ(pc_->Data(), "abc");
}

TEST_F(HandsetTest, HandsetEndsTheSession) {
  Start(With([](HandsetOptions& o) { o.list_frame_bytes = 16; }));
  pc_->Start();
  auto answer_end = [&] {
    pc_->Send({&ACK, 1});
    pc_->SendText("OK");
    EXPECT_EQ(pc_->Byte(), ACK);
    EXPECT_EQ(pc_->Byte(), EOT);
    pc_->Send({&ACK, 1});
  };
  handset_->SendFtEnd();  // while idle
  EXPECT_EQ(pc_->Reply(), "FT_END");
  answer_end();
  EXPECT_TRUE(handset_->WaitFor([](const HandsetState& s) { return s.handset_ends == 1 && !s.busy; }, 5s));
  EXPECT_FALSE(handset_->State().session_open);
  EXPECT_FALSE(handset_->State().link_up);

  pc_->Start();
  handset_->FtEndInPlaceOf(3, true);  // reply, first list frame, then FT_END as an STX frame
  ASSERT_EQ(pc_->Command("GET_LIST"), "OK");
  pc_->Send({&ACK, 1});
  EXPECT_EQ(pc_->ReadFrame().type, STX);
  const auto end = pc_->ReadFrame();
  EXPECT_EQ(end.type, STX);
  EXPECT_EQ(end.data, "FT_END\r\n");
  answer_end();
  EXPECT_TRUE(handset_->WaitFor([](const HandsetState& s) { return s.handset_ends == 2; }, 5s));
}

TEST_F(HandsetTest, UploadFrameRefusedByNak) {
  Start();
  pc_->Start();
  handset_->NakUploadFrame(2);
  ASSERT_EQ(pc_->Command("PUT_FILE[three.bin,2100," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Upload(std::string(2100, 'u'));  // the last frame is ETX: it must not pass for a command
  EXPECT_EQ(pc_->Byte(), NAK);
  pc_->Link();
  EXPECT_EQ(handset_->Commands().back(), "PUT_FILE[three.bin,2100," + kFlagsOff + "]");
  EXPECT_FALSE(fs::exists(root_ / "three.bin"));
  // The setting was used up: the same upload now goes through.
  ASSERT_EQ(pc_->Command("PUT_FILE[three.bin,2100," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Upload(std::string(2100, 'u'));
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Reply(), "OK");
  EXPECT_EQ(ReadFile(root_ / "three.bin"), std::string(2100, 'u'));
}

TEST_F(HandsetTest, GarbageAndHangUp) {
  Start();
  handset_->SendGarbage(std::string("\xFF\x00junk", 6));
  EXPECT_EQ(pc_->Receive(6), std::string("\xFF\x00junk", 6));
  handset_->HangUp();
  EXPECT_TRUE(handset_->State().hung_up);
  pollfd p{pc_->fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char c;
  EXPECT_LE(read(pc_->fd(), &c, 1), 0);
}

TEST_F(HandsetTest, UnpluggedAndPluggedInAgain) {
  const fs::path link = root_ / "settings/ports/COM3";
  Start(With([&](HandsetOptions& o) { o.port_link = link; }));
  EXPECT_EQ(fs::read_symlink(link), handset_->DevicePath());
  pc_->Send("ATE0\r\n");
  EXPECT_EQ(pc_->Receive(12), "ATE0\r\n\r\nOK\r\n");
  handset_->Unplug();
  EXPECT_TRUE(handset_->State().hung_up);
  EXPECT_FALSE(fs::is_symlink(link));
  pollfd p{pc_->fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);

  ASSERT_TRUE(handset_->Replug());
  EXPECT_FALSE(handset_->State().hung_up);
  EXPECT_EQ(fs::read_symlink(link), handset_->DevicePath());
  pc_ = std::make_unique<Pc>(handset_->DevicePath());
  pc_->Send("ATI3\r\n");
  EXPECT_EQ(pc_->Receive(19), "ATI3\r\n\r\nZQR\r\n\r\nOK\r\n");  // a fresh line: echo on again
}

TEST_F(HandsetTest, PacedLineStillCarriesEveryByte) {
  // No timing asserted here (benchmarks measure it): the paced paths must
  // move the same bytes in both directions.
  Start(With([](HandsetOptions& o) { o.bytes_per_second = 400'000; }));
  pc_->Start();
  const std::string up = RandomBytes(30'000);
  ASSERT_EQ(pc_->Command("PUT_FILE[paced.bin,30000," + kFlagsOff + "]"), "OK");
  pc_->Send({&ACK, 1});
  pc_->Upload(up);
  EXPECT_EQ(pc_->Byte(), ACK);
  EXPECT_EQ(pc_->Reply(), "OK");
  pc_->Send({&ACK, 1});
  ASSERT_EQ(pc_->Command("GET_FILE[paced.bin]"), "OK");
  EXPECT_EQ(pc_->Data(), up);
}

}  // namespace
}  // namespace mirvo::sim
