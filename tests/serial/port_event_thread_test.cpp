#include "serial/port_event_thread.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_ui.h"
#include "serial/serial_port.h"
#include "serial_fixture.h"

namespace mirvo {
namespace {

using std::chrono::milliseconds;

// Holds posted dispatches until the test lets them run, so that one can be
// left pending on purpose.
class HoldingUi final : public UiHooks {
 public:
  HoldingUi() { SetUiHooks(this); }
  ~HoldingUi() override { SetUiHooks(nullptr); }
  void ProcessMessages() override {
    std::vector<std::function<void()>> ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(held_);
    }
    for (auto& fn : ready) fn();
  }
  void PostToMainThread(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      held_.push_back(std::move(fn));
      ++posts_;
    }
    cv_.notify_all();
  }
  MsgAnswer MessageBox(const void*, const std::string&, const std::string&, MsgIcon, MsgButtons) override {
    return MsgAnswer::Ok;
  }
  void ReleaseCapture() override {}
  bool WaitForPosts(int n, milliseconds bound = milliseconds(5000)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, bound, [&] { return posts_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::function<void()>> held_;
  int posts_ = 0;
};

class CommThreadTest : public testing::PortFixture {
 protected:
  void Open() {
    port_.PortName = pty_.slave_path();
    port_.rxTimeOut = 2000;
    ASSERT_TRUE(port_.Open());
  }
  // Pumps for a while and reports whether pred ever held: for things that
  // must not happen.
  bool EverWithin(const std::function<bool()>& pred, milliseconds bound = milliseconds(300)) {
    return ui_.PumpUntil(pred, bound);
  }
  // Outlives the port, whose thread may post until the port is closed.
  testing::FakeUi ui_;
  SerialPort port_;
};

TEST_F(CommThreadTest, HandlersRunInTableOrderWithTheThreadAsSender) {
  std::vector<std::string> order;
  std::vector<TNotifySource*> senders;
  auto record = [&](const char* name) {
    return [&, name](TNotifySource& s) {
      order.push_back(name);
      senders.push_back(&s);
    };
  };
  port_.OnRXFlag = record("rxflag");
  port_.OnRXChar = record("rxchar");
  port_.OnPacket = record("packet");
  port_.PacketSize = 3;
  port_.EvtChar = '!';
  Open();
  ASSERT_NE(port_.CommThread(), nullptr);

  pty_.Send("ab!");
  ASSERT_TRUE(ui_.PumpUntil([&] { return order.size() >= 3; }));
  EXPECT_EQ(order, (std::vector<std::string>{"packet", "rxchar", "rxflag"}));
  for (TNotifySource* s : senders) EXPECT_EQ(s, port_.CommThread());
  EXPECT_EQ(port_.CommThread()->EventMask, comm_event::kRxChar | comm_event::kRxFlag);

  // The event character has to come for its handler.
  order.clear();
  pty_.Send("cd");
  ASSERT_TRUE(ui_.PumpUntil([&] { return order.size() >= 1; }));
  EXPECT_FALSE(EverWithin([&] { return order.size() > 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"packet", "rxchar"}));
  // Pulled in to look for the character, the bytes are still there to read.
  std::string got(5, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 5));
  EXPECT_EQ(got, "ab!cd");
}

TEST_F(CommThreadTest, OnPacketFiresAtPacketSizeAndResetsRxCount) {
  int packets = 0;
  std::int32_t count_in_packet = -1;
  port_.OnPacket = [&](TNotifySource& s) {
    ++packets;
    count_in_packet = static_cast<PortEventThread&>(s).RxCount;
  };
  port_.PacketSize = 16;
  Open();
  PortEventThread* thread = port_.CommThread();
  ASSERT_NE(thread, nullptr) << "OnPacket alone watches the receive event";

  pty_.Send(std::string(10, 'p'));
  ASSERT_TRUE(ui_.PumpUntil([&] { return thread->RxCount == 10; }));
  EXPECT_EQ(packets, 0);
  pty_.Send(std::string(6, 'q'));
  ASSERT_TRUE(ui_.PumpUntil([&] { return packets == 1; }));
  EXPECT_EQ(count_in_packet, 0);
  EXPECT_EQ(thread->RxCount, 0);
  std::string got(16, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 16));
}

TEST_F(CommThreadTest, PacketSizeZeroNeverFiresOnPacket) {
  int packets = 0;
  port_.OnPacket = [&](TNotifySource&) { ++packets; };
  Open();
  pty_.Send(std::string(40, 'z'));
  ASSERT_TRUE(ui_.PumpUntil([&] { return port_.CommThread()->RxCount == 40; }));
  EXPECT_EQ(packets, 0);
}

TEST_F(CommThreadTest, UnreadBytesDoNotDispatchAgain) {
  int calls = 0;
  port_.OnRXChar = [&](TNotifySource&) { ++calls; };
  Open();
  pty_.Send("12345");
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls >= 1; }));
  EXPECT_FALSE(EverWithin([&] { return calls > 1; })) << calls << " dispatches for one arrival";

  pty_.Send("678");  // new bytes do
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls >= 2; }));
  std::string got(8, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 8));
  EXPECT_EQ(got, "12345678");
  EXPECT_FALSE(EverWithin([&] { return calls > 2; })) << "reading is no arrival";
  EXPECT_EQ(calls, 2);
}

TEST_F(CommThreadTest, RemovedHandlerIsNotCalledButTheEventIsStillWatched) {
  int calls = 0;
  port_.OnRXChar = [&](TNotifySource&) { ++calls; };
  Open();
  PortEventThread* thread = port_.CommThread();
  pty_.Send("a");
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls == 1; }));

  port_.OnRXChar = nullptr;
  pty_.Send("bcd");
  ASSERT_TRUE(ui_.PumpUntil([&] { return thread->RxCount == 4; }));
  EXPECT_EQ(calls, 1);

  port_.OnRXChar = [&](TNotifySource&) { calls += 10; };
  pty_.Send("e");
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls == 11; }));
}

TEST_F(CommThreadTest, WatchedEventsAreFixedAtOpen) {
  int calls = 0;
  port_.OnOpen = [](TNotifySource&) {};
  port_.OnClose = [](TNotifySource&) {};
  Open();
  EXPECT_EQ(port_.CommThread(), nullptr) << "OnOpen and OnClose need no thread";
  port_.OnRXChar = [&](TNotifySource&) { ++calls; };
  pty_.Send("x");
  EXPECT_FALSE(EverWithin([&] { return calls > 0; }));
  EXPECT_TRUE(port_.Close());
  EXPECT_TRUE(port_.Open());  // now it is watched
  ASSERT_NE(port_.CommThread(), nullptr);
  EXPECT_EQ(port_.CommThread()->WatchMask(), comm_event::kRxChar);
  pty_.Send("y");
  EXPECT_TRUE(ui_.PumpUntil([&] { return calls > 0; }));
}

TEST_F(CommThreadTest, ClosingRunsAPendingDispatchOnceWhileStillOpen) {
  HoldingUi ui;
  std::vector<std::string> events;
  port_.OnRXChar = [&](TNotifySource&) { events.push_back(port_.Opened() ? "rx open" : "rx closed"); };
  port_.OnClose = [&](TNotifySource&) { events.push_back("close"); };
  Open();
  pty_.Send("pending");
  ASSERT_TRUE(ui.WaitForPosts(1));  // handed over, not yet run

  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(events, (std::vector<std::string>{"rx open", "close"}));
  ui.ProcessMessages();  // the posting comes late: it finds nothing to do
  EXPECT_EQ(events.size(), 2u);

  // That last dispatch's handler closes the port itself: one OnClose, and
  // the outer Close finds nothing left to close.
  events.clear();
  port_.OnRXChar = [&](TNotifySource&) { EXPECT_TRUE(port_.Close()); };
  Open();
  pty_.Send("pending");
  ASSERT_TRUE(ui.WaitForPosts(2));
  EXPECT_FALSE(port_.Close());
  EXPECT_EQ(events, std::vector<std::string>{"close"});
  EXPECT_FALSE(port_.Opened());
}

TEST_F(CommThreadTest, AHandlerMayCloseThePort) {
  int closes = 0, calls = 0;
  port_.OnRXChar = [&](TNotifySource&) {
    ++calls;
    EXPECT_TRUE(port_.Close());
  };
  port_.OnClose = [&](TNotifySource&) { ++closes; };
  Open();
  pty_.Send("bye");
  ASSERT_TRUE(ui_.PumpUntil([&] { return !port_.Opened(); }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(closes, 1);

  EXPECT_TRUE(port_.Open());  // the device was released
  pty_.Send("again");
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls == 2; }));
  EXPECT_FALSE(port_.Opened());
}

TEST_F(CommThreadTest, AThrowingHandlerIsReportedAndTheThreadGoesOn) {
  int calls = 0;
  port_.OnRXChar = [&](TNotifySource&) {
    if (++calls == 1) throw std::runtime_error("handler broke");
  };
  Open();
  pty_.Send("1");
  ASSERT_TRUE(ui_.PumpUntil([&] { return !ui_.boxes.empty(); }));
  EXPECT_EQ(ui_.boxes[0].caption, "Mirvo");
  EXPECT_EQ(ui_.boxes[0].text, "handler broke");
  EXPECT_EQ(ui_.boxes[0].icon, MsgIcon::Error);
  EXPECT_EQ(ui_.boxes[0].buttons, MsgButtons::Ok);
  pty_.Send("2");
  ASSERT_TRUE(ui_.PumpUntil([&] { return calls == 2; }));
  EXPECT_EQ(ui_.boxes.size(), 1u);
}

TEST_F(CommThreadTest, AHungUpLineRaisesNothingAndStillCloses) {
  int calls = 0, closes = 0;
  port_.OnRXChar = [&](TNotifySource&) { ++calls; };
  port_.OnClose = [&](TNotifySource&) { ++closes; };
  Open();
  pty_.HangUp();
  EXPECT_FALSE(EverWithin([&] { return calls > 0; }));
  EXPECT_EQ(port_.InQueCount(), 0);
  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(closes, 1);
}

TEST_F(CommThreadTest, AHangUpIsReportedOnceToItsHandler) {
  int hangups = 0;
  port_.OnHangUp = [&](TNotifySource&) { ++hangups; };
  Open();
  pty_.HangUp();
  ASSERT_TRUE(ui_.PumpUntil([&] { return hangups == 1; }));
  EXPECT_FALSE(EverWithin([&] { return hangups > 1; }));
  EXPECT_TRUE(port_.Close());
}

TEST_F(CommThreadTest, SendQueueEmptyAfterAWrite) {
  int empties = 0;
  TNotifySource* sender = nullptr;
  port_.OnTXEmpty = [&](TNotifySource& s) {
    ++empties;
    sender = &s;
  };
  Open();
  ASSERT_TRUE(port_.Write("AT\r\n", 4));
  EXPECT_EQ(pty_.Receive(4), "AT\r\n");
  ASSERT_TRUE(ui_.PumpUntil([&] { return empties >= 1; }));
  EXPECT_EQ(sender, port_.CommThread());
  EXPECT_FALSE(EverWithin([&] { return empties > 1; })) << "once per write";
}

}  // namespace
}  // namespace mirvo
