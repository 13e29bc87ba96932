// Failures a pseudo-terminal cannot show on cue, on a scripted line.
#include "engine_fixture.h"
#include "scripted_line.h"

using namespace mirvo;
using namespace mirvo::testing;

TEST(EngineFaults, AFailedAckStillReleasesTheLink) {
  FakeUi ui;
  SerialPort port;
  SerialSettings settings;
  settings.port_name = "/scripted";
  port.SetSettings(settings);
  ASSERT_TRUE(port.Open());
  ProtocolEngine engine(port);
  ProtocolEngine::Timeouts timeouts;
  timeouts.ack = timeouts.reply = 0;
  engine.SetTimeouts(timeouts);
  // The handset acknowledges FT_END, answers OK and acknowledges the EOT;
  // the PC's second write, the ACK of that OK, fails.
  TheScriptedLine().Reset("\x06" + Frame(kEtx, "OK", true) + "\x06", 2);
  EXPECT_EQ(engine.FtEnd(), ExchangeResult::Broken);
  EXPECT_EQ(TheScriptedLine().written, Frame(kEtx, "FT_END", true) + "\x04");
}
