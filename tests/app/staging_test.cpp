// Copies of handset files in the staging folder, from the window: tagged
// files kept apart, one copy never counted for two files, another user
// of this machine never getting a copy through a shared TEMP, and copies
// saved on into a folder of the user's.
#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <atomic>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/main_window.h"
#include "app/save_folder.h"
#include "app/single_instance.h"
#include "app/transfer_results_dialog.h"
#include "app_test_support.h"
#include "dragdrop/pending_cut.h"
#include "protocol/protocol_engine.h"
#include "test_files.h"

using mirvo::HandsetListing;
using mirvo::app::MainWindow;
using namespace mirvo::apptest;
namespace fs = std::filesystem;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

namespace {

constexpr uid_t kOtherUser = 64023;

// Runs act in a child process as another user; its exit code (99: could
// not become that user). The child makes only system calls.
template <class F>
int AsOtherUser(F act) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
        ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
      ::_exit(99);
    ::_exit(act());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CountOf(const std::vector<std::string>& commands, const std::string& name) {
  int n = 0;
  for (const std::string& command : commands) n += command.rfind(name, 0) == 0;
  return n;
}
int DelCount(const std::vector<std::string>& commands) { return CountOf(commands, "DEL"); }

// Every name below folder, links not followed.
QStringList NamesBelow(const fs::path& folder) {
  QStringList names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    names << QString::fromStdString(entry.path().lexically_relative(folder).string());
  names.sort();
  return names;
}

ssize_t NoSpace(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
int NoSync(int) {
  errno = EIO;
  return -1;
}

}  // namespace

class StagingTest : public QObject {
  Q_OBJECT

  std::unique_ptr<AppEnv> env;
  fs::path root;
  mirvo::sim::SimHandset* handset = nullptr;
  std::vector<QStringList> dialogs, reasons;
  std::unique_ptr<QTimer> dialogWatch;

  std::unique_ptr<MainWindow> Connected() {
    handset = &env->StartHandset(3, root);
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    auto w = std::make_unique<MainWindow>();
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy(), 15000); }();
    handset->ClearLog();
    return w;
  }

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = fs::path(env->dir.path()) / "handset";
    dialogs.clear();
    reasons.clear();
    dialogWatch = WatchResultDialogs(&dialogs, nullptr, &reasons);
  }
  void cleanup() {
    dialogWatch.reset();
    env.reset();
  }

  // "#A#x.txt", "#B#x.txt" and "x.txt" each keep their copy; two names
  // that convert to one local name ("ⅰ" in its IBM and NEC forms) give one
  // copy, and the second fails and stays on the handset through a cut.
  void taggedFilesStageApartAndOneCopyNeverCountsTwice() {
    WriteFile(root / "#A#" / "x.txt", PatternBytes(10));
    WriteFile(root / "#B#" / "x.txt", PatternBytes(20));
    WriteFile(root / "x.txt", PatternBytes(30));
    WriteFile(root / "ⅰ.txt", PatternBytes(40));
    auto w = Connected();
    const fs::path stage = fs::path(env->dir.path()) / "stage";
    w->Transfers().SetStagingDir(stage.string() + "/");
    // The handset cannot hold the NEC form beside the IBM one: the view
    // lists it beside the handset's own files.
    std::vector<std::string> lines = ListedLines(*w);
    QCOMPARE(lines.size(), std::size_t{4});
    lines.push_back("\xEE\xEF.txt,40,2004/01/23/1530," + std::string(32, '-') + ",");
    w->Files().SetListing(HandsetListing::FromLines(lines));
    w->Files().ShowCurrentFolder();
    w->Files().DetailView()->selectAll();
    QCOMPARE(w->Files().SelectedFiles().files.size(), std::size_t{5});

    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    QCOMPARE(ReadFile(stage / "#A#" / "x.txt"), PatternBytes(10));
    QCOMPARE(ReadFile(stage / "#B#" / "x.txt"), PatternBytes(20));
    QCOMPARE(ReadFile(stage / "x.txt"), PatternBytes(30));
    QCOMPARE(ReadFile(stage / "ⅰ.txt"), PatternBytes(40));
    QCOMPARE(dialogs.size(), std::size_t{1});
    QCOMPARE(dialogs[0].filter(QString("転送成功")).size(), 4);
    QCOMPARE(dialogs[0].filter(QString("転送失敗 … ⅰ.txt")).size(), 1);
    // Only the four whose copies are on disk wait for a paste.
    QCOMPARE(w->Cut().Waiting().size(), 4);
    // The handset's files go once a paste moves their copies out.
    QCOMPARE(DelCount(handset->Commands()), 0);
    const fs::path pasted = fs::path(env->dir.path()) / "pasted";
    fs::create_directories(pasted);
    fs::rename(stage / "#A#" / "x.txt", pasted / "a.txt");
    fs::rename(stage / "#B#" / "x.txt", pasted / "b.txt");
    fs::rename(stage / "x.txt", pasted / "x.txt");
    fs::rename(stage / "ⅰ.txt", pasted / "i.txt");
    QTRY_COMPARE_WITH_TIMEOUT(DelCount(handset->Commands()), 4, 20000);

    // One tagged copy taken alone: the session's list loses that file only.
    WriteFile(root / "#A#" / "y.txt", PatternBytes(5));
    WriteFile(root / "#B#" / "y.txt", PatternBytes(6));
    QVERIFY(WaitIdle(*w));
    QCOMPARE(w->Session().Refresh(), mirvo::app::CommandResult::kStarted);
    QVERIFY(WaitIdle(*w));
    w->Files().DetailView()->selectAll();
    QCOMPARE(w->Files().SelectedFiles().files.size(), std::size_t{2});
    std::vector<std::string> kept = ListedLines(*w);
    std::erase_if(kept, [](const std::string& line) { return line.rfind("#A#", 0) != 0; });
    QCOMPARE(kept.size(), std::size_t{1});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    handset->ClearLog();
    fs::rename(stage / "#B#" / "y.txt", pasted / "b.txt");
    QTRY_COMPARE_WITH_TIMEOUT(DelCount(handset->Commands()), 1, 20000);
    QVERIFY(WaitIdle(*w));
    QVERIFY(!fs::exists(root / "#B#" / "y.txt") && fs::exists(root / "#A#" / "y.txt"));
    QCOMPARE(ListedLines(*w), kept);
  }

  // Saved into a folder of the user's byte for byte, a handset folder as a
  // sub-folder; an existing file replaced or kept as the user says; a
  // copy-guarded file, and one whose folder is a file there, failing with
  // their reasons; the folder's mode left as it was. Cancel, or skip for
  // all, fetches nothing more.
  void saveToFolderAsksBeforeReplacing() {
    using Answer = MainWindow::ReplaceAnswer;
    WriteFile(root / "new.bin", PatternBytes(3000));
    WriteFile(root / "keep.txt", PatternBytes(10));
    WriteFile(root / "swap.txt", PatternBytes(20));
    WriteFile(root / "sub" / "deep.txt", PatternBytes(30));
    WriteFile(root / "guard.mid", PatternBytes(3));
    WriteFile(root / "box" / "in.txt", PatternBytes(4));
    WriteFile(root / ".handset-attributes", "guard.mid\t-1" + std::string(30, '-') + "\n");
    const fs::path target = fs::path(env->dir.path()) / "saved";
    WriteFile(target / "keep.txt", "mine");
    WriteFile(target / "swap.txt", "old");
    WriteFile(target / "box", "a file");
    fs::permissions(target, fs::perms(0750));
    auto w = Connected();
    w->Transfers().SetStagingDir((fs::path(env->dir.path()) / "stage").string() + "/");
    w->SetFolderPicker([&](QWidget*) { return QString::fromStdString(target.string()); });
    QStringList asked;
    std::vector<Answer> answers;
    w->SetReplaceAsker([&](QWidget*, const QString& question) {
      asked << question.section("\n", 1, 1);
      if (!answers.empty()) return answers.front();
      return question.contains("swap.txt") ? Answer::Replace : Answer::Skip;
    });
    w->Files().DetailView()->selectAll();
    QCOMPARE(w->Files().SelectedFiles().files.size(), std::size_t{6});
    QCOMPARE(RunToEnd(*w, [&] {
               Action(*w, "save_to_folder")->trigger();
               return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
             }),
             0);
    QCOMPARE(ReadFile(target / "new.bin"), PatternBytes(3000));
    QCOMPARE(ReadFile(target / "sub" / "deep.txt"), PatternBytes(30));
    QCOMPARE(ReadFile(target / "swap.txt"), PatternBytes(20));
    QCOMPARE(ReadFile(target / "keep.txt"), std::string("mine"));
    asked.sort();
    QCOMPARE(asked, (QStringList{"keep.txt", "swap.txt"}));
    QCOMPARE(NamesBelow(target), (QStringList{"box", "keep.txt", "new.bin", "sub", "sub/deep.txt", "swap.txt"}));
    QCOMPARE(fs::status(target).permissions(), fs::perms(0750));
    QCOMPARE(dialogs.size(), std::size_t{1});
    const qsizetype guarded = dialogs[0].indexOf(QString("転送失敗 … guard.mid"));
    QVERIFY2(guarded >= 0, qPrintable(dialogs[0].join("|")));
    QCOMPARE(reasons[0][guarded], QString("コピーガードが設定されています"));
    const qsizetype boxed = dialogs[0].indexOf(QString("転送失敗 … in.txt"));
    QVERIFY2(boxed >= 0 && reasons[0][boxed].contains("フォルダーではありません"), qPrintable(reasons[0].join("|")));
    QVERIFY2(env->Texts().join("|").contains(QString("guard.mid（コピーガードが設定されています）")),
             qPrintable(env->Texts().join("|")));
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 5);

    // Four of six there now: one question for all, and only the two that
    // failed fetched again.
    asked.clear();
    handset->ClearLog();
    answers = {Answer::SkipAll};
    w->Files().DetailView()->selectAll();
    QCOMPARE(RunToEnd(*w, [&] {
               Action(*w, "save_to_folder")->trigger();
               return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
             }),
             0);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 2);
    handset->ClearLog();
    answers = {Answer::Cancel};
    w->Files().DetailView()->selectAll();
    QCOMPARE(w->SaveToFolder(), mirvo::app::CommandResult::kRefused);
    QVERIFY(!w->Session().IsBusy());
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 0);
    QCOMPARE(ReadFile(target / "keep.txt"), std::string("mine"));
  }

  // Nothing written outside the folder, through a name or a link; an
  // existing file kept unless replacing was agreed, and kept whole when the
  // replacement fails on the disk, with no temporary file left.
  void saveFolderStaysInsideAndKeepsOriginals() {
    const fs::path base = env->dir.path(), target = base / "saved", outside = base / "outside";
    WriteFile(base / "copy.bin", PatternBytes(5000));
    WriteFile(target / "old.txt", "original");
    fs::create_directories(outside);
    fs::create_symlink(outside, target / "link");
    std::string why;
    const std::optional<mirvo::app::SaveFolder> folder = mirvo::app::SaveFolder::Open(target.string(), why);
    QVERIFY2(folder, why.c_str());
    const std::string source = (base / "copy.bin").string();
    for (const char* bad : {"../escape.bin", "link/in.bin", "/abs.bin", "a/./b.bin"}) {
      why.clear();
      QVERIFY2(!folder->Copy(source, bad, true, why), bad);
      QVERIFY2(!why.empty(), bad);
    }
    QVERIFY(fs::is_empty(outside) && !fs::exists(base / "escape.bin"));
    QVERIFY(folder->Holds("old.txt") && !folder->Holds("new.txt") && !folder->Holds("link/in.bin"));

    QVERIFY(!folder->Copy(source, "old.txt", false, why));
    QVERIFY2(QString::fromStdString(why).contains("同じ名前のファイル"), why.c_str());
    mirvo::DiskCalls no_space, no_sync;
    no_space.write = NoSpace;
    no_sync.fsync = NoSync;
    for (const mirvo::DiskCalls& calls : {no_space, no_sync}) {
      QVERIFY(!folder->Copy(source, "old.txt", true, why, calls));
      QVERIFY(!folder->Copy(source, "fresh/new.txt", true, why, calls));
    }
    QCOMPARE(ReadFile(target / "old.txt"), std::string("original"));
    QCOMPARE(NamesBelow(target), (QStringList{"fresh", "link", "old.txt"}));
    QVERIFY2(folder->Copy(source, "old.txt", true, why), why.c_str());
    QCOMPARE(ReadFile(target / "old.txt"), PatternBytes(5000));
  }

  // Another user makes TEMP/ZQR (0777) first and holds its lock file, then
  // swaps ZQR/mirvo for a link to their folder in the middle of a fetch:
  // Mirvo starts, stages into the private cache, and a staging folder set
  // to the planted path fetches and deletes nothing.
  void anotherUserPlantingInTempNeverGetsACopy() {
    if (::geteuid() != 0) QSKIP("needs root to run a part of the test as a second user (setresuid)");
    const fs::path base = env->dir.path();
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path temp = base / "tmp", planted = temp / "ZQR", theirs = base / "theirs";
    fs::create_directories(temp);
    fs::permissions(temp, fs::perms::all | fs::perms::sticky_bit);
    fs::create_directories(theirs);
    QCOMPARE(::chown(theirs.c_str(), kOtherUser, kOtherUser), 0);
    const std::string zqr = planted.string(), mirvo = (planted / "mirvo").string(),
                      old = (planted / "old").string(), lock = (planted / "Mirvo.lock").string(),
                      their_dir = theirs.string();
    int ready[2], hold[2];
    QVERIFY(::pipe(ready) == 0 && ::pipe(hold) == 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
      ::close(ready[0]);
      ::close(hold[1]);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
          ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0 || ::mkdir(zqr.c_str(), 0777) != 0 ||
          ::chmod(zqr.c_str(), 0777) != 0 || ::mkdir(mirvo.c_str(), 0777) != 0)
        ::_exit(99);
      const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0666);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(98);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(97);
      (void)!::read(hold[0], &byte, 1);  // until the test ends
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t{1});
    ::close(ready[0]);
    struct EndHolder {
      int fd;
      pid_t pid;
      ~EndHolder() {
        ::close(fd);
        ::waitpid(pid, nullptr, 0);
      }
    } end_holder{hold[1], holder};

    qputenv("TEMP", QByteArray::fromStdString(temp.string()));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((base / "cache").string()));
    qunsetenv("XDG_RUNTIME_DIR");
    struct RestoreEnv {
      ~RestoreEnv() {
        qunsetenv("TEMP");
        qunsetenv("XDG_CACHE_HOME");
      }
    } restore_env;
    mirvo::app::SingleInstance instance;
    QVERIFY(instance.Acquire());
    QCOMPARE(mirvo::app::InstanceDir(), (base / "cache" / "ZQR").string());

    WriteFile(root / "one.bin", PatternBytes(3000));
    WriteFile(root / "two.bin", PatternBytes(100));
    auto w = Connected();
    const fs::path cache = base / "cache" / "ZQR" / "mirvo";
    QCOMPARE(w->Transfers().StagingDir(), cache.string() + "/");
    // Swapped on the session's thread at the first frame, so that it comes
    // between the staging folder's opening and the copy's writing.
    struct Swap {
      std::atomic<int> result{-1};
      std::function<void(std::int64_t)> shown;
    };
    auto swap = std::make_shared<Swap>();
    w->Session().Worker().PostInspect([swap, mirvo, old, their_dir](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) {
      swap->shown = engine.On().progress;
      engine.On().progress = [swap, mirvo, old, their_dir](std::int64_t done) {
        swap->shown(done);
        if (swap->result == -1)
          swap->result = AsOtherUser([&] {
            return ::rename(mirvo.c_str(), old.c_str()) == 0 && ::symlink(their_dir.c_str(), mirvo.c_str()) == 0 ? 0 : 1;
          });
      };
    });
    SelectNamed(*w, {"one.bin"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    w->Session().Worker().PostInspect(
        [swap](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) { engine.On().progress = swap->shown; });
    QCOMPARE(swap->result.load(), 0);
    QCOMPARE(ReadFile(cache / "one.bin"), PatternBytes(3000));
    QVERIFY(fs::is_empty(theirs) && fs::is_empty(planted / "old"));

    // Set to the planted folder (say TEMP was trusted when the window
    // began): the cut fetches nothing and the handset keeps its file.
    w->Transfers().SetStagingDir(mirvo + "/");
    env->boxes.clear();
    handset->ClearLog();
    SelectNamed(*w, {"two.bin"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    QVERIFY(env->Texts().value(0).startsWith(QString("ファイルのコピーに失敗しました。")));
    QVERIFY(handset->Commands().empty());
    QVERIFY(fs::exists(root / "two.bin") && fs::is_empty(theirs));
  }
};

QTEST_MAIN(StagingTest)
#include "staging_test.moc"
