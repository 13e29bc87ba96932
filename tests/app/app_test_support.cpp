#include "app_test_support.h"

#include <QApplication>
#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <QListWidget>
#include <QPushButton>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/transfer_results_dialog.h"
#include "core/paths.h"
#include "protocol/protocol_engine.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"

namespace mirvo::apptest {

namespace fs = std::filesystem;

AppEnv::AppEnv() {
  // Settings and staged copies stay in the test's folder, never the user's.
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"APPDATA", dir.path()},
                                    {"XDG_CACHE_HOME", dir.path() + "/cache"}}) {
    const char* old = std::getenv(name);
    saved_env_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
  }
  // Only the test's own links resolve: never a device of the machine.
  SetPortResolver([](const std::string& name) -> std::optional<std::string> {
    const auto n = ComPortNumber(name);
    std::error_code ec;
    if (!n || !fs::is_symlink(fs::path(mirvo::SettingsDir()) / "ports" / ("COM" + std::to_string(*n)), ec))
      return std::nullopt;
    return DefaultPortResolver(name);
  });
  hooks.SetResponder([this](const app::MessageRequest& request) {
    boxes.push_back({request.caption, request.text, request.icon, request.buttons});
    if (!answers.empty()) {
      const MsgAnswer answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return request.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
  });
}

AppEnv::~AppEnv() {
  handsets.clear();
  SetPortResolver(nullptr);
  for (const auto& [name, old] : saved_env_) {
    if (old)
      setenv(name.c_str(), old->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
}

void AppEnv::WriteConfig(const std::string& bytes) const {
  fs::create_directories(SettingsDir());
  std::ofstream(SettingsDir() + "config.ini", std::ios::binary) << bytes;
}

std::string AppEnv::ReadConfig() const {
  std::ifstream in(SettingsDir() + "config.ini", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool AppEnv::ConfigExists() const { return fs::exists(SettingsDir() + "config.ini"); }

sim::SimHandset& AppEnv::StartHandset(int com, const fs::path& root, sim::HandsetOptions options) {
  options.wait = std::chrono::milliseconds(3000);
  handsets.push_back(std::make_unique<sim::SimHandset>(root, std::move(options)));
  dir.LinkPort(com, handsets.back()->DevicePath());
  return *handsets.back();
}

QStringList AppEnv::Texts() const {
  QStringList texts;
  for (const Box& box : boxes) texts << box.text;
  return texts;
}

void OnNextModal(std::function<void(QWidget*)> fn, std::chrono::milliseconds bound) {
  auto* timer = new QTimer(qApp);
  auto deadline = std::chrono::steady_clock::now() + bound;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, fn = std::move(fn), deadline] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible()) {
      timer->stop();
      timer->deleteLater();
      fn(modal);
    } else if (std::chrono::steady_clock::now() > deadline) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

void MakeFile(const fs::path& path, std::size_t size, int year, int month, int day, int hour, int minute) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
  }
  const QDateTime when(QDate(year, month, day), QTime(hour, minute));
  const auto since_epoch = std::chrono::seconds(when.toSecsSinceEpoch());
  const auto system = std::chrono::system_clock::time_point(since_epoch);
  fs::last_write_time(path, std::chrono::file_clock::from_sys(system));
}

void SelectNamed(app::MainWindow& window, const QStringList& names) {
  auto& model = window.Files().Model();
  auto* selection = window.Files().DetailView()->selectionModel();
  selection->clearSelection();
  for (int row = 0; row < model.rowCount(); ++row)
    if (names.contains(model.index(row, 0).data().toString()))
      selection->select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void ShrinkTimeouts(app::MainWindow& window) {
  window.Session().SetTimeouts({.read_ms = 3000, .write_ms = 3000, .read_interval_ms = 3000},
                               {.ack = 2000, .data = 2000, .reply = 3000, .first_frame = 3000});
}

bool WaitIdle(app::MainWindow& window, std::chrono::milliseconds bound) {
  return QTest::qWaitFor([&] { return !window.Session().IsBusy(); }, static_cast<int>(bound.count()));
}

int RunToEnd(app::MainWindow& window, const std::function<app::CommandResult()>& command,
             std::chrono::milliseconds bound) {
  QSignalSpy ended(&window.Transfers(), &app::TransferController::RunFinished);
  if (command() != app::CommandResult::kStarted) return -1;
  if (!QTest::qWaitFor([&] { return ended.count() > 0; }, static_cast<int>(bound.count()))) return -2;
  return WaitIdle(window, bound) ? 0 : -2;
}

Download DownloadToEnd(app::MainWindow& window, std::optional<std::vector<HandsetFile>> files) {
  Download d;
  auto keep = [&d](const app::TransferController::Fetched& f) { d.fetched = f; };
  d.started = RunToEnd(window, [&] {
    return files ? window.Transfers().DownloadFiles(*files, keep) : window.Transfers().DownloadSelected(keep);
  });
  return d;
}

std::vector<std::string> ListedLines(app::MainWindow& window) {
  std::vector<std::string> lines;
  for (const HandsetFile& f : window.Session().Listing()->Files()) lines.push_back(f.line);
  return lines;
}

void ShowAndActivate(app::MainWindow& window) {
  window.show();
  window.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window));
}

std::unique_ptr<QTimer> WatchResultDialogs(std::vector<QStringList>* shown, const bool* escape,
                                           std::vector<QStringList>* reasons) {
  auto watch = std::make_unique<QTimer>();
  watch->setInterval(5);
  QObject::connect(watch.get(), &QTimer::timeout, [shown, escape, reasons] {
    auto* dialog = qobject_cast<app::TransferResultsDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) return;
    QStringList lines, why;
    for (int i = 0; i < dialog->ResultList()->count(); ++i) {
      lines << dialog->ResultList()->item(i)->text();
      why << dialog->ReasonOf(i);
    }
    shown->push_back(lines);
    if (reasons) reasons->push_back(why);
    if (escape && *escape)
      QTest::keyClick(dialog, Qt::Key_Escape);
    else
      dialog->OkButton()->click();
  });
  watch->start();
  return watch;
}

}  // namespace mirvo::apptest
