#include "settings/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "text/cp932.h"

namespace mirvo {
namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mirvo-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/ZQR/mirvo/";
  }
  void TearDown() override { fs::remove_all(fs::path(dir_).parent_path().parent_path().parent_path()); }

  std::string Path() const { return dir_ + "config.ini"; }
  void Write(const std::string& bytes) {
    fs::create_directories(dir_);
    std::ofstream(Path(), std::ios::binary) << bytes;
  }
  std::string Read() const {
    std::ifstream in(Path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

TEST_F(SettingsFileTest, AbsentFileGivesFirstStartDefaultsAndWritesTableOrder) {
  SettingsLines lines;
  WindowSettings s;
  const auto result = LoadSettingsFile(Path(), lines, s);
  EXPECT_EQ(result.status, SettingsLoad::Absent);
  EXPECT_EQ(s.password, "0000");
  EXPECT_EQ(s.view_style, mirvo::ViewStyle::Details);
  EXPECT_EQ(s.tree_view_width, 112);
  EXPECT_EQ(s.column_widths, (std::array<int, 6>{107, 80, 120, 80, 60, 75}));
  EXPECT_FALSE(s.left.has_value());

  s.left = 10;
  s.top = 20;
  s.width = 640;
  s.height = 480;
  StoreSettings(s, lines);
  std::string error;
  ASSERT_TRUE(WriteSettingsFile(dir_, lines, error)) << error;
  EXPECT_EQ(Read(),
            "PASSWORD=0000\r\nVIEW_STYLE=3\r\nFORM_LEFT=10\r\nFORM_TOP=20\r\nFORM_WIDTH=640\r\nFORM_HEIGHT=480\r\n"
            "TREEVIEW_WIDTH=112\r\nFORM_LISTVIEW_COLUMN_0=107\r\nFORM_LISTVIEW_COLUMN_1=80\r\n"
            "FORM_LISTVIEW_COLUMN_2=120\r\nFORM_LISTVIEW_COLUMN_3=80\r\nFORM_LISTVIEW_COLUMN_4=60\r\n"
            "FORM_LISTVIEW_COLUMN_5=75\r\n");
}

TEST_F(SettingsFileTest, RoundTripKeepsUnknownLinesAndRewritesKeysInPlace) {
  const std::string vendor = text::Cp932("ゼット");
  Write("; my note\r\ncom=COM2\nFOO=bar\r\nno equals sign\rPassword=\r\nvender=" + vendor +
        "\r\nVIEW_STYLE=1\r\nFORM_WIDTH=wide\r\n");
  SettingsLines lines;
  WindowSettings s;
  const auto result = LoadSettingsFile(Path(), lines, s);
  ASSERT_EQ(result.status, SettingsLoad::Loaded);
  EXPECT_FALSE(result.view_style_repaired);
  EXPECT_EQ(s.port_name, "COM2");
  EXPECT_EQ(s.password, "");  // present but empty: no default
  EXPECT_EQ(s.vendor_name, vendor);
  EXPECT_EQ(s.model_name, "");
  EXPECT_EQ(s.view_style, mirvo::ViewStyle::SmallIcons);
  EXPECT_EQ(s.width, 640);  // not a number: the default of a present file
  EXPECT_EQ(s.left, 100);
  EXPECT_EQ(s.tree_view_width, 100);
  EXPECT_EQ(s.column_widths[0], 120);

  StoreSettings(s, lines);
  std::string error;
  ASSERT_TRUE(WriteSettingsFile(dir_, lines, error)) << error;
  EXPECT_EQ(Read(),
            "; my note\r\nCOM=COM2\r\nFOO=bar\r\nno equals sign\r\nVENDER=" + vendor +
                "\r\nVIEW_STYLE=1\r\nFORM_WIDTH=640\r\nFORM_LEFT=100\r\nFORM_TOP=100\r\nFORM_HEIGHT=480\r\n"
                "TREEVIEW_WIDTH=100\r\nFORM_LISTVIEW_COLUMN_0=120\r\nFORM_LISTVIEW_COLUMN_1=80\r\n"
                "FORM_LISTVIEW_COLUMN_2=120\r\nFORM_LISTVIEW_COLUMN_3=80\r\nFORM_LISTVIEW_COLUMN_4=60\r\n"
                "FORM_LISTVIEW_COLUMN_5=75\r\n");
}

TEST_F(SettingsFileTest, SavedFileAndItsFolderAreOnlyTheUsers) {
  const auto mode = [](const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  };
  const fs::path folder = fs::path(dir_).parent_path();
  const fs::path vendor_folder = folder.parent_path();
  std::string error;
  ASSERT_TRUE(WriteSettingsFile(dir_, {"PASSWORD=1234"}, error)) << error;
  EXPECT_EQ(mode(Path()), 0600u);
  EXPECT_EQ(mode(folder), 0700u);
  EXPECT_EQ(mode(vendor_folder), 0700u);

  // A file and folders of an older save, readable by everyone, and the
  // leftover of a save cut short.
  const std::string saved = "; note\r\nCOM=COM3\r\nPASSWORD=9876\r\nVENDER=" + text::Cp932("ゼット") +
                            "\r\nVIEW_STYLE=2\r\nFORM_LEFT=1\r\nFORM_TOP=2\r\nFORM_WIDTH=640\r\nFORM_HEIGHT=480\r\n"
                            "TREEVIEW_WIDTH=100\r\nFORM_LISTVIEW_COLUMN_0=120\r\nFORM_LISTVIEW_COLUMN_1=80\r\n"
                            "FORM_LISTVIEW_COLUMN_2=120\r\nFORM_LISTVIEW_COLUMN_3=80\r\nFORM_LISTVIEW_COLUMN_4=60\r\n"
                            "FORM_LISTVIEW_COLUMN_5=75\r\n";
  Write(saved);
  std::ofstream(dir_ + "config.ini.new") << "PASSWORD=1111\r\n";
  for (const fs::path& p : {fs::path(Path()), fs::path(dir_ + "config.ini.new")}) fs::permissions(p, fs::perms(0644));
  fs::permissions(folder, fs::perms(0755));
  fs::permissions(vendor_folder, fs::perms(0755));

  SettingsLines lines;
  WindowSettings s;
  ASSERT_EQ(LoadSettingsFile(Path(), lines, s).status, SettingsLoad::Loaded);
  StoreSettings(s, lines);
  ASSERT_TRUE(WriteSettingsFile(dir_, lines, error)) << error;
  EXPECT_EQ(Read(), saved);
  EXPECT_EQ(mode(Path()), 0600u);
  EXPECT_EQ(mode(folder), 0700u);
  EXPECT_EQ(mode(vendor_folder), 0755u);  // not the settings folder: left as it was
  EXPECT_FALSE(fs::exists(dir_ + "config.ini.new"));
}

TEST_F(SettingsFileTest, ValueKeepsEverythingAfterTheFirstEqualsSign) {
  Write("PASSWORD= a=b \r\n");
  SettingsLines lines;
  WindowSettings s;
  LoadSettingsFile(Path(), lines, s);
  EXPECT_EQ(s.password, " a=b ");
}

TEST_F(SettingsFileTest, BadViewStyleFallsBackToDetailsAndLoadsTheRest) {
  for (const char* bad : {"", "x", "4", "-1", "2.0", " 2"}) {
    Write(std::string(bad[0] ? "VIEW_STYLE=" : "") + bad + "\r\nCOM=COM7\r\nFORM_TOP=33\r\n");
    SettingsLines lines;
    WindowSettings s;
    const auto result = LoadSettingsFile(Path(), lines, s);
    EXPECT_TRUE(result.view_style_repaired) << bad;
    EXPECT_EQ(s.view_style, mirvo::ViewStyle::Details) << bad;
    EXPECT_EQ(s.port_name, "COM7") << bad;
    EXPECT_EQ(s.top, 33) << bad;
  }
}

TEST_F(SettingsFileTest, OnlyASmallRegularFileIsReadAndNothingBlocks) {
  Write("\xEF\xBB\xBF" "COM=COM4\r\n");
  SettingsLines lines;
  WindowSettings s;
  ASSERT_EQ(LoadSettingsFile(Path(), lines, s).status, SettingsLoad::Loaded);
  EXPECT_EQ(s.port_name, "COM4");  // the byte-order mark is no part of the key

  const auto unreadable = [&](const char* what) {
    SettingsLines l;
    WindowSettings t;
    const auto r = LoadSettingsFile(Path(), l, t);
    EXPECT_EQ(r.status, SettingsLoad::Unreadable) << what;
    EXPECT_NE(r.error.find(Path()), std::string::npos) << what << ": " << r.error;
    EXPECT_EQ(t.password, kDefaultPassword) << what;
    EXPECT_TRUE(l.empty()) << what;
  };
  Write(std::string((1 << 20) + 1, 'x'));
  unreadable("larger than 1 MiB");
  fs::remove(Path());
  fs::create_directory(Path());
  unreadable("a directory");
  fs::remove(Path());
  ASSERT_EQ(mkfifo(Path().c_str(), 0600), 0);
  unreadable("a FIFO nobody writes");
  fs::remove(Path());
  fs::create_symlink("/dev/zero", Path());
  unreadable("a link to /dev/zero");
}

TEST(SettingsValues, StrictIntAcceptsOnlyWholeNumbers) {
  EXPECT_EQ(StrictInt("0"), 0);
  EXPECT_EQ(StrictInt("-12"), -12);
  EXPECT_EQ(StrictInt("+7"), 7);
  EXPECT_FALSE(StrictInt(""));
  EXPECT_FALSE(StrictInt("12a"));
  EXPECT_FALSE(StrictInt("++1"));
  EXPECT_FALSE(StrictInt("99999999999"));
}

TEST(SettingsValues, EmptyValueRemovesTheLineAndNewKeysAppend) {
  SettingsLines lines{"a=1", "KEEP", "B=2"};
  SetSettingValue(lines, "b", "");
  SetSettingValue(lines, "A", "3");
  SetSettingValue(lines, "C", "4");
  SetSettingValue(lines, "D", "");
  EXPECT_EQ(lines, (SettingsLines{"A=3", "KEEP", "C=4"}));
}

TEST_F(SettingsFileTest, UnwritableDirectoryReportsAndKeepsTheOldFile) {
  Write("COM=COM1\r\n");
  SettingsLines lines{"COM=COM2"};
  std::string error;
  // A file where the folder should be: nothing can be created below it.
  const std::string blocked = dir_ + "config.ini/inner/";
  EXPECT_FALSE(WriteSettingsFile(blocked, lines, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Read(), "COM=COM1\r\n");
}

}  // namespace
}  // namespace mirvo
