// Probe failures a pseudo-terminal cannot show on cue, on a scripted line.
#include <gtest/gtest.h>

#include "scripted_line.h"
#include "serial/probe.h"
#include "serial/serial_port.h"

using namespace mirvo;
using namespace mirvo::testing;

TEST(ProbeFaults, ACommandThatCannotBeSentIdentifiesNothing) {
  SerialPort port;
  SerialSettings settings;
  settings.port_name = "/scripted";
  port.SetSettings(settings);
  ASSERT_TRUE(port.Open());
  // The line holds a handset's answers, but the third write (ATI3) fails.
  TheScriptedLine().Reset("\r\nOK\r\n\r\nOK\r\n\r\nZQR\r\n\r\nOK\r\n\r\nTQ-R5101K\r\n\r\nOK\r\n", 3);
  std::string vendor = "stale", model = "stale";
  ProbeHandset(port, vendor, model, 0);
  EXPECT_EQ(vendor, "");
  EXPECT_EQ(model, "");
  EXPECT_EQ(TheScriptedLine().written, "ATZ\r\nATE0\r\n");
}
