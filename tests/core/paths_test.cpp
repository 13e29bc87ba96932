#include "core/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

using mirvo::SettingsDir;

TEST(Paths, SettingsDirFollowsAppDataThenXdgThenHome) {
  setenv("APPDATA", "/x/appdata/", 1);
  setenv("XDG_CONFIG_HOME", "/x/xdg", 1);
  EXPECT_EQ(SettingsDir(), "/x/appdata/ZQR/mirvo/");
  unsetenv("APPDATA");
  EXPECT_EQ(SettingsDir(), "/x/xdg/ZQR/mirvo/");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(SettingsDir(), "/home/u/.config/ZQR/mirvo/");
}

TEST(Paths, ProgramDirIsTheTestBinaryFolder) {
  const std::string dir = mirvo::ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_NE(dir.find("tests/core"), std::string::npos);
}
