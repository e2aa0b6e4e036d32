// Measures the window program's start-up: the time from starting a process
// to its main window being shown (offscreen), and the memory it holds then.
// The process is this program started again with --child, which runs the
// program's own start-up (language, settings, frame, view, link) against a
// pty host; the parent takes the time around it.
//
//   bench_startup [RUNS]        (default 10)
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/lumaset_app.h"
#include "platform/port_map.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

using namespace lumaset;

namespace {

double MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int Child(int argc, char** argv) {
  test::PtyHost host;
  platform::SetComPortPath(1, host.SlavePath());
  int one = 1;
  CLumasetApp app(one, argv);
  if (!app.StartFirstInstance({})) return 1;
  if (!QTest::qWaitForWindowExposed(app.MainFrame())) return 1;
  std::printf("shown %.3f rss %ld\n", MonotonicMs(), ResidentKiB());
  std::fflush(stdout);
  app.ExitInstance();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--child") return Child(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  test::TempDir dir("lumaset-bench-startup");
  std::vector<double> times;
  std::vector<long> memory;
  for (int i = 0; i < runs; ++i) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LUMASET_REGISTRY", QString::fromStdString((dir.Path() / "Lumaset.reg").string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.Path().string()));
    child.setProcessEnvironment(env);
    const double start = MonotonicMs();
    child.start(QString::fromLocal8Bit(argv[0]), {"--child"});
    if (!child.waitForFinished(30000)) return 1;
    double shown = 0;
    long rss = 0;
    if (std::sscanf(child.readAllStandardOutput().constData(), "shown %lf rss %ld", &shown, &rss) != 2) return 1;
    times.push_back(shown - start);
    memory.push_back(rss);
  }
  std::sort(times.begin(), times.end());
  std::sort(memory.begin(), memory.end());
  std::printf("start to window shown (offscreen), %d runs: median %.0f ms, fastest %.0f ms, slowest %.0f ms\n", runs,
              times[times.size() / 2], times.front(), times.back());
  std::printf("resident memory with the window shown: median %ld KiB\n", memory[memory.size() / 2]);
  return 0;
}
