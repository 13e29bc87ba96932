// Failures a pseudo-terminal cannot show on cue, on a scripted line.
#include <gtest/gtest.h>

#include "fake_ui.h"
#include "protocol/engine.h"
#include "protocol/frame_codes.h"
#include "scripted_line.h"
#include "serial/serial_port.h"

using namespace mirvo;
using namespace mirvo::testing;

namespace {

std::string Frame(std::uint8_t type, std::string_view data, bool crlf = false) {
  std::string out;
  MakeDataFrame(&out, type, data.data(), static_cast<int>(data.size()), crlf);
  return out;
}

}  // namespace

TEST(EngineFaults, AFailedAckStillReleasesTheLink) {
  FakeUi ui;
  TRS232C port;
  port.PortName = "/scripted";
  ASSERT_TRUE(port.Open());
  TKivPP engine(port);
  engine.AckTimeout = engine.ReplyTimeout = 0;
  // The handset acknowledges FT_END, answers OK and acknowledges the EOT;
  // the PC's second write, the ACK of that OK, fails.
  TheScriptedLine().Reset("\x06" + Frame(ETX, "OK", true) + "\x06", 2);
  EXPECT_EQ(engine.FtEnd(), -100);
  EXPECT_EQ(TheScriptedLine().written, Frame(ETX, "FT_END", true) + "\x04");
}
