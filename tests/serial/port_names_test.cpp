#include "serial/port_names.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "serial_fixture.h"

namespace mirvo {
namespace {

TEST(PortNames, ComNumbersAreOneTo256) {
  EXPECT_EQ(ComPortNumber("COM1"), 1);
  EXPECT_EQ(ComPortNumber("com10"), 10);
  EXPECT_EQ(ComPortNumber("Com256"), 256);
  for (const char* bad : {"COM0", "COM257", "COM01", "COM", "COM1 ", "COMX", "LPT1", "COM-1", "COM1000"}) {
    EXPECT_EQ(ComPortNumber(bad), std::nullopt) << bad;
  }
}

TEST(PortNames, FixedTableEdges) {
  EXPECT_EQ(FixedPortPath(1), "/dev/ttyS0");
  EXPECT_EQ(FixedPortPath(32), "/dev/ttyS31");
  EXPECT_EQ(FixedPortPath(33), "/dev/ttyUSB0");
  EXPECT_EQ(FixedPortPath(64), "/dev/ttyUSB31");
  EXPECT_EQ(FixedPortPath(65), "/dev/ttyACM0");
  EXPECT_EQ(FixedPortPath(97), "/dev/rfcomm0");
  EXPECT_EQ(FixedPortPath(128), "/dev/rfcomm31");
  EXPECT_EQ(FixedPortPath(129), std::nullopt);
  EXPECT_EQ(FixedPortPath(0), std::nullopt);
}

// The default rules, with no resolver installed; nothing here is opened.
class DefaultRules : public testing::PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    SetPortResolver(nullptr);
  }
};

TEST_F(DefaultRules, PathAsItStandsLinkFirstThenTable) {
  EXPECT_EQ(ResolvePortName("/dev/some/thing"), "/dev/some/thing");
  LinkCom(40, pty_.slave_path());
  EXPECT_EQ(ResolvePortName("COM40"), pty_.slave_path());
  EXPECT_EQ(ResolvePortName("COM41"), "/dev/ttyUSB8");
  EXPECT_EQ(ResolvePortName("COM129"), std::nullopt);
  EXPECT_EQ(ResolvePortName("COM200"), std::nullopt);
  EXPECT_EQ(ResolvePortName("PRN"), std::nullopt);
  LinkCom(42, dir_.path() + "/missing");
  EXPECT_EQ(ResolvePortName("COM42"), std::nullopt) << "a dead link does not fall back to the table";
}

TEST_F(DefaultRules, TheConsoleNeverResolves) {
  // Find a console device that exists here, by its device number.
  std::ifstream in("/proc/consoles");
  std::string line, console;
  while (console.empty() && std::getline(in, line)) {
    const std::string name = line.substr(0, line.find(' '));
    struct stat st {};
    if (!name.empty() && stat(("/dev/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) console = "/dev/" + name;
  }
  if (console.empty()) GTEST_SKIP() << "no console device on this machine";
  LinkCom(7, console);
  EXPECT_EQ(ResolvePortName("COM7"), std::nullopt) << console;
  EXPECT_EQ(ResolvePortName(console), console) << "a path stands as it is";
}

TEST_F(DefaultRules, AnInstalledResolverReplacesTheRulesUntilRemoved) {
  SetPortResolver([](const std::string& name) -> std::optional<std::string> {
    if (name == "COM3") return std::string("/x/three");
    return std::nullopt;
  });
  EXPECT_EQ(ResolvePortName("COM3"), "/x/three");
  EXPECT_EQ(ResolvePortName("COM41"), std::nullopt);
  EXPECT_EQ(DefaultPortResolver("COM41"), "/dev/ttyUSB8");
  SetPortResolver(nullptr);
  EXPECT_EQ(ResolvePortName("COM41"), "/dev/ttyUSB8");
}

}  // namespace
}  // namespace mirvo
