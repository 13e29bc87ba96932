// Failures a pseudo-terminal cannot show on cue, on a scripted line.
#include "engine_fixture.h"
#include "scripted_line.h"

using namespace mirvo;
using namespace mirvo::testing;

namespace {

class EngineFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    SerialSettings settings;
    settings.port_name = "/scripted";
    port.SetSettings(settings);
    ASSERT_TRUE(port.Open());
    ProtocolEngine::Timeouts timeouts;
    timeouts.ack = timeouts.reply = 0;
    engine.SetTimeouts(timeouts);
  }

  SerialPort port;
  ProtocolEngine engine{port};
};

}  // namespace

TEST_F(EngineFaults, AFailedAckStillReleasesTheLink) {
  // The handset acknowledges FT_END, answers OK and acknowledges the EOT;
  // the PC's second write, the ACK of that OK, fails.
  TheScriptedLine().Reset("\x06" + Frame(kEtx, "OK", true) + "\x06", 2);
  EXPECT_EQ(engine.FtEnd(), ExchangeResult::Broken);
  EXPECT_EQ(TheScriptedLine().written, Frame(kEtx, "FT_END", true) + "\x04");
}

TEST_F(EngineFaults, AFailedAckAfterADeleteReplyIsNoRefusal) {
  // The handset acknowledges DEL and answers; the PC's ACK of the answer fails.
  for (const char* reply : {"OK", "ERROR", "REJ"}) {
    SCOPED_TRACE(reply);
    TheScriptedLine().Reset("\x06" + Frame(kEtx, reply, true), 2);
    EXPECT_EQ(engine.DelFile("a.txt"), ExchangeResult::Broken);
  }
}
