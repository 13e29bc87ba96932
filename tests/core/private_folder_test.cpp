// The private folder and the copies written into it: trust of the path,
// writes that go through the opened folder, names kept inside it, and
// failures that leave nothing behind.
#include "core/private_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/paths.h"
#include "core/staged_file.h"
#include "test_files.h"

namespace fs = std::filesystem;
using mirvo::PrivateFolder;
using mirvo::StagedFile;
using mirvo::WriteStagedCopy;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

namespace {

constexpr uid_t kOtherUser = 64017;

unsigned Mode(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::size_t Entries(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class PrivateFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mirvo-private-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base = pattern;
  }
  void TearDown() override { fs::remove_all(base); }

  PrivateFolder Opened(const fs::path& path) {
    std::string why;
    std::optional<PrivateFolder> folder = PrivateFolder::Open(path, why);
    EXPECT_TRUE(folder) << why;
    return std::move(*folder);
  }

  fs::path base;
  std::string why;
};

TEST_F(PrivateFolderTest, OwnFoldersAreMadePrivateAndLinksOnlyOnTheWay) {
  // Missing folders are made 0700; a wider mode of our own folder narrowed.
  PrivateFolder made = Opened(base / "a" / "ZQR" / "mirvo");
  EXPECT_EQ(Mode(base / "a" / "ZQR"), 0700u);
  EXPECT_EQ(Mode(base / "a" / "ZQR" / "mirvo"), 0700u);
  EXPECT_EQ(made.Path(), (base / "a" / "ZQR" / "mirvo").string());
  fs::permissions(base / "a" / "ZQR" / "mirvo", fs::perms::all);
  EXPECT_TRUE(PrivateFolder::CanOpen(base / "a" / "ZQR" / "mirvo"));
  Opened(base / "a" / "ZQR" / "mirvo");
  EXPECT_EQ(Mode(base / "a" / "ZQR" / "mirvo"), 0700u);

  // A folder on the way that others may write to, unless sticky and root's.
  fs::permissions(base / "a" / "ZQR", fs::perms::all);
  EXPECT_FALSE(PrivateFolder::CanOpen(base / "a" / "ZQR" / "mirvo"));
  EXPECT_FALSE(PrivateFolder::Open(base / "a" / "ZQR" / "mirvo", why));
  EXPECT_FALSE(why.empty());
  fs::permissions(base / "a" / "ZQR", fs::perms::owner_all | fs::perms::group_all);
  EXPECT_FALSE(PrivateFolder::CanOpen(base / "a" / "ZQR" / "mirvo"));  // a group may write there too
  EXPECT_TRUE(PrivateFolder::CanOpen("/tmp/mirvo-never-made/ZQR/mirvo"));

  // A link to a safe folder is followed on the way, never as the folder.
  fs::create_directory_symlink(base / "a", base / "via");
  fs::permissions(base / "a" / "ZQR", fs::perms::owner_all);
  EXPECT_EQ(Opened(base / "via" / "ZQR" / "mirvo").Path(), (base / "a" / "ZQR" / "mirvo").string());
  fs::create_directory_symlink(base / "a" / "ZQR" / "mirvo", base / "a" / "ZQR" / "link");
  EXPECT_FALSE(PrivateFolder::Open(base / "a" / "ZQR" / "link", why));
  EXPECT_FALSE(PrivateFolder::CanOpen(base / "a" / "ZQR" / "link"));
}

TEST_F(PrivateFolderTest, AnotherUsersFolderIsNeverUsedAndTempFallsBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make folders of another user";
  // Planted: a shared TEMP with ZQR of another user, mode 0777.
  fs::create_directories(base / "temp" / "ZQR" / "mirvo");
  fs::permissions(base / "temp", fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(base / "temp" / "ZQR", fs::perms::all);
  ASSERT_EQ(::chown((base / "temp" / "ZQR").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(PrivateFolder::Open(base / "temp" / "ZQR" / "mirvo", why));
  setenv("TEMP", (base / "temp").c_str(), 1);
  setenv("XDG_CACHE_HOME", (base / "cache").c_str(), 1);
  EXPECT_EQ(mirvo::StagingDirPath(), (base / "cache" / "ZQR" / "mirvo").string() + "/");
  fs::permissions(base / "temp" / "ZQR", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  EXPECT_FALSE(PrivateFolder::CanOpen(base / "temp" / "ZQR" / "mirvo"));  // theirs, however narrow
  ASSERT_EQ(::chown((base / "temp" / "ZQR").c_str(), 0, 0), 0);
  fs::permissions(base / "temp" / "ZQR", fs::perms::owner_all);
  EXPECT_EQ(mirvo::StagingDirPath(), (base / "temp" / "ZQR" / "mirvo").string() + "/");

  // The folder itself of another user, even private to them.
  ASSERT_EQ(::chown((base / "temp" / "ZQR" / "mirvo").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(PrivateFolder::Open(base / "temp" / "ZQR" / "mirvo", why));
  EXPECT_NE(why.find("他のユーザー"), std::string::npos) << why;
  EXPECT_EQ(mirvo::StagingDirPath(), (base / "cache" / "ZQR" / "mirvo").string() + "/");

  // Their link in a sticky folder, pointing at a safe one.
  fs::create_directories(base / "safe");
  fs::create_directory_symlink(base / "safe", base / "temp" / "theirs");
  ASSERT_EQ(::lchown((base / "temp" / "theirs").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(PrivateFolder::Open(base / "temp" / "theirs" / "mirvo", why));

  // Their folder inside ours: no copy goes through it.
  PrivateFolder stage = Opened(base / "stage");
  fs::create_directories(base / "stage" / "sub");
  ASSERT_EQ(::chown((base / "stage" / "sub").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(WriteStagedCopy(stage, "sub/x.txt", "x", std::nullopt, why));
  EXPECT_NE(why.find("他のユーザー"), std::string::npos) << why;
  EXPECT_TRUE(fs::is_empty(base / "stage" / "sub"));
  unsetenv("TEMP");
  unsetenv("XDG_CACHE_HOME");
}

TEST_F(PrivateFolderTest, WritesGoThroughTheOpenedFolderWholeAndDated) {
  PrivateFolder folder = Opened(base / "stage");
  // Swapped for a link after the open: the write stays in the real folder.
  fs::rename(base / "stage", base / "moved");
  fs::create_directories(base / "theirs");
  fs::create_directory_symlink(base / "theirs", base / "stage");
  const std::string data = mirvo::testing::PatternBytes(3 << 20);
  int chunks = 0;
  const timespec date{1074839400, 0};
  ASSERT_TRUE(WriteStagedCopy(folder, "sub/x.bin", data, date, why, [&] { ++chunks; })) << why;
  EXPECT_EQ(ReadFile(base / "moved" / "sub" / "x.bin"), data);
  EXPECT_TRUE(fs::is_empty(base / "theirs"));
  EXPECT_EQ(chunks, 2);
  EXPECT_EQ(Mode(base / "moved" / "sub" / "x.bin"), 0644u);
  EXPECT_EQ(Mode(base / "moved" / "sub"), 0700u);
  struct stat st {};
  ASSERT_EQ(::stat((base / "moved" / "sub" / "x.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, date.tv_sec);
  EXPECT_EQ(Entries(base / "moved" / "sub"), 1u);
}

TEST_F(PrivateFolderTest, NamesStayInsideTheFolderPartByPart) {
  for (const char* bad : {"", ".", "..", "../x", "a/../b", "/abs", "a//b", "a/", "./a"})
    EXPECT_FALSE(mirvo::SafeRelativeParts(bad)) << bad;
  EXPECT_EQ(mirvo::SafeRelativeParts("a/b.txt"), (std::vector<std::string>{"a", "b.txt"}));
  EXPECT_FALSE(mirvo::RelativeInside("/s/stage", "/s/stage/../x"));
  EXPECT_FALSE(mirvo::RelativeInside("/s/stage/", "/s/stagex/a"));
  EXPECT_FALSE(mirvo::RelativeInside("/s/stage", "/s/stage/"));
  EXPECT_EQ(mirvo::RelativeInside("/s/stage/", "/s/./stage/a//b"), "a/b");

  PrivateFolder folder = Opened(base / "stage");
  EXPECT_FALSE(WriteStagedCopy(folder, "../escape.txt", "x", std::nullopt, why));
  EXPECT_FALSE(fs::exists(base / "escape.txt"));
  // A folder inside that is a link is not followed.
  fs::create_directories(base / "elsewhere");
  fs::create_directory_symlink(base / "elsewhere", base / "stage" / "sub");
  EXPECT_FALSE(WriteStagedCopy(folder, "sub/x.txt", "x", std::nullopt, why));
  EXPECT_TRUE(fs::is_empty(base / "elsewhere"));
}

ssize_t FailingWrite(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
int FailingSync(int) {
  errno = EIO;
  return -1;
}
int FailingFolderSync(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return FailingSync(fd);
  return ::fsync(fd);
}

TEST_F(PrivateFolderTest, FailedWritesLeaveNoTemporaryFileAndKeepTheOlderCopy) {
  PrivateFolder folder = Opened(base / "stage");
  ASSERT_TRUE(WriteStagedCopy(folder, "x.txt", "older", std::nullopt, why)) << why;
  mirvo::DiskCalls no_space;
  no_space.write = FailingWrite;
  mirvo::DiskCalls no_sync;
  no_sync.fsync = FailingSync;
  for (const mirvo::DiskCalls& calls : {no_space, no_sync}) {
    why.clear();
    EXPECT_FALSE(WriteStagedCopy(folder, "x.txt", "newer", std::nullopt, why, {}, calls));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(ReadFile(base / "stage" / "x.txt"), "older");
    EXPECT_EQ(Entries(base / "stage"), 1u);
  }
  // Dropped before its commit: nothing is left either.
  {
    std::optional<StagedFile> file = StagedFile::Create(folder, "y.txt", why);
    ASSERT_TRUE(file && file->Write("partial", why));
  }
  EXPECT_EQ(Entries(base / "stage"), 1u);
  // A rename the disk may not have kept is no success either.
  mirvo::DiskCalls no_folder_sync;
  no_folder_sync.fsync = FailingFolderSync;
  why.clear();
  EXPECT_FALSE(WriteStagedCopy(folder, "z.txt", "new", std::nullopt, why, {}, no_folder_sync));
  EXPECT_NE(why.find(std::strerror(EIO)), std::string::npos) << why;
}

}  // namespace
