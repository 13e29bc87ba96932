// The handset list in the main window: fill from the cached lines, select
// all with the status update, sort by size; and the start-up to a shown
// window; a header click to the repainted list. Run offscreen: QT_QPA_PLATFORM=offscreen bench_listview
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QItemSelectionModel>
#include <QTest>
#include <QHeaderView>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/status_field.h"
#include "handset/sim_handset.h"
#include "serial/port_names.h"
#include "text/cp932.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_process_start = Clock::now();
using mirvo::app::StatusField;

mirvo::app::MainWindow* g_window = nullptr;
double g_startup_ms = 0;

std::vector<std::string> Lines(int n) {
  std::mt19937 random(42);
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(n));
  const char* kinds[] = {"写真", "着信音", "memo", "Mail", "データ"};
  const char* exts[] = {".jpg", ".mid", ".txt", ".eml", ".bin"};
  for (int i = 0; i < n; ++i) {
    const int k = static_cast<int>(random() % 5);
    char name[64];
    std::snprintf(name, sizeof name, "%s%05u%s", kinds[k], static_cast<unsigned>(random() % 100000), exts[k]);
    char rest[96];
    std::snprintf(rest, sizeof rest, ",%u,20%02u/%02u/%02u/%02u%02u,%s-%s,", static_cast<unsigned>(random() % 2000000),
                  static_cast<unsigned>(random() % 20), 1 + static_cast<unsigned>(random() % 12),
                  1 + static_cast<unsigned>(random() % 28), static_cast<unsigned>(random() % 24),
                  static_cast<unsigned>(random() % 60), random() % 2 ? "1" : "0", std::string(30, '-').c_str());
    lines.push_back(*mirvo::text::Utf8ToCp932(name) + rest);
  }
  return lines;
}

void Settle() { QCoreApplication::processEvents(); }

void BM_Fill(benchmark::State& state) {
  const std::vector<std::string> lines = Lines(static_cast<int>(state.range(0)));
  const mirvo::ListingSnapshot all_files = mirvo::HandsetListing::FromLines(lines);
  const mirvo::ListingSnapshot fewer = mirvo::HandsetListing::FromLines({lines.begin(), lines.end() - 1});
  bool all = false;
  for (auto _ : state) {
    // An unchanged listing is not listed again: alternate between two.
    all = !all;
    g_window->Files().SetListing(all ? all_files : fewer);
    g_window->RefreshFileView();
    Settle();
  }
  state.counters["rows"] = g_window->Files().Model().rowCount();
}

void BM_SelectAllAndStatus(benchmark::State& state) {
  g_window->Files().SetListing(mirvo::HandsetListing::FromLines(Lines(static_cast<int>(state.range(0)))));
  g_window->RefreshFileView();
  Settle();
  QTreeView* view = g_window->Files().DetailView();
  for (auto _ : state) {
    state.PauseTiming();
    view->selectionModel()->clearSelection();
    Settle();
    state.ResumeTiming();
    view->selectAll();  // the status texts and command states follow
    Settle();
  }
  state.SetLabel(g_window->StatusText(StatusField::Activity).toStdString() + " " + g_window->StatusText(StatusField::Size).toStdString());
  state.counters["selected"] = static_cast<double>(view->selectionModel()->selectedRows().size());
  state.counters["rows"] = g_window->Files().Model().rowCount();
}

void BM_SortBySize(benchmark::State& state) {
  g_window->Files().SetListing(mirvo::HandsetListing::FromLines(Lines(static_cast<int>(state.range(0)))));
  g_window->RefreshFileView();
  Settle();
  for (auto _ : state) {
    g_window->Files().SortByColumn(1);
    Settle();
  }
}

// A click on a column header to the repainted list, as the user sees it.
void BM_HeaderClickToRepaint(benchmark::State& state) {
  g_window->Files().SetListing(mirvo::HandsetListing::FromLines(Lines(static_cast<int>(state.range(0)))));
  g_window->RefreshFileView();
  Settle();
  QTreeView* view = g_window->Files().DetailView();
  QHeaderView* header = view->header();
  const int column = static_cast<int>(state.range(1));
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
  for (auto _ : state) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    view->viewport()->repaint();
  }
  state.counters["rows"] = g_window->Files().Model().rowCount();
}

void BM_StartupToWindowShown(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(g_startup_ms / 1000.0);
}

BENCHMARK(BM_Fill)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectAllAndStatus)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortBySize)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeaderClickToRepaint)->Args({20000, 0})->Args({20000, 1})->Args({20000, 2})->Args({20000, 3})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupToWindowShown)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char tmpl[] = "/tmp/mirvo-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  setenv("APPDATA", tmpl, 1);
  // Rows exist only while linked (without the link a status update empties
  // the list): the window links to a simulated handset with no files, and
  // the benchmarks put their own lines in place of its list.
  const std::filesystem::path dir(tmpl);
  std::filesystem::create_directories(dir / "handset");
  std::filesystem::create_directories(dir / "ZQR" / "mirvo" / "ports");
  mirvo::sim::SimHandset handset(dir / "handset");
  std::filesystem::create_symlink(handset.DevicePath(), dir / "ZQR" / "mirvo" / "ports" / "COM3");
  mirvo::SetPortResolver([](const std::string& name) -> std::optional<std::string> {
    if (name != "COM3") return std::nullopt;
    return mirvo::DefaultPortResolver(name);
  });

  QApplication app(argc, argv);
  mirvo::app::ApplyAppFont();
  mirvo::app::MessageBoxes hooks;
  hooks.SetResponder([](const mirvo::app::MessageRequest&) { return mirvo::app::MsgAnswer::Ok; });
  {
    mirvo::app::MainWindow window;
    window.SetConnectOnFirstActivation(false);  // no port to connect to here
    hooks.SetMainWindow(&window);
    window.resize(800, 600);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    g_startup_ms = std::chrono::duration<double, std::milli>(Clock::now() - g_process_start).count();
    g_window = &window;
    window.Session().SetPortName("COM3");
    window.Session().SetPassword("0000");
    if (window.Session().Connect() != mirvo::app::CommandResult::kStarted) return 1;
    while (window.Session().IsBusy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!window.Session().IsSessionOpen()) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_window = nullptr;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
