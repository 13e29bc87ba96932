// What the window tests share: a throwaway settings folder whose port links
// lead only to simulated handsets, scripted message boxes, modal dialogs
// answered from the event loop, and sample handset folders.
#pragma once

#include <QAction>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/file_view.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/status_field.h"
#include "app/transfer_controller.h"
#include "handset/sim_handset.h"
#include "pty_pair.h"

namespace mirvo::app {
class MainWindow;
}

namespace mirvo::apptest {

using app::StatusField;
using app::MsgAnswer;
using app::MsgButtons;
using app::MsgIcon;

// A widget, action or menu of a window by its object name.
template <class T>
T* Child(QObject& parent, const QString& name) {
  return parent.findChild<T*>(name);
}
// The command a menu item, pop-up item and tool button share, and its tool button.
inline QAction* Action(QObject& window, const char* command) {
  return Child<QAction>(window, QString(command) + "_action");
}
inline QToolButton* Button(QObject& window, const char* command) {
  return Child<QToolButton>(window, QString(command) + "_button");
}

// Takes the URLs the window opens, in place of the desktop's
// applications: QDesktopServices::setUrlHandler("file", &catcher, "Open").
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
  Q_INVOKABLE void Open(const QUrl& url) { urls << url; }
};

struct Box {
  QString caption;
  QString text;
  MsgIcon icon;
  MsgButtons buttons;
};

class AppEnv {
 public:
  AppEnv();
  ~AppEnv();
  AppEnv(const AppEnv&) = delete;
  AppEnv& operator=(const AppEnv&) = delete;

  std::string SettingsDir() const { return dir.SettingsDir(); }
  void WriteConfig(const std::string& bytes) const;
  std::string ReadConfig() const;
  bool ConfigExists() const;

  // A handset serving a fresh folder, linked as COMn.
  sim::SimHandset& StartHandset(int com, const std::filesystem::path& root, sim::HandsetOptions options = {});

  // Texts of the boxes shown so far.
  QStringList Texts() const;

  testing::TempDir dir;
  app::MessageBoxes hooks;
  std::vector<Box> boxes;
  // Answers for the next boxes; when empty: OK, and No to a question.
  std::deque<MsgAnswer> answers;
  std::vector<std::unique_ptr<sim::SimHandset>> handsets;

 private:
  // The variables the test points into its folder, as they were before.
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

// Runs fn on the next modal window once it is shown, from the event loop.
// Gives up after bound.
void OnNextModal(std::function<void(QWidget*)> fn, std::chrono::milliseconds bound = std::chrono::seconds(30));

// A file of size bytes (or the given content) with a fixed local time stamp.
void MakeFile(const std::filesystem::path& path, std::size_t size, int year = 2004, int month = 1, int day = 23,
              int hour = 15, int minute = 30);

// Selects exactly the rows whose names are given.
void SelectNamed(app::MainWindow& window, const QStringList& names);

// Time-outs short enough for tests.
void ShrinkTimeouts(app::MainWindow& window);

// Runs a command that starts a transfer run and, when it started, waits
// until the run has ended and the session is free again. 0 when it ran to
// its end, -1 when the command was refused, -2 when the run did not end
// within bound.
int RunToEnd(app::MainWindow& window, const std::function<app::CommandResult()>& command,
             std::chrono::milliseconds bound = std::chrono::seconds(30));
// A download run of files (of the selection when none given), to its end.
struct Download {
  int started = -1;
  app::TransferController::Fetched fetched;
};
Download DownloadToEnd(app::MainWindow& window, std::optional<std::vector<HandsetFile>> files = std::nullopt);
// Waits until the session is free (no job, no connect); false after bound.
bool WaitIdle(app::MainWindow& window, std::chrono::milliseconds bound = std::chrono::seconds(30));
// The handset's files as the session last listed them.
std::vector<std::string> ListedLines(app::MainWindow& window);

// Shows the window and lets its first activation run.
void ShowAndActivate(app::MainWindow& window);

// While the returned timer lives, every results dialog that opens has its
// lines added to shown (and the reasons beside them to reasons) and is
// answered with OK (with Esc while *escape).
std::unique_ptr<QTimer> WatchResultDialogs(std::vector<QStringList>* shown, const bool* escape = nullptr,
                                           std::vector<QStringList>* reasons = nullptr);

}  // namespace mirvo::apptest
