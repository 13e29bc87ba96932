// The frame exchange against a peer the test scripts byte by byte.
#include <atomic>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "engine_fixture.h"
#include "protocol/crc16.h"

using namespace mirvo;
using namespace mirvo::testing;
using namespace std::chrono;

namespace {

class ExchangeTest : public EngineTest {
 protected:
  void SetUp() override { OpenEngine(pty_.slave_path()); }
  PtyPair pty_;
};

template <class F>
milliseconds Timed(F&& f) {
  const auto start = steady_clock::now();
  f();
  return duration_cast<milliseconds>(steady_clock::now() - start);
}

}  // namespace

TEST_F(ExchangeTest, WaitAckTakesAControlByteAndRefusesEnq) {
  std::uint8_t c = 0;
  pty_.Send("\x06");
  EXPECT_EQ(engine_->WaitAck(c), ExchangeResult::Ok);
  EXPECT_EQ(c, kAck);
  pty_.Send("\x05");
  EXPECT_EQ(engine_->WaitAck(c), ExchangeResult::Broken);
  EXPECT_EQ(c, kEnq);
  // An ETX frame is accepted by the wait; the caller judges the byte.
  pty_.Send(Frame(kEtx, "OK", true));
  EXPECT_EQ(engine_->WaitAck(c), ExchangeResult::Ok);
  EXPECT_EQ(c, kEtx);
  EXPECT_TRUE(Traced(" ACK待ちタイマ起動"));
  EXPECT_TRUE(Traced(" ACK待ちタイマIdle"));
  EXPECT_TRUE(Traced("ACK受信(Len=1)"));
}

TEST_F(ExchangeTest, SilenceTimesOutWithinTheWait) {
  std::uint8_t c = 0;
  int fired = 0;
  engine_->On().ack_wait_failed = [&] { ++fired; };
  ExchangeResult r = ExchangeResult::Ok;
  const auto took = Timed([&] { r = engine_->WaitAck(c); });
  EXPECT_EQ(r, ExchangeResult::Refused);
  EXPECT_GE(took, milliseconds(400));
  EXPECT_LT(took, milliseconds(400 + 1000));
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(Traced(" 受信タイムアウト"));
  EXPECT_TRUE(Traced(" データ受信待:データサイズ:1byte, タイムアウト:400ms"));
}

TEST_F(ExchangeTest, TheWaitIsPerByteNotPerFrame) {
  // Each byte arrives 150 ms after the last: the frame takes far longer than
  // the 400 ms wait, yet no single gap does.
  const std::string frame = Frame(kEtx, "OK", true);
  std::thread peer([&] {
    for (char b : frame) {
      pty_.Send(std::string(1, b));
      std::this_thread::sleep_for(milliseconds(150));  // the peer's pace, not a wait for a result
    }
  });
  std::string reply;
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Ok);
  EXPECT_EQ(reply, "OK");
  peer.join();
}

TEST_F(ExchangeTest, WaitReplyRefusesStxAndChecksTheCrc) {
  std::string reply;
  pty_.Send(Frame(kStx, "OK", true));
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Broken);

  std::string bad = Frame(kEtx, "OK", true);
  std::swap(bad[bad.size() - 1], bad[bad.size() - 2]);  // CRC sent little-endian
  pty_.Send(bad);
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Failed);
  EXPECT_EQ(notices_, Notices{EngineNotice::kCrcError});

  pty_.Send(std::string("\x03\x00\x00", 3));  // empty data field: no CRC is read
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Failed);
  pty_.Send(Frame(kEtx, "  \tREJ \r\n"));
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Ok);
  EXPECT_EQ(reply, "REJ");
}

TEST_F(ExchangeTest, OversizedLengthIsDrainedNeverWrittenPastTheBuffer) {
  std::string huge(3000, 'x');
  pty_.Send(Frame(kEtx, huge));
  char buffer[1024 + 16];
  std::memset(buffer, 0x5A, sizeof buffer);
  std::uint8_t type = 0;
  int length = 0;
  EXPECT_EQ(engine_->ReceiveFrame(type, buffer, 1024, 400, length), ExchangeResult::Failed);
  for (std::size_t i = 1024; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0x5A) << i;
  // The line is clean afterwards: the next frame is read normally.
  pty_.Send(Frame(kEtx, "OK", true));
  std::string reply;
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Ok);
  EXPECT_EQ(reply, "OK");
}

TEST_F(ExchangeTest, HandsetEndInsideAReplyIsAnsweredAndReported) {
  int ended = 0;
  engine_->On().handset_ended = [&] { ++ended; };
  // Everything the handset will say, queued up front: FT_END, then ACK to
  // our "OK", then EOT.
  pty_.Send(Frame(kEtx, " FT_END \r\n") + "\x06\x04");
  std::string reply;
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::HandsetEnded);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(notices_, Notices{EngineNotice::kHandsetEnded});
  // PC: ACK, ETX "OK" CR LF, ACK
  EXPECT_EQ(pty_.Receive(11), "\x06" + Frame(kEtx, "OK", true) + "\x06");
  EXPECT_TRUE(Traced("■端末側から切断要求処理開始■"));
  EXPECT_TRUE(Traced("■端末側から切断要求処理終了■"));
}

TEST_F(ExchangeTest, HandsetEndWithoutTheClosingEotDoesNotFire) {
  int ended = 0;
  engine_->On().handset_ended = [&] { ++ended; };
  pty_.Send(Frame(kEtx, "FT_END", true) + "\x06");
  std::uint8_t c = 0;
  EXPECT_EQ(engine_->WaitAck(c), ExchangeResult::HandsetEnded);
  EXPECT_EQ(ended, 0);
}

TEST_F(ExchangeTest, TextThatOnlyBeginsWithFtEndIsAnOrdinaryReply) {
  pty_.Send(Frame(kEtx, "FT_END_NOW", true));
  std::string reply;
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::Ok);
  EXPECT_EQ(reply, "FT_END_NOW");
  EXPECT_TRUE(notices_.empty());
}

TEST_F(ExchangeTest, AwaitEotAcknowledgesOnlyEot) {
  EXPECT_EQ(engine_->AwaitEot(ExchangeResult::Ok), ExchangeResult::Ok);  // only Failed starts the wait
  pty_.Send("\x04");
  EXPECT_EQ(engine_->AwaitEot(ExchangeResult::Failed), ExchangeResult::Failed);
  EXPECT_EQ(pty_.Receive(1), "\x06");
  pty_.Send("\x06");
  EXPECT_EQ(engine_->AwaitEot(ExchangeResult::Failed), ExchangeResult::Broken);
}

TEST_F(ExchangeTest, SentFramesAreTracedAndMatchTheWire) {
  EXPECT_EQ(engine_->SendText("GET_LIST"), ExchangeResult::Ok);
  EXPECT_EQ(pty_.Receive(15), Frame(kEtx, "GET_LIST", true));
  EXPECT_EQ(engine_->SendControl(kEnq), ExchangeResult::Ok);
  EXPECT_EQ(pty_.Receive(1), "\x05");
  const std::string trace = Trace();
  EXPECT_NE(trace.find(text::Cp932("ETX送信(Len=15)\r\n")), std::string::npos);
  EXPECT_NE(trace.find("00000000: 03 00 0A 47 45 54 5F 4C-49 53 54 0D 0A 81 9A     ...GET_LIST....\r\n"),
            std::string::npos);
  EXPECT_NE(trace.find(text::Cp932("ENQ送信(Len=1)")), std::string::npos);
}

TEST_F(ExchangeTest, HangUpFailsAtOnce) {
  pty_.HangUp();
  std::uint8_t c = 0;
  ExchangeResult r = ExchangeResult::Ok;
  SetAckTimeout(60000);
  const auto took = Timed([&] { r = engine_->WaitAck(c); });
  EXPECT_NE(r, ExchangeResult::Ok);
  EXPECT_LT(took, milliseconds(2000));
}

TEST_F(ExchangeTest, EveryCommandIsBrokenAgainstASilentLine) {
  std::vector<std::string> lines{"kept"};
  std::string data = "kept";
  EXPECT_EQ(engine_->EstablishLink(), ExchangeResult::Broken);
  EXPECT_EQ(engine_->ReleaseLink(), ExchangeResult::Broken);
  EXPECT_EQ(engine_->FtStart("0000"), ExchangeResult::Broken);
  EXPECT_EQ(engine_->FtEnd(), ExchangeResult::Broken);
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  EXPECT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Broken);
  EXPECT_EQ(lines, std::vector<std::string>{"kept"});
  EXPECT_EQ(data, "kept");
  EXPECT_FALSE(Traced("■データリンク確立・成功■"));
  EXPECT_TRUE(notices_.empty());
}

TEST_F(ExchangeTest, AnswersOtherThanAckFailTheLink) {
  pty_.Send("\x15");  // NAK to ENQ
  EXPECT_EQ(engine_->EstablishLink(), ExchangeResult::Broken);
  EXPECT_EQ(pty_.Receive(1), "\x05");
  pty_.Send("\x04");  // EOT to EOT
  EXPECT_EQ(engine_->ReleaseLink(), ExchangeResult::Broken);
  pty_.Send("\x06");
  EXPECT_EQ(engine_->ReleaseLink(), ExchangeResult::Ok);
  EXPECT_TRUE(Traced("■データリンク開放・成功■"));
}

TEST_F(ExchangeTest, AStopEndsAWaitAtOnce) {
  SetAckTimeout(60'000);
  std::stop_source stop;
  port_->SetStopToken(stop.get_token());
  std::jthread stopper([&] {
    pty_.Receive(1);  // the ENQ is out: the ACK wait has begun
    stop.request_stop();
  });
  const auto start = steady_clock::now();
  EXPECT_EQ(engine_->EstablishLink(), ExchangeResult::Broken);
  EXPECT_LT(steady_clock::now() - start, seconds(10));
  EXPECT_TRUE(Traced(" 受信タイムアウト"));
}

TEST_F(ExchangeTest, AnEndRepeatedWhileItIsAnsweredFailsTheAnswerOnce) {
  int ended = 0;
  engine_->On().handset_ended = [&] { ++ended; };
  std::string ends;
  for (int i = 0; i < 50; ++i) ends += Frame(kEtx, "FT_END", true);
  pty_.Send(ends);
  std::uint8_t c = 0;
  EXPECT_EQ(engine_->WaitAck(c), ExchangeResult::HandsetEnded);
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(notices_, Notices{EngineNotice::kHandsetEnded});
}

TEST_F(ExchangeTest, AFrameTooBigForItsLengthIsNotSent) {
  const std::string data(0xFFFE, 'x');
  EXPECT_EQ(engine_->SendFrame(kStx, data.data(), 0xFFFE, true), ExchangeResult::Refused);
  EXPECT_TRUE(Traced("STX送信失敗"));
  EXPECT_EQ(engine_->SendControl(kEot), ExchangeResult::Ok);
  EXPECT_EQ(pty_.Receive(1), "\x04");  // nothing went before it
}

// A handset that sends the file after an answer the engine does not know:
// what follows is drained, never read as the next command's answer.
TEST_F(ExchangeTest, DataAfterAnUnknownReplyIsNoAnswerToTheNextCommand) {
  pty_.Send("\x06" + Frame(kEtx, "BUSY", true) + Frame(kStx, "\x06\x06") + Frame(kEtx, "\x06OK"));
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::UnknownReply);
  pty_.Send("\x06" + Frame(kEtx, "OK", true));
  EXPECT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Ok);
}

// A name no frame can carry fails its own command, before the line is
// touched: the session goes on.
TEST_F(ExchangeTest, ACommandTooLongForAFrameIsRefusedWithoutTouchingTheLine) {
  const std::string name(70000, 'n');
  std::string data = "kept";
  EXPECT_EQ(engine_->GetFile(data, name), ExchangeResult::Refused);
  EXPECT_EQ(engine_->DelFile(name), ExchangeResult::Refused);
  const std::string local = dir_.path() + "/u.txt";
  WriteFile(local, "u");
  EXPECT_EQ(engine_->PutFile(name + "\\", local, std::string(32, '-')), ExchangeResult::Refused);
  EXPECT_EQ(data, "kept");
  EXPECT_EQ(engine_->SendControl(kEot), ExchangeResult::Ok);
  EXPECT_EQ(pty_.Receive(1), "\x04");  // nothing went before it
}

TEST_F(ExchangeTest, AnEmptyStxFrameIsNoEmptyFile) {
  std::string data = "kept";
  // The reply, then an STX frame with no data, then what would finish a file.
  pty_.Send("\x06" + Frame(kEtx, "OK", true) + std::string("\x02\x00\x00\x00\x00", 5) + Frame(kEtx, "abc") + "\x06");
  EXPECT_NE(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
  EXPECT_EQ(data, "kept");
}

// A handset that needs longer than the data wait to prepare the first frame:
// it is sent from the port's wait hook once that time is past.
TEST_F(ExchangeTest, TheFirstDataFrameMayTakeLongerThanTheDataWait) {
  auto timeouts = engine_->GetTimeouts();
  timeouts.data = 150;
  timeouts.first_frame = 5000;
  engine_->SetTimeouts(timeouts);
  std::string late;
  steady_clock::time_point since;
  port_->SetWaitHook([&] {
    if (!late.empty() && steady_clock::now() - since > milliseconds(3 * timeouts.data)) {
      pty_.Send(late);
      late.clear();
    }
  });
  auto after_the_reply = [&](std::string frames) {
    pty_.Send("\x06" + Frame(kEtx, "OK", true));
    late = frames + "\x06";
    since = steady_clock::now();
  };
  after_the_reply(Frame(kEtx, "a.txt,5,,,\r\n"));
  std::vector<std::string> lines;
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Ok);
  EXPECT_EQ(lines, std::vector<std::string>{"a.txt,5,,,"});
  after_the_reply(Frame(kStx, "alp") + Frame(kEtx, "ha"));
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
  EXPECT_EQ(data, "alpha");
}

// A handset that answers a list or file with control bytes without end.
TEST_F(ExchangeTest, AnEndlessRunOfControlBytesEndsAList) {
  engine_->SetLimits({.max_control_run = 8});
  pty_.Send("\x06" + Frame(kEtx, "OK", true) + std::string(8, '\x06') + Frame(kEtx, "a.txt,5,,,") + "\x06");
  std::vector<std::string> lines{"kept"};
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);
  EXPECT_EQ(lines, std::vector<std::string>{"kept"});
  EXPECT_EQ(notices_, Notices{EngineNotice::kListFailed});
}

TEST_F(ExchangeTest, AnEndlessRunOfControlBytesEndsAFile) {
  engine_->SetLimits({.max_control_run = 8});
  pty_.Send("\x06" + Frame(kEtx, "OK", true) + std::string(8, '\x06') + Frame(kEtx, "abc") + "\x06");
  std::string data = "kept";
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  EXPECT_EQ(data, "kept");
}

// After a bad frame, a handset that never stops sending still ends the
// download within the bound of the drain.
TEST_F(ExchangeTest, AHandsetThatNeverStopsFailsTheRecovery) {
  const std::string block(1024, 'd');
  std::string bad = Frame(kStx, block);
  bad.back() = static_cast<char>(bad.back() ^ 1);
  std::atomic<bool> stop{false};
  std::thread handset([&] {
    pty_.Send("\x06" + Frame(kEtx, "OK", true) + bad);
    const std::string frame = Frame(kStx, block);
    while (!stop) {
      [[maybe_unused]] const auto n = ::write(pty_.master(), frame.data(), frame.size());
      std::this_thread::sleep_for(milliseconds(2));  // the pace of the line
    }
  });
  std::string data = "kept";
  ExchangeResult r = ExchangeResult::Ok;
  const auto took = Timed([&] { r = engine_->GetFile(data, "a.txt"); });
  stop = true;
  handset.join();
  EXPECT_EQ(r, ExchangeResult::Broken);
  EXPECT_EQ(data, "kept");
  EXPECT_LT(took, seconds(5));
  EXPECT_TRUE(Traced(" 回線が静止しません"));
}

// Frames that come after the NAK, once the line had been quiet, are passed
// over whole by the new link: ACK bytes inside them, in their data or in
// their CRC, are no answer.
TEST_F(ExchangeTest, TheNewLinkPassesOverALateFrame) {
  std::string bad = Frame(kStx, "abc");
  bad.back() = static_cast<char>(bad.back() ^ 1);
  std::string ack_in_crc = "crc";
  for (int i = 0; Crc16(ack_in_crc.data(), ack_in_crc.size()) >> 8 != kAck; ++i) ack_in_crc = "crc" + std::to_string(i);
  std::string wire;
  std::thread handset([&] {
    pty_.Send("\x06" + Frame(kEtx, "OK", true) + bad);
    // GET_FILE, the ACK of the reply, NAK, then the new link's ENQ.
    wire = pty_.Receive(Frame(kEtx, "GET_FILE[a.txt]", true).size() + 3);
    pty_.Send(Frame(kStx, std::string(10, '\x06')) + Frame(kEtx, std::string(10, '\x06')) + Frame(kStx, ack_in_crc) +
              "\x06");
  });
  std::string data = "kept";
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::FrameLost);
  handset.join();
  EXPECT_EQ(wire.substr(wire.size() - 3), "\x06\x15\x05");
  EXPECT_EQ(data, "kept");
  EXPECT_EQ(port_->BytesAvailable(), 0);
}
