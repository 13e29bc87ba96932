// Fetching, sending and deleting handset files from the window, against the
// simulated handset on a pseudo-terminal.
#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/results_dialog.h"
#include "app/transfer_progress.h"
#include "app_test_support.h"
#include "protocol/engine.h"

using mirvo::app::TFrmMain;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Distinct bytes, so that a shifted or mixed-up copy shows.
std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) % 251);
  return s;
}

}  // namespace

class TransferTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnv> env;
  fs::path root, stage;
  mirvo::sim::SimHandset* handset = nullptr;

  std::unique_ptr<TFrmMain> Connected(const QStringList& params = {}, mirvo::sim::HandsetOptions options = {}) {
    handset = &env->StartHandset(3, root, std::move(options));
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    auto w = std::make_unique<TFrmMain>(params);
    w->StagingDir = stage.string() + "/";
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && !w->Connecting && !w->Busy, 15000); }();
    handset->ClearLog();
    return w;
  }

  void Select(TFrmMain& w, const QStringList& names) {
    auto& model = w.ListModel();
    auto* selection = w.DetailView()->selectionModel();
    selection->clearSelection();
    for (int row = 0; row < model.rowCount(); ++row)
      if (names.contains(model.index(row, 0).data().toString()))
        selection->select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(selection->selectedRows().size(), names.size());
  }

  // Answers the next result dialog with its lines; empty when none came.
  QStringList* ExpectResults() {
    auto* lines = new QStringList;
    results_.reset(lines);
    OnNextModal([lines](QWidget* modal) {
      auto* dialog = qobject_cast<mirvo::app::TFrmTransResult*>(modal);
      if (!dialog) return;
      for (int i = 0; i < dialog->listboxTransResult->count(); ++i) *lines << dialog->listboxTransResult->item(i)->text();
      dialog->btnOK->click();
    }, std::chrono::seconds(15));
    return lines;
  }
  std::unique_ptr<QStringList> results_;

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = fs::path(env->dir.path()) / "handset";
    stage = fs::path(env->dir.path()) / "stage";
    WriteBytes(root / "one.bin", Pattern(3000, 1));
    WriteBytes(root / "two.bin", Pattern(1024, 2));
    WriteBytes(root / "three.bin", Pattern(1, 3));
    WriteBytes(root / "sub" / "deep.txt", Pattern(10, 4));
    MakeFile(root / "dated.txt", 5, 2004, 1, 23, 15, 30);
  }
  void cleanup() {
    results_.reset();
    env.reset();
  }

  void downloadRunStagesEveryFileByteExactWithItsDate() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin", "three.bin", "sub\\deep.txt", "dated.txt"});
    QStringList paths;
    QCOMPARE(w->DownloadSelected(paths), 0);
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(paths.size(), 5);
    QCOMPARE(w->LastDownloaded.size(), std::size_t{5});
    for (const char* name : {"one.bin", "two.bin", "three.bin", "dated.txt"})
      QCOMPARE(Read(stage / name), Read(root / name));
    QCOMPARE(Read(stage / "sub" / "deep.txt"), Read(root / "sub" / "deep.txt"));
    QVERIFY(paths.contains(QString::fromStdString((stage / "sub" / "deep.txt").string())));
    QCOMPARE(fs::last_write_time(stage / "dated.txt"), fs::last_write_time(root / "dated.txt"));
    struct stat st {};
    QCOMPARE(::stat(stage.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QVERIFY(!w->Busy && w->SessionOpen && w->LinkOpen);
    QVERIFY(!w->Progress().isVisible());
  }

  void commandLineFilesAreSentOnceAfterTheFirstConnection() {
    const fs::path local = fs::path(env->dir.path()) / "local";
    WriteBytes(local / "up1.dat", Pattern(2500, 5));
    WriteBytes(local / "up2.dat", Pattern(7, 6));
    fs::create_directories(local / "folder");
    const QString p1 = QString::fromStdString((local / "up1.dat").string());
    const QString p2 = QString::fromStdString((local / "up2.dat").string());
    auto w = Connected({p1, QString::fromStdString((local / "missing.dat").string()),
                        QString::fromStdString((local / "folder").string()), p2});
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(Read(root / "up1.dat"), Read(local / "up1.dat"));
    QCOMPARE(Read(root / "up2.dat"), Read(local / "up2.dat"));
    QVERIFY(w->PendingUploads.isEmpty());
    QCOMPARE(w->ListModel().rowCount(), 7);
    // A second connection sends nothing.
    QCOMPARE(w->Disconnect(), 0);
    handset->ClearLog();
    QCOMPARE(w->Connect(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(w->SessionOpen && !w->Connecting, 15000);
    for (const std::string& command : handset->Commands()) QVERIFY(command.rfind("PUT_FILE", 0) != 0);
  }

  void deleteAsksFirstAndShowsTheFolderWithoutTheSearch() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin"});
    env->answers = {mirvo::MsgAnswer::Cancel};
    w->tbtnDelete->click();
    QCOMPARE(env->Texts(), QStringList{U("ファイルを削除しますか？")});
    QCOMPARE(env->boxes[0].icon, mirvo::MsgIcon::Question);
    QVERIFY(fs::exists(root / "one.bin") && fs::exists(root / "two.bin"));

    w->SearchPattern = "*three*";
    w->RefreshFileView();
    QCOMPARE(w->ListModel().rowCount(), 1);
    w->SearchPattern = "*";
    w->RefreshFileView();
    Select(*w, {"one.bin", "two.bin"});
    w->SearchPattern = "*three*";
    QCOMPARE(w->DeleteSelected(true), 0);
    QVERIFY(!fs::exists(root / "one.bin") && !fs::exists(root / "two.bin"));
    QCOMPARE(w->DeviceListCache.size(), std::size_t{3});
    QCOMPARE(w->ListModel().rowCount(), 3);  // unfiltered
  }
};

QTEST_MAIN(TransferTest)
#include "transfer_test.moc"
