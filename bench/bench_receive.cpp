// Measures the receive display: the host simulator streams timed records
// continuously at 115200 baud into the window's hex view (the window runs
// in this process on the offscreen platform). Reports the share of the time
// the user-interface thread was busy, and the whole process with the link's
// threads, the lag between a record leaving the simulator and its bytes being
// drawn into the display, and whether the log holds every byte sent.
//
//   bench_receive [SECONDS]        (default 30)
#include <time.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/lumaset_app.h"
#include "app/reg_settings.h"
#include "app/settings.h"
#include "platform/port_map.h"
#include "resources/resource_ids.h"
#include "tests/sim_process.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

using namespace lumaset;

namespace {

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

double MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The newest complete record "#<seq> <t_ms>....\r\n" in the log before
// `end`: its sequence number and time, or false.
bool NewestRecord(const uint8_t* log, size_t end, long* seq, double* tMs) {
  constexpr size_t kRecord = 32;
  for (size_t at = end; at >= kRecord; --at) {
    if (log[at - 1] != '\n' || log[at - 2] != '\r') continue;
    const size_t start = at - kRecord;
    if (log[start] != '#') continue;
    char text[kRecord + 1];
    std::memcpy(text, log + start, kRecord);
    text[kRecord] = '\0';
    return std::sscanf(text, "#%ld %lf", seq, tMs) == 2;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 30;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  test::TempDir dir("lumaset-bench-receive");
  qputenv("LUMASET_REGISTRY", QByteArray::fromStdString((dir.Path() / "Lumaset.reg").string()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.Path().string()));
  int fakeArgc = 1;
  CLumasetApp app(fakeArgc, argv);

  // The log keeps every byte: no line limit in this run.
  {
    CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine,
                     (dir.Path() / "Lumaset.reg").string());
    reg.WriteDword("MAXLINE", 0x7FFFFFFF);
  }
  test::HostSimProcess sim({"--stream", "--stream-seconds", std::to_string(seconds)});
  if (!sim.Started()) {
    std::fprintf(stderr, "lumaset-hostsim did not start (built beside this program?)\n");
    return 1;
  }
  const double simStartMs = std::stod(test::JsonField(sim.Ready(), "monotonicStartUs")) / 1000.0;
  platform::SetComPortPath(1, test::JsonField(sim.Ready(), "device"));
  if (!app.StartFirstInstance({})) return 1;
  CLumasetView* view = app.m_view;
  view->OnCommand(res::kCmdHexDisplay);

  double maxLag = 0, sumLag = 0;
  long flushes = 0;
  std::vector<double> lags;
  // At each display update, the lag of the oldest record that it brought
  // into view: the one starting first at or after what the update before
  // had drawn.
  size_t drawn = 0;
  QObject::connect(view, &CLumasetView::displayFlushed, [&] {
    CLumasetDoc* doc = app.Document();
    const uint8_t* log = doc->LogData();
    const size_t length = doc->LogLength();
    const size_t from = drawn;
    drawn = length;
    const uint8_t* firstHash = log ? static_cast<const uint8_t*>(std::memchr(log, '#', length)) : nullptr;
    if (!firstHash) return;
    const size_t origin = static_cast<size_t>(firstHash - log);
    const size_t start = from <= origin ? origin : origin + (from - origin + 31) / 32 * 32;
    long seq = 0;
    double tMs = 0;
    if (start + 32 > length || !NewestRecord(log, start + 32, &seq, &tMs)) return;
    const double lag = MonotonicMs() - (simStartMs + tMs);
    lags.push_back(lag);
    maxLag = std::max(maxLag, lag);
    sumLag += lag;
    ++flushes;
  });

  std::string end;
  const double cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const double wall0 = MonotonicMs();
  while (end.empty() && MonotonicMs() - wall0 < (seconds + 10) * 1000.0) {
    RunFor(100);
    end = sim.Wait("stream-end", "", 10);
  }
  const double elapsed = (MonotonicMs() - wall0) / 1000.0;
  const double busy = (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / elapsed;
  const double processBusy = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0) / elapsed;
  RunFor(500);  // the last bytes on their way
  const long records = end.empty() ? -1 : std::stol(test::JsonField(end, "records"));
  const size_t logged = app.Document()->LogLength();

  // Every record in order from the first one the port saw (the simulator
  // starts streaming before the window has opened its port) to the last one
  // sent, none missing or damaged.
  long expect = -1, bad = 0, first = -1, last = -1;
  const uint8_t* log = app.Document()->LogData();
  for (size_t at = 0; at + 32 <= logged; at += 32) {
    long seq = -1;
    if (log[at] != '#' || std::sscanf(reinterpret_cast<const char*>(log + at), "#%ld", &seq) != 1 ||
        (expect >= 0 && seq != expect))
      ++bad;
    if (first < 0) first = seq;
    last = seq;
    expect = seq + 1;
  }
  const bool complete = bad == 0 && logged % 32 == 0 && last == records - 1 && first >= 0 &&
                        static_cast<long>(logged) == (records - first) * 32;
  std::sort(lags.begin(), lags.end());
  const double p99 = lags.empty() ? 0 : lags[static_cast<size_t>(lags.size() * 0.99)];
  std::printf("streamed %d s at 115200 baud into the hex view\n", seconds);
  std::printf("user-interface thread busy: %.1f %% of the time (the whole process: %.1f %%)\n", busy * 100,
              processBusy * 100);
  std::printf("display lag: max %.0f ms, 99th percentile %.0f ms, mean %.0f ms over %ld display updates\n", maxLag,
              p99, flushes ? sumLag / flushes : 0.0, flushes);
  std::printf("records sent %ld (the port opened at record %ld), bytes in the log %zu, damaged or missing: %ld -> %s\n",
              records, first, logged, bad, complete ? "every byte kept" : "BYTES LOST");
  app.ExitInstance();
  return complete ? 0 : 1;
}
