#include "serial/port_event_thread.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "posted_queue.h"
#include "serial/serial_port.h"
#include "serial_fixture.h"

namespace mirvo {
namespace {

using std::chrono::milliseconds;
using testing::ChangeSetting;
using Callbacks = SerialPort::Callbacks;

class PortEventThreadTest : public testing::PortFixture {
 protected:
  void Open() {
    ChangeSetting(port_, &SerialSettings::port_name, pty_.slave_path());
    port_.SetTimeouts({.read_ms = 2000, .write_ms = 30000, .read_interval_ms = 0});
    port_.SetEventPoster(queue_.Poster());
    ASSERT_TRUE(port_.Open());
  }
  // Pumps for a while and reports whether pred ever held: for things that
  // must not happen.
  bool EverWithin(const std::function<bool()>& pred, milliseconds bound = milliseconds(300)) {
    return queue_.RunUntil(pred, bound);
  }
  void On(std::function<void()> Callbacks::*which, std::function<void()> callback) {
    testing::SetCallback(port_, which, std::move(callback));
  }
  // Outlives the port, whose thread may post until the port is closed.
  testing::PostedQueue queue_;
  SerialPort port_;
};

TEST_F(PortEventThreadTest, CallbacksRunInTableOrder) {
  std::vector<std::string> order;
  auto record = [&](const char* name) { return [&, name] { order.push_back(name); }; };
  On(&Callbacks::on_bytes_received, record("bytes"));
  On(&Callbacks::on_packet, record("packet"));
  On(&Callbacks::on_event_char, record("event char"));
  ChangeSetting(port_, &SerialSettings::event_char, '!');
  ChangeSetting(port_, &SerialSettings::packet_size, 3);
  Open();
  ASSERT_NE(port_.EventThread(), nullptr);

  pty_.Send("ab!");
  ASSERT_TRUE(queue_.RunUntil([&] { return order.size() >= 3; }));
  EXPECT_EQ(order, (std::vector<std::string>{"packet", "bytes", "event char"}));
  EXPECT_EQ(port_.EventThread()->LastEvents(), line_event::kBytesReceived | line_event::kEventChar);

  // The event character has to come for its handler.
  order.clear();
  pty_.Send("cd");
  ASSERT_TRUE(queue_.RunUntil([&] { return order.size() >= 1; }));
  EXPECT_FALSE(EverWithin([&] { return order.size() > 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"packet", "bytes"}));
  // Pulled in to look for the character, the bytes are still there to read.
  std::string got(5, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 5));
  EXPECT_EQ(got, "ab!cd");
}

TEST_F(PortEventThreadTest, TheEventCharIsSeenBehindAFullBufferAndZeroIsNone) {
  int found = 0, received = 0;
  On(&Callbacks::on_event_char, [&] { ++found; });
  On(&Callbacks::on_bytes_received, [&] { ++received; });
  ChangeSetting(port_, &SerialSettings::event_char, '!');
  Open();
  // More unread bytes than the port's buffer holds, then the character.
  const std::string stream = std::string(40 * 1024, 'x') + "!";
  std::thread sender([&] { pty_.Send(stream); });  // more than the terminal holds
  EXPECT_TRUE(queue_.RunUntil([&] { return found == 1; }));
  std::string got(stream.size(), '\0');
  EXPECT_TRUE(port_.Read(got.data(), static_cast<int>(got.size())));
  sender.join();
  EXPECT_TRUE(got == stream);

  ChangeSetting(port_, &SerialSettings::event_char, '\0');
  received = 0;
  pty_.Send(std::string("a\0b", 3));
  ASSERT_TRUE(queue_.RunUntil([&] { return received > 0; }));
  EXPECT_EQ(found, 1);
}

TEST_F(PortEventThreadTest, OnPacketFiresAtPacketSizeAndResetsTheReceivedCount) {
  int packets = 0;
  std::int32_t count_in_packet = -1;
  On(&Callbacks::on_packet, [&] {
    ++packets;
    count_in_packet = port_.EventThread()->ReceivedCount();
  });
  ChangeSetting(port_, &SerialSettings::packet_size, 16);
  Open();
  PortEventThread* thread = port_.EventThread();
  ASSERT_NE(thread, nullptr) << "on_packet alone watches the receive event";

  pty_.Send(std::string(10, 'p'));
  ASSERT_TRUE(queue_.RunUntil([&] { return thread->ReceivedCount() == 10; }));
  EXPECT_EQ(packets, 0);
  pty_.Send(std::string(6, 'q'));
  ASSERT_TRUE(queue_.RunUntil([&] { return packets == 1; }));
  EXPECT_EQ(count_in_packet, 0);
  EXPECT_EQ(thread->ReceivedCount(), 0);
  std::string got(16, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 16));
}

TEST_F(PortEventThreadTest, PacketSizeZeroNeverFiresOnPacket) {
  int packets = 0;
  On(&Callbacks::on_packet, [&] { ++packets; });
  Open();
  pty_.Send(std::string(40, 'z'));
  ASSERT_TRUE(queue_.RunUntil([&] { return port_.EventThread()->ReceivedCount() == 40; }));
  EXPECT_EQ(packets, 0);
}

TEST_F(PortEventThreadTest, UnreadBytesDoNotDispatchAgain) {
  int calls = 0;
  On(&Callbacks::on_bytes_received, [&] { ++calls; });
  Open();
  pty_.Send("12345");
  ASSERT_TRUE(queue_.RunUntil([&] { return calls >= 1; }));
  EXPECT_FALSE(EverWithin([&] { return calls > 1; })) << calls << " dispatches for one arrival";

  pty_.Send("678");  // new bytes do
  ASSERT_TRUE(queue_.RunUntil([&] { return calls >= 2; }));
  std::string got(8, '\0');
  EXPECT_TRUE(port_.Read(got.data(), 8));
  EXPECT_EQ(got, "12345678");
  EXPECT_FALSE(EverWithin([&] { return calls > 2; })) << "reading is no arrival";
  EXPECT_EQ(calls, 2);
}

TEST_F(PortEventThreadTest, RemovedCallbackIsNotCalledButTheEventIsStillWatched) {
  int calls = 0;
  On(&Callbacks::on_bytes_received, [&] { ++calls; });
  Open();
  PortEventThread* thread = port_.EventThread();
  pty_.Send("a");
  ASSERT_TRUE(queue_.RunUntil([&] { return calls == 1; }));

  On(&Callbacks::on_bytes_received, nullptr);
  pty_.Send("bcd");
  ASSERT_TRUE(queue_.RunUntil([&] { return thread->ReceivedCount() == 4; }));
  EXPECT_EQ(calls, 1);

  On(&Callbacks::on_bytes_received, [&] { calls += 10; });
  pty_.Send("e");
  ASSERT_TRUE(queue_.RunUntil([&] { return calls == 11; }));
}

TEST_F(PortEventThreadTest, WatchedEventsAreFixedAtOpen) {
  int calls = 0;
  On(&Callbacks::on_opened, [] {});
  On(&Callbacks::on_closed, [] {});
  Open();
  EXPECT_EQ(port_.EventThread(), nullptr) << "on_opened and on_closed need no thread";
  On(&Callbacks::on_bytes_received, [&] { ++calls; });
  pty_.Send("x");
  EXPECT_FALSE(EverWithin([&] { return calls > 0; }));
  EXPECT_TRUE(port_.Close());
  EXPECT_TRUE(port_.Open());  // now it is watched
  ASSERT_NE(port_.EventThread(), nullptr);
  EXPECT_EQ(port_.EventThread()->WatchedEvents(), line_event::kBytesReceived);
  pty_.Send("y");
  EXPECT_TRUE(queue_.RunUntil([&] { return calls > 0; }));
}

TEST_F(PortEventThreadTest, ClosingRunsAPendingDispatchOnceWhileStillOpen) {
  std::vector<std::string> events;
  On(&Callbacks::on_bytes_received, [&] { events.push_back(port_.IsOpen() ? "rx open" : "rx closed"); });
  On(&Callbacks::on_closed, [&] { events.push_back("close"); });
  Open();
  pty_.Send("pending");
  ASSERT_TRUE(queue_.WaitForPosts(1));  // handed over, not yet run

  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(events, (std::vector<std::string>{"rx open", "close"}));
  queue_.RunPending();  // the posting comes late: it finds nothing to do
  EXPECT_EQ(events.size(), 2u);

  // That last dispatch's callback closes the port itself: one on_closed,
  // and the outer Close finds nothing left to close.
  events.clear();
  On(&Callbacks::on_bytes_received, [&] { EXPECT_TRUE(port_.Close()); });
  Open();
  pty_.Send("pending");
  ASSERT_TRUE(queue_.WaitForPosts(2));
  EXPECT_FALSE(port_.Close());
  EXPECT_EQ(events, std::vector<std::string>{"close"});
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(PortEventThreadTest, ACallbackMayCloseThePort) {
  int closes = 0, calls = 0;
  On(&Callbacks::on_bytes_received, [&] {
    ++calls;
    EXPECT_TRUE(port_.Close());
  });
  On(&Callbacks::on_closed, [&] { ++closes; });
  Open();
  pty_.Send("bye");
  ASSERT_TRUE(queue_.RunUntil([&] { return !port_.IsOpen(); }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(closes, 1);

  EXPECT_TRUE(port_.Open());  // the device was released
  pty_.Send("again");
  ASSERT_TRUE(queue_.RunUntil([&] { return calls == 2; }));
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(PortEventThreadTest, AThrowingCallbackReachesItsRunnerAndTheThreadGoesOn) {
  int calls = 0;
  On(&Callbacks::on_bytes_received, [&] {
    if (++calls == 1) throw std::runtime_error("handler broke");
  });
  Open();
  pty_.Send("1");
  EXPECT_THROW(queue_.RunUntil([&] { return calls == 1; }), std::runtime_error);
  pty_.Send("2");
  ASSERT_TRUE(queue_.RunUntil([&] { return calls == 2; }));
}

TEST_F(PortEventThreadTest, AHungUpLineRaisesNothingAndStillCloses) {
  int calls = 0, closes = 0;
  On(&Callbacks::on_bytes_received, [&] { ++calls; });
  On(&Callbacks::on_closed, [&] { ++closes; });
  Open();
  pty_.HangUp();
  EXPECT_FALSE(EverWithin([&] { return calls > 0; }));
  EXPECT_EQ(port_.BytesAvailable(), 0);
  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(closes, 1);
}

TEST_F(PortEventThreadTest, AHangUpIsReportedOnceToItsCallback) {
  int hangups = 0;
  On(&Callbacks::on_hang_up, [&] { ++hangups; });
  Open();
  pty_.HangUp();
  ASSERT_TRUE(queue_.RunUntil([&] { return hangups == 1; }));
  EXPECT_FALSE(EverWithin([&] { return hangups > 1; }));
  EXPECT_TRUE(port_.Close());
}

TEST_F(PortEventThreadTest, SendQueueEmptyAfterAWrite) {
  int empties = 0;
  On(&Callbacks::on_send_queue_empty, [&] { ++empties; });
  Open();
  ASSERT_TRUE(port_.Write("AT\r\n", 4));
  EXPECT_EQ(pty_.Receive(4), "AT\r\n");
  ASSERT_TRUE(queue_.RunUntil([&] { return empties >= 1; }));
  EXPECT_FALSE(EverWithin([&] { return empties > 1; })) << "once per write";
}

}  // namespace
}  // namespace mirvo
