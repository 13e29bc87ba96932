// The commands end to end against the simulated handset.
#include <filesystem>
#include <fstream>

#include "engine_fixture.h"
#include "posted_queue.h"
#include "test_files.h"
#include "handset/sim_handset.h"

using namespace mirvo;
using namespace mirvo::testing;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

class SessionTest : public EngineTest {
 protected:
  void Start(sim::HandsetOptions options = {}) {
    options.wait = milliseconds(3000);
    root_ = dir_.path() + "/handset";
    fs::create_directories(root_);
    WriteFile(root_ / "a.txt", "alpha");
    WriteFile(root_ / "dir" / "b.bin", PatternBytes(3000));
    WriteFile(root_ / "写真.jpg", "jpeg");
    handset_ = std::make_unique<sim::SimHandset>(root_, options);
    OpenEngine(handset_->DevicePath());
  }
  void SetUp() override {}
  void TearDown() override {
    EngineTest::TearDown();
    handset_.reset();
  }
  // The handset has finished its side of the last exchange (the PC's last
  // byte may still be on its way when the engine returns).
  void Settle() {
    ASSERT_TRUE(handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy; }, seconds(5)));
  }
  void ClearWire() {
    Settle();
    handset_->ClearLog();
  }
  std::string Wire() {
    Settle();
    return handset_->ReceivedBytes();
  }
  void Session() {
    ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
    ASSERT_EQ(engine_->FtStart("0000"), ExchangeResult::Ok);
  }
  // The frame carrying text, as it crossed the wire from the PC.
  bool Sent(std::string_view text) {
    Settle();
    return handset_->ReceivedBytes().find(Frame(kEtx, text, true)) != std::string::npos;
  }
  std::string Local(const std::string& name, std::string_view data) {
    const std::string path = dir_.path() + "/local/" + name;
    WriteFile(path, data);
    return path;
  }
  std::string OnHandset(const std::string& utf8_name) { return ReadFile(root_ / utf8_name); }

  fs::path root_;
  std::unique_ptr<sim::SimHandset> handset_;
};

// Record order: protection and copy guard (positions 32 and 31) off, the rest unused.
const std::string kAttr = std::string(30, '-') + "00";

}  // namespace

TEST_F(SessionTest, AWholeSession) {
  Start();
  int linked = 0, ended = 0;
  engine_->On().link_established = [&] { ++linked; };
  engine_->On().transfer_ended = [&] { ++ended; };
  Session();

  std::vector<std::string> lines{"stale"};
  ASSERT_EQ(engine_->GetList(lines), ExchangeResult::Ok);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, 8), "a.txt,5,");
  EXPECT_EQ(lines[1].substr(0, 15), "dir\xA5" "b.bin,3000,");
  EXPECT_EQ(lines[2].substr(0, 11), text::Cp932("写真.jpg,4,"));

  std::string data = "kept:";
  ASSERT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::Ok);
  EXPECT_EQ(data, "kept:" + PatternBytes(3000));

  ASSERT_EQ(engine_->PutFile("", Local("new.txt", "fresh"), kAttr), ExchangeResult::Ok);
  EXPECT_EQ(OnHandset("new.txt"), "fresh");
  EXPECT_TRUE(Sent("PUT_FILE[new.txt,5,00" + std::string(30, '-') + "]"));

  ASSERT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Ok);
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));

  EXPECT_EQ(engine_->FtEnd(), ExchangeResult::Ok);
  EXPECT_EQ(linked, 1);
  EXPECT_EQ(ended, 1);
  for (const char* line : {"■データリンク確立・成功■", "■転送開始・成功■", "■リスト取得・成功■", "■ファイル読み込み・成功■",
                           "■ファイル書き込み・成功■", "DEL[].....RESPONSE_OK", "■削除処理完了■", "■転送終了・成功■",
                           "■データリンク開放・成功■", "STX/ETX 初受信待ち用に5分の監視を行う"})
    EXPECT_TRUE(Traced(line)) << line;
  EXPECT_TRUE(notices_.empty());
}

TEST_F(SessionTest, WrongPasswordIsAcknowledgedTwice) {
  Start();
  int refused = 0;
  engine_->On().password_refused = [&] { ++refused; };
  ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
  ClearWire();
  EXPECT_EQ(engine_->FtStart("1234"), ExchangeResult::Failed);
  EXPECT_EQ(refused, 1);
  // Command frame, ACK to the ERROR reply, ACK to EOT.
  EXPECT_EQ(Wire(), Frame(kEtx, "FT_START[1234]", true) + "\x06\x06");
  EXPECT_TRUE(Traced("応答メッセージ:ERROR"));
  EXPECT_TRUE(Traced("パスワードが違う"));
  EXPECT_FALSE(Traced("■転送開始・成功■"));
}

TEST_F(SessionTest, ReplyOutcomesOfEveryCommand) {
  Start();
  Session();
  std::vector<std::string> lines{"kept"};
  std::string data;
  const std::string up = Local("u.txt", "0123456789");

  handset_->SetReply("GET_LIST", "ERROR");
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Failed);
  handset_->SetReply("GET_LIST", "WHAT");
  ClearWire();
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::UnknownReply);
  EXPECT_EQ(Wire(), Frame(kEtx, "GET_LIST", true));  // no ACK for an unknown reply
  EXPECT_EQ(lines, std::vector<std::string>{"kept"});
  ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);  // the handset still waits for that ACK

  handset_->SetReply("GET_FILE", "ERROR");
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Failed);
  handset_->SetReply("GET_FILE", "REJ");
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Refused);
  // An unknown reply is acknowledged and ends the command: no data moves.
  handset_->SetReply("GET_FILE", "MAYBE");
  ClearWire();
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::UnknownReply);
  EXPECT_EQ(Wire(), Frame(kEtx, "GET_FILE[a.txt]", true) + "\x06");
  EXPECT_TRUE(data.empty());

  handset_->SetReply("PUT_FILE", "ERROR");
  EXPECT_EQ(engine_->PutFile("", up, kAttr), ExchangeResult::Failed);
  handset_->SetReply("PUT_FILE", "REJ");
  EXPECT_EQ(engine_->PutFile("", up, kAttr), ExchangeResult::Refused);
  EXPECT_TRUE(Traced("応答メッセージ:REJ"));
  handset_->SetReply("PUT_FILE", "MAYBE");
  ClearWire();
  EXPECT_EQ(engine_->PutFile("", up, kAttr), ExchangeResult::UnknownReply);
  EXPECT_EQ(Wire(), Frame(kEtx, "PUT_FILE[u.txt,10," + kAttr.substr(30) + std::string(30, '-') + "]", true) + "\x06");
  EXPECT_FALSE(fs::exists(root_ / "u.txt"));

  handset_->SetReply("DEL", "ERROR");
  EXPECT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Failed);
  EXPECT_TRUE(Traced("DEL[].....RESPONSE_ERROR"));
  handset_->SetReply("DEL", "REJ");
  EXPECT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Refused);
  EXPECT_TRUE(Traced("DEL[].....RESPONSE_REJ"));
  handset_->SetReply("DEL", "HUH");
  EXPECT_EQ(engine_->DelFile("a.txt"), ExchangeResult::Broken);
  ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
  EXPECT_TRUE(fs::exists(root_ / "a.txt"));

  handset_->SetReply("FT_START", "HUH");
  EXPECT_EQ(engine_->FtStart("0000"), ExchangeResult::UnknownReply);
  EXPECT_TRUE(Traced("応答メッセージ:不明"));

  handset_->SetReply("FT_END", "WHATEVER");
  EXPECT_EQ(engine_->FtEnd(), ExchangeResult::Ok);
}

TEST_F(SessionTest, ProgressOncePerDataFrameEndingAtTheSize) {
  Start();
  WriteFile(root_ / "empty.bin", "");
  Session();
  std::vector<std::int64_t> seen;
  engine_->On().progress = [&](std::int64_t done) { seen.push_back(done); };
  std::string data;
  ASSERT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::Ok);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1024, 2048, 3000}));
  seen.clear();
  ASSERT_EQ(engine_->GetFile(data, "empty.bin"), ExchangeResult::Ok);
  EXPECT_EQ(seen, std::vector<std::int64_t>{0});
  seen.clear();
  ASSERT_EQ(engine_->PutFile("", Local("up.bin", PatternBytes(2049)), kAttr), ExchangeResult::Ok);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1024, 2048, 2049}));
}

TEST_F(SessionTest, FolderSeparatorsOnTheWire) {
  Start();
  WriteFile(root_ / "dir" / "ソ.txt", "so");
  Session();
  std::string data;
  ClearWire();
  ASSERT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::Ok);
  EXPECT_TRUE(Sent("GET_FILE[dir\xA5" "b.bin]"));
  // ソ is 0x83 0x5C: its second byte is no separator.
  data.clear();
  ASSERT_EQ(engine_->GetFile(data, "dir\\" + text::Cp932("ソ.txt")), ExchangeResult::Ok);
  EXPECT_EQ(data, "so");
  EXPECT_TRUE(Sent("GET_FILE[dir\xA5\x83\x5C.txt]"));
  ASSERT_EQ(engine_->DelFile("dir\\b.bin"), ExchangeResult::Ok);
  EXPECT_TRUE(Sent("DEL[dir\\b.bin]"));
  EXPECT_FALSE(fs::exists(root_ / "dir" / "b.bin"));

  ASSERT_EQ(engine_->PutFile("", Local("ソ.txt", "up"), kAttr), ExchangeResult::Ok);
  EXPECT_TRUE(Sent("PUT_FILE[\x83\x5C.txt,2,00" + std::string(30, '-') + "]"));
  EXPECT_EQ(OnHandset("ソ.txt"), "up");
}

TEST_F(SessionTest, UploadFraming) {
  Start();
  Session();
  auto data_frames = [&](const std::string& name, std::size_t size) {
    ClearWire();
    EXPECT_EQ(engine_->PutFile("", Local(name, PatternBytes(size)), kAttr), ExchangeResult::Ok);
    EXPECT_EQ(OnHandset(name), PatternBytes(size));
    const std::string wire = Wire();
    const std::string command = Frame(kEtx, "PUT_FILE[" + name + "," + std::to_string(size) + "," +
                                               "00" + std::string(30, '-') + "]", true);
    EXPECT_EQ(wire.substr(0, command.size()), command);
    return wire.substr(command.size() + 1);  // after the ACK of the OK reply
  };
  const std::string p1024 = PatternBytes(1024), p1025 = PatternBytes(1025);
  // Compared as booleans: a mismatch of a kilobyte of binary is no help to read.
  EXPECT_TRUE(data_frames("k1.bin", 1024) == Frame(kEtx, p1024) + "\x06");
  EXPECT_TRUE(data_frames("k1b.bin", 1025) == Frame(kStx, p1025.substr(0, 1024)) + Frame(kEtx, p1025.substr(1024)) + "\x06");
  EXPECT_EQ(data_frames("empty.bin", 0), "\x06");  // no data frame at all
}

TEST_F(SessionTest, ListFraming) {
  sim::HandsetOptions one_frame;
  one_frame.list_frame_bytes = 1024;
  Start(one_frame);
  Session();
  std::vector<std::string> lines;
  ASSERT_EQ(engine_->GetList(lines), ExchangeResult::Ok);  // one ETX frame, no STX
  EXPECT_FALSE(Traced("STX/ETX タイマー起動"));
  EXPECT_EQ(lines.size(), 3u);
}

TEST_F(SessionTest, ListSplitOverManyFrames) {
  sim::HandsetOptions small;
  small.list_frame_bytes = 7;
  Start(small);
  Session();
  std::vector<std::string> lines;
  ASSERT_EQ(engine_->GetList(lines), ExchangeResult::Ok);
  EXPECT_TRUE(Traced("STX/ETX タイマー起動"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "a.txt,5," + lines[0].substr(8));
  EXPECT_EQ(lines[0].back(), ',');
}

TEST_F(SessionTest, BadListFrameIsRefusedAndTheListKept) {
  Start();
  Session();
  std::vector<std::string> lines{"old"};
  int lost = 0;
  engine_->On().data_wait_failed = [&] { ++lost; };
  handset_->CorruptCrc(2);  // 1: the OK reply, 2: the list
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);
  EXPECT_EQ(lines, std::vector<std::string>{"old"});
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(notices_, (Notices{EngineNotice::kCrcError, EngineNotice::kListFailed}));
  EXPECT_NE(Wire().find('\x15'), std::string::npos);  // NAK
}

TEST_F(SessionTest, LostFileFrameRelinksAndLeavesTheTarget) {
  Start();
  Session();
  std::string data = "untouched";
  handset_->SilenceFrom(100, 3);  // the second data frame of b.bin stops short
  EXPECT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::FrameLost);
  EXPECT_EQ(data, "untouched");
  EXPECT_TRUE(Traced("■データリンク確立・成功■"));
  // usable again at once
  ASSERT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
  EXPECT_EQ(data, "untouchedalpha");

  // The one frame of an empty file is checked like any other.
  WriteFile(root_ / "empty.bin", "");
  handset_->CorruptCrc(2);
  EXPECT_EQ(engine_->GetFile(data, "empty.bin"), ExchangeResult::FrameLost);
  EXPECT_EQ(data, "untouchedalpha");
  EXPECT_EQ(notices_, Notices{EngineNotice::kCrcError});
}

// A handset with its frames queued goes on sending after the NAK: the line
// is drained until quiet and linked up again, and only that file fails.
TEST_F(SessionTest, ABadFrameFromAHandsetThatKeepsSendingCostsOnlyThatTransfer) {
  sim::HandsetOptions options;
  options.bytes_per_second = 11520;  // 115,200 bit/s
  options.stream_through_nak = true;
  options.list_frame_bytes = 16;
  Start(options);
  WriteFile(root_ / "five.bin", PatternBytes(4500));  // four frames of 1024, one of 404
  Session();
  for (const int nth : {2, 4, 6}) {  // 1 is the reply: the first, a middle and the last frame
    SCOPED_TRACE(nth);
    handset_->CorruptCrc(nth);
    std::string data = "untouched";
    EXPECT_EQ(engine_->GetFile(data, "five.bin"), ExchangeResult::FrameLost);
    EXPECT_EQ(data, "untouched");
    ASSERT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
    EXPECT_EQ(data, "untouchedalpha");
  }
  // A list keeps its NAK, message and failure; the rest of it is not read
  // as the answer to the next command.
  handset_->CorruptCrc(3);
  std::vector<std::string> lines{"kept"};
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);
  EXPECT_EQ(lines, std::vector<std::string>{"kept"});
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
  EXPECT_EQ(data, "alpha");
}

TEST_F(SessionTest, ALineLostWithTheNakStillTriesANewLink) {
  Start();
  Session();
  handset_->SilenceFrom(0, 2);  // no data after the reply
  port_->SetWaitHook([&] {
    if (Traced("STX/ETX 初受信待ち用に5分の監視を行う")) handset_->HangUp();
  });
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  const std::string trace = Trace(), relink = text::Cp932("■データリンク確立■");
  EXPECT_NE(trace.find(relink, trace.rfind(text::Cp932("NAK送信"))), std::string::npos);
}

TEST_F(SessionTest, AListOrFileBeyondTheSizeLimitFails) {
  Start();
  Session();
  engine_->SetLimits({.max_data_bytes = 100});  // the list is three lines of about 60 bytes
  std::vector<std::string> lines{"kept"};
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);
  EXPECT_EQ(lines, std::vector<std::string>{"kept"});
  EXPECT_EQ(notices_, Notices{EngineNotice::kListFailed});
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::Broken);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);  // within the limit, and the link still up
  EXPECT_EQ(data, "alpha");
  engine_->SetLimits({.max_data_bytes = 4});  // a.txt's one frame carries 5
  data.clear();
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  EXPECT_TRUE(data.empty());
}

TEST_F(SessionTest, OversizedLengthNeverOverrunsAndIsFailed) {
  Start();
  Session();
  std::string data;
  handset_->OversizeLength(2, 0xFFFF, 0xFFFF);  // first data frame of the file
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::FrameLost);
  EXPECT_TRUE(data.empty());
  handset_->OversizeLength(1, 0xFFFF, 0xFFFF);  // the reply itself
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
  ASSERT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Ok);
  EXPECT_EQ(data, "alpha");
}

TEST_F(SessionTest, NakedUploadFrameRelinks) {
  Start();
  Session();
  const std::string path = Local("big.bin", PatternBytes(5000));
  handset_->NakUploadFrame(2);
  EXPECT_EQ(engine_->PutFile("", path, kAttr), ExchangeResult::DataRefused);
  EXPECT_FALSE(fs::exists(root_ / "big.bin"));
  handset_->NakUploadFrame(5);  // the last, ETX frame
  EXPECT_EQ(engine_->PutFile("", path, kAttr), ExchangeResult::DataRefused);
  EXPECT_EQ(engine_->PutFile("", path, kAttr), ExchangeResult::Ok);
  EXPECT_EQ(OnHandset("big.bin"), PatternBytes(5000));
}

TEST_F(SessionTest, HandsetEndsTheSession) {
  Start();
  Session();
  int ended = 0;
  engine_->On().handset_ended = [&] { ++ended; };

  // Idle: the window's reception finds the end in a reply wait.
  handset_->SendFtEnd();
  std::string reply;
  EXPECT_EQ(engine_->WaitReply(reply), ExchangeResult::HandsetEnded);
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(handset_->WaitFor([](const sim::HandsetState& s) { return s.handset_ends == 1; }, seconds(5)));

  // In the middle of a download: a lost frame for GetFile.
  ASSERT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
  ASSERT_EQ(engine_->FtStart("0000"), ExchangeResult::Ok);
  handset_->FtEndInPlaceOf(3, true);
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "dir\\b.bin"), ExchangeResult::FrameLost);
  EXPECT_EQ(ended, 2);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(notices_, (Notices{EngineNotice::kHandsetEnded, EngineNotice::kHandsetEnded}));
}

TEST_F(SessionTest, GarbageIsPurgedByTheNextLink) {
  Start();
  Session();
  // Watch the line so the test knows when the garbage has landed.
  bool arrived = false;
  PostedQueue queue;
  port_->Close();
  SerialPort::Callbacks callbacks;
  callbacks.on_bytes_received = [&] { arrived = true; };
  port_->SetCallbacks(callbacks);
  port_->SetEventPoster(queue.Poster());
  ASSERT_TRUE(port_->Open());
  handset_->SendGarbage("\x11\x99garbage");
  ASSERT_TRUE(queue.RunUntil([&] { return arrived; }));
  ASSERT_GT(port_->BytesAvailable(), 0);
  EXPECT_EQ(engine_->EstablishLink(), ExchangeResult::Ok);
  std::vector<std::string> lines;
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Ok);
  handset_->GarbageBefore(1, "\x7F");
  EXPECT_EQ(engine_->GetList(lines), ExchangeResult::Broken);  // the reply wait meets a stray byte
  port_->Close();  // the queue ends here: nothing may post to it after
}

TEST_F(SessionTest, HangUpEndsAnOperationAtOnce) {
  Start();
  Session();
  engine_->SetTimeouts({.ack = 60000, .data = 60000, .reply = 60000, .first_frame = 60000});
  handset_->SilenceFrom(0, 2);
  handset_->HangUp();
  const auto start = steady_clock::now();
  std::string data;
  EXPECT_EQ(engine_->GetFile(data, "a.txt"), ExchangeResult::Broken);
  EXPECT_LT(steady_clock::now() - start, seconds(5));
}

TEST_F(SessionTest, LocalFilesThatCannotBeSent) {
  Start();
  Session();
  ClearWire();
  EXPECT_EQ(engine_->PutFile("", dir_.path() + "/nothing-here", kAttr), ExchangeResult::Failed);
  const std::string dir = dir_.path() + "/local/a-folder";
  fs::create_directories(dir);
  EXPECT_EQ(engine_->PutFile("", dir, kAttr), ExchangeResult::Refused);
  EXPECT_EQ(engine_->PutFile("", Local("smile-\xF0\x9F\x98\x80.txt", "x"), kAttr), ExchangeResult::Refused);
  EXPECT_TRUE(Wire().empty());  // nothing was sent
  EXPECT_TRUE(Traced("ファイル名をシフトJISに変換できません"));
  EXPECT_EQ(engine_->PutFile("", Local("ok.txt", "x"), kAttr), ExchangeResult::Ok);  // still usable
}

// The size in PUT_FILE is the size at the open: a file that grows
// meanwhile is sent as it was, one that shrinks fails and stores nothing.
TEST_F(SessionTest, AFileThatChangesSizeWhileSentIsNeverStoredInPart) {
  Start();
  LogClose();
  Session();
  const std::string original = PatternBytes(20000);  // 20 frames, read a few at a time
  auto change_during_upload = [&](const std::string& path, auto change) {
    engine_->On().progress = [path, change, frames = 0](std::int64_t) mutable {
      if (++frames == 2) change(path);
    };
  };
  const std::string grows = Local("grows.bin", original);
  change_during_upload(grows, [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; });
  EXPECT_EQ(engine_->PutFile("", grows, kAttr), ExchangeResult::Ok);
  EXPECT_TRUE(OnHandset("grows.bin") == original);

  const std::string shrinks = Local("shrinks.bin", original);
  change_during_upload(shrinks, [](const std::string& p) { fs::resize_file(p, 3000); });
  EXPECT_EQ(engine_->PutFile("", shrinks, kAttr), ExchangeResult::Broken);
  engine_->On().progress = nullptr;
  EXPECT_FALSE(fs::exists(root_ / "shrinks.bin"));
  EXPECT_EQ(engine_->PutFile("", Local("next.txt", "x"), kAttr), ExchangeResult::Ok);  // linked up again
}

TEST_F(SessionTest, AGeneratedFileIsSentAsItReads) {
  Start();
  Session();
  ASSERT_EQ(engine_->PutFile("", "/proc/version", kAttr), ExchangeResult::Ok);  // its size reads as 0
  const std::string sent = OnHandset("version");
  EXPECT_FALSE(sent.empty());
  EXPECT_EQ(sent, ReadFile("/proc/version"));
}

TEST_F(SessionTest, ByteExactRoundTrips) {
  Start();
  LogClose();  // a megabyte of hex dump is not the point here
  Session();
  for (std::size_t size : {0u, 1u, 1023u, 1024u, 1025u, 2048u, 65536u, 1000000u}) {
    SCOPED_TRACE(size);
    const std::string name = "rt" + std::to_string(size) + ".bin";
    const std::string content = PatternBytes(size);
    ASSERT_EQ(engine_->PutFile("", Local(name, content), kAttr), ExchangeResult::Ok);
    ASSERT_EQ(OnHandset(name), content);
    std::string back;
    ASSERT_EQ(engine_->GetFile(back, name), ExchangeResult::Ok);
    ASSERT_EQ(back.size(), content.size());
    EXPECT_TRUE(back == content);
  }
}
