// The handset's file system, its frame encoder and the line pacer, without a
// terminal in between.
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

#include "test_files.h"
#include "handset/sim_fs.h"
#include "handset/sim_wire.h"
#include "pty_pair.h"

namespace mirvo::sim {
namespace {

namespace fs = std::filesystem;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

// Every file's modification time: 23 January 2004, 15:30 local time.
void SetListTime(const fs::path& root) {
  tm t{};
  t.tm_year = 104;
  t.tm_mon = 0;
  t.tm_mday = 23;
  t.tm_hour = 15;
  t.tm_min = 30;
  t.tm_isdst = -1;
  const timespec times[2] = {{mktime(&t), 0}, {mktime(&t), 0}};
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (!entry.is_symlink() && entry.is_regular_file()) utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
}

const std::string kFlagsOff = "00" + std::string(30, '-');
const std::string kProtected = "10" + std::string(30, '-');
const std::string kCopyGuarded = "01" + std::string(30, '-');

TEST(SimWire, FramesAreTypeLengthDataCrcBigEndian) {
  EXPECT_EQ(EncodeFrame(kEtx, "GET_LIST\r\n"), std::string("\x03\x00\x0A" "GET_LIST\r\n\x81\x9A", 15));
  EXPECT_EQ(EncodeFrame(kEtx, "OK\r\n"), std::string("\x03\x00\x04OK\r\n\x80\x38", 9));
  EXPECT_EQ(EncodeFrame(kEtx, ""), std::string("\x03\x00\x00\x00\x00", 5));
  const std::string big = EncodeFrame(kStx, std::string(1024, '\x02'));
  EXPECT_EQ(big.size(), 1029u);
  EXPECT_EQ(big.substr(0, 3), std::string("\x02\x04\x00", 3));
}

TEST(SimWire, PacerKeepsExactLineTimeOverLongTransfers) {
  using namespace std::chrono;
  LinePacer pacer(11520);
  EXPECT_EQ(pacer.ChunkBytes(), 57u);
  const auto t0 = LinePacer::Clock::time_point{} + hours(1);
  // 11,520 bytes back to back take one second, however the chunks fall and
  // even when the sender wakes late for each chunk.
  auto done = pacer.Schedule(57, t0);
  std::size_t sent = 57;
  while (sent < 11520) {
    const std::size_t n = std::min<std::size_t>(57, 11520 - sent);
    done = pacer.Schedule(n, pacer.FreeAt());
    sent += n;
  }
  EXPECT_EQ(done, t0 + seconds(1));
  // A quiet line gives no credit: bytes after a pause start from the pause's end.
  const auto later = t0 + seconds(5);
  EXPECT_EQ(pacer.Schedule(1152, later), later + milliseconds(100));
  // Bytes that were waiting while the line was busy follow straight on.
  EXPECT_EQ(pacer.Schedule(1152, later), later + milliseconds(200));

  LinePacer off(0);
  EXPECT_FALSE(off.IsEnabled());
  EXPECT_EQ(off.Schedule(1'000'000, t0), t0);
}

class SimFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(dir_.path()) / "root";
    WriteFile(root_ / "a.txt", "abc");
    WriteFile(root_ / "dir/sub/f.txt", std::string(1234, 'f'));
    WriteFile(root_ / "表/ソ.txt", "x");                      // second bytes 0x5C
    WriteFile(root_ / "#SD#/music/m.bin", std::string(7, '\0'));  // tag folder
    WriteFile(root_ / "#abc", "h");                          // no second "#": no tag
    WriteFile(root_ / "protected.txt", "p");
    WriteFile(root_ / "guarded.txt", "g");
    // Names no list line could carry, and things that are not files of the handset.
    WriteFile(root_ / "comma,name.txt", "1");
    WriteFile(root_ / "dot･name.txt", "1");
    WriteFile(root_ / "back\\slash.txt", "1");
    WriteFile(root_ / "#x#y/z.txt", "1");
    WriteFile(root_ / ".handset-upload-1", "1");
    WriteFile(fs::path(dir_.path()) / "outside.txt", "secret");
    fs::create_symlink(fs::path(dir_.path()) / "outside.txt", root_ / "link.txt");
    fs::create_directory_symlink(dir_.path(), root_ / "linkdir");
    WriteFile(root_ / ".handset-attributes",
              "protected.txt\t" + kProtected + "\r\nguarded.txt\t" + kCopyGuarded + "\n\n");
    SetListTime(root_);
  }

  testing::TempDir dir_;
  fs::path root_;
};

TEST_F(SimFsTest, ListsEveryListableFileOnceWithHandsetNamesAndFlags) {
  HandsetFs handset(root_);
  const std::string d = ",2004/01/23/1530,";
  const std::string expected =
      "#SD#music\xA5m.bin,7" + d + kFlagsOff + ",\r\n" +  //
      "#abc,1" + d + kFlagsOff + ",\r\n" +                  //
      "a.txt,3" + d + kFlagsOff + ",\r\n" +                 //
      "dir\xA5sub\xA5" "f.txt,1234" + d + kFlagsOff + ",\r\n" +
      "guarded.txt,1" + d + kCopyGuarded + ",\r\n" +        //
      "protected.txt,1" + d + kProtected + ",\r\n" +        //
      "\x95\x5C\xA5\x83\x5C.txt,1" + d + kFlagsOff + ",\r\n";
  EXPECT_EQ(handset.ListText(), expected);
}

TEST_F(SimFsTest, ReadsOnlyFilesInsideTheRootByHandsetPath) {
  HandsetFs handset(root_);
  std::string data;
  EXPECT_EQ(handset.ReadFile("dir\xA5sub\xA5" "f.txt", kHandsetSeparator, data), HandsetFs::Result::kOk);
  EXPECT_EQ(data, std::string(1234, 'f'));
  EXPECT_EQ(handset.ReadFile("\x95\x5C\xA5\x83\x5C.txt", kHandsetSeparator, data), HandsetFs::Result::kOk);
  EXPECT_EQ(handset.ReadFile("#SD#music\xA5m.bin", kHandsetSeparator, data), HandsetFs::Result::kOk);
  EXPECT_EQ(data, std::string(7, '\0'));
  EXPECT_EQ(handset.ReadFile("dir\\sub\\f.txt", kHandsetSeparator, data), HandsetFs::Result::kBadName);
  EXPECT_EQ(handset.ReadFile("dir\\sub\\f.txt", kPcSeparator, data), HandsetFs::Result::kOk);
  EXPECT_EQ(handset.ReadFile("guarded.txt", kHandsetSeparator, data), HandsetFs::Result::kCopyGuarded);
  EXPECT_EQ(handset.ReadFile("none.txt", kHandsetSeparator, data), HandsetFs::Result::kMissing);
  EXPECT_EQ(handset.ReadFile("dir", kHandsetSeparator, data), HandsetFs::Result::kMissing);
  EXPECT_EQ(handset.ReadFile("link.txt", kHandsetSeparator, data), HandsetFs::Result::kMissing);
  EXPECT_EQ(handset.ReadFile("linkdir\xA5outside.txt", kHandsetSeparator, data), HandsetFs::Result::kMissing);
  for (const std::string bad : {"", "..\xA5outside.txt", "/etc/passwd", "dir\xA5\xA5sub", "#SD#", ".handset-attributes"})
    EXPECT_EQ(handset.ReadFile(bad, kHandsetSeparator, data), HandsetFs::Result::kBadName) << bad;
}

TEST_F(SimFsTest, UploadsLandWhole_OrNotAtAll_AndKeepTheirFlags) {
  HandsetFs handset(root_);
  std::unique_ptr<HandsetFs::Upload> upload;
  {
    ASSERT_EQ(handset.BeginUpload("new\xA5n.bin", kProtected, upload), HandsetFs::Result::kOk);
    ASSERT_TRUE(upload->Write("part"));
    EXPECT_FALSE(fs::exists(root_ / "new/n.bin"));
    upload.reset();  // never committed
  }
  EXPECT_FALSE(fs::exists(root_ / "new/n.bin"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "new"), fs::directory_iterator()), 0);

  ASSERT_EQ(handset.BeginUpload("new\xA5n.bin", kProtected, upload), HandsetFs::Result::kOk);
  ASSERT_TRUE(upload->Write("whole"));
  ASSERT_TRUE(upload->Commit());
  upload.reset();
  EXPECT_EQ(ReadFile(root_ / "new/n.bin"), "whole");
  EXPECT_NE(ReadFile(root_ / ".handset-attributes").find("new/n.bin\t" + kProtected + "\n"), std::string::npos);

  // Protected now: neither overwritten nor deleted; a new handset reads the sidecar back.
  HandsetFs again(root_);
  EXPECT_EQ(again.BeginUpload("new\xA5n.bin", kFlagsOff, upload), HandsetFs::Result::kProtected);
  EXPECT_EQ(again.Delete("new\\n.bin", kPcSeparator), HandsetFs::Result::kProtected);
  EXPECT_EQ(again.Delete("a.txt", kPcSeparator), HandsetFs::Result::kOk);
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));
  EXPECT_EQ(again.Delete("a.txt", kPcSeparator), HandsetFs::Result::kMissing);
  EXPECT_EQ(again.Delete("linkdir\\outside.txt", kPcSeparator), HandsetFs::Result::kMissing);
  EXPECT_TRUE(fs::exists(fs::path(dir_.path()) / "outside.txt"));

  for (const std::string bad : {"..\xA5x", "", "/tmp/x", "a,b", "dir", "#T#"})
    EXPECT_NE(again.BeginUpload(bad, kFlagsOff, upload), HandsetFs::Result::kOk) << bad;
  EXPECT_EQ(again.BeginUpload("ok.txt", "short", upload), HandsetFs::Result::kBadName);
}

TEST_F(SimFsTest, MalformedSidecarIsRefusedWithItsLine) {
  WriteFile(root_ / ".handset-attributes", "a.txt\t" + kFlagsOff + "\nb.txt\t0\n");
  try {
    HandsetFs handset(root_);
    FAIL() << "accepted a short flag field";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(".handset-attributes:2:"), std::string::npos) << e.what();
  }
  EXPECT_THROW(HandsetFs(root_ / "a.txt"), std::runtime_error);
}

}  // namespace
}  // namespace mirvo::sim
