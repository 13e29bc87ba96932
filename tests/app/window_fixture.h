// What the window tests share: the sample handset and a window connected to it.
#pragma once

#include <QStringList>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app_test_support.h"

namespace mirvo::apptest {

inline constexpr const char* kConnectFailed =
    "接続に失敗しました。\nドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります";
inline constexpr const char* kPasswordFailed =
    "何らかの理由により電話機との通信が開始できません。\n編集メニューのパスワード設定は電話機と一致していますか？";

// The sample handset of the window tests.
inline std::filesystem::path MakeSample(const std::string& base) {
  const std::filesystem::path root = std::filesystem::path(base) / "handset";
  MakeFile(root / "b.txt", 1234, 2004, 1, 23, 15, 30);
  MakeFile(root / "A.jpg", 10, 2003, 5, 1, 9, 5);
  MakeFile(root / "c.mid", 0, 2005, 12, 31, 23, 59);
  MakeFile(root / "k1.dat", 1024, 2001, 2, 3, 4, 5);
  MakeFile(root / "k2.dat", 1024, 2001, 2, 3, 4, 6);
  MakeFile(root / "one.dat", 1, 2002, 2, 3, 4, 5);
  MakeFile(root / "dir" / "x.txt", 5, 2006, 6, 6, 6, 6);
  MakeFile(root / "保護.txt", 7, 2007, 7, 7, 7, 7);
  MakeFile(root / "guard.mid", 3, 2008, 8, 8, 8, 8);
  std::ofstream attrs(root / ".handset-attributes");
  attrs << "保護.txt\t10" << std::string(30, '-') << "\n";
  attrs << "guard.mid\t-1" << std::string(30, '-') << "\n";
  attrs << "b.txt\t--" << std::string(30, '-') << "\n";
  return root;
}

// The cells of a column, in row order.
inline QStringList Column(app::MainWindow& w, int column) {
  QStringList cells;
  auto& model = w.Files().Model();
  for (int row = 0; row < model.rowCount(); ++row) cells << model.index(row, column).data().toString();
  return cells;
}

inline int RowNamed(app::MainWindow& w, const QString& name) { return static_cast<int>(Column(w, 0).indexOf(name)); }

// A fresh settings folder and sample handset for each test.
class WindowFixture {
 protected:
  void SetUp() {
    env = std::make_unique<AppEnv>();
    root = MakeSample(env->dir.path());
  }
  void TearDown() { env.reset(); }

  // A window on the sample handset as COM3, connected.
  std::unique_ptr<app::MainWindow> Connected(sim::HandsetOptions options = {}) {
    env->StartHandset(3, root, std::move(options));
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    auto w = std::make_unique<app::MainWindow>();
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    return w;
  }

  std::unique_ptr<AppEnv> env;
  std::filesystem::path root;
};

}  // namespace mirvo::apptest
