// Measures a 256 KiB user-program download over the serial link to the host
// simulator reading at the wire speed of 115200 baud: the ratio of elapsed
// time to the time the line and the protocol's own pauses require, and the
// CPU time the tool used for it. Then the same download through ser2net
// (rfc2217://) in front of the simulator's pseudo-terminal, and how much
// longer it took than the local one.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/port_map.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

using namespace lumaset;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

constexpr uint32_t kRate = 115200;

// One download of `path` through COM 1 = `device`; its elapsed milliseconds,
// or -1 when it failed. Prints its line.
int64_t Download(const char* label, const std::string& device, const std::string& path, size_t fileBytes) {
  test::RecordingTarget target;
  platform::SetComPortPath(1, device);
  CSerialLink link;
  LinkSettings settings;
  settings.rate = kRate;
  link.ApplySettings(&settings);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  if (!link.Open(1)) return -1;
  link.SetUserProgramPath(path.c_str());

  const double cpu0 = CpuSeconds();
  const int64_t t0 = platform::NowMs();
  if (!link.SendUserProgram(1)) {
    std::fprintf(stderr, "%s: the host did not accept the download\n", label);
    return -1;
  }
  const int timeoutMs = static_cast<int>(fileBytes * 10 * 1000 / kRate) * 3 + 10000;
  const bool done = target.WaitUntil(
      [](const std::vector<test::PostedEvent>& e) {
        for (auto& x : e)
          if (x.code == LE_SEND_DONE || x.code == LE_FAILED) return true;
        return false;
      },
      timeoutMs);
  const int64_t elapsedMs = platform::NowMs() - t0;
  const double cpu = CpuSeconds() - cpu0;
  link.Close(1);
  if (!done || target.Count(LE_SEND_DONE) != 1) {
    std::fprintf(stderr, "%s: the download did not succeed\n", label);
    return -1;
  }

  // What the line needs: the probe (5 bytes), the announcement (12) and the
  // frame (file + 6) from the tool, the probe answer (1) and two
  // acknowledgements (8 + 8) from the host, 10 bits a byte; the protocol's
  // own pauses: 2 x 1 ms before each of the 513 blocks and before the final
  // acknowledgement.
  const size_t frame = fileBytes + 6;
  const size_t blocks = (frame + kWriteBlock - 1) / kWriteBlock;
  const double wireMs = (5 + 12 + frame + 1 + 8 + 8) * 10.0 * 1000.0 / kRate;
  const double pauseMs = 2.0 * TimePerByteFor(kRate) * (blocks + 1);
  std::printf("%s: file %zu bytes at %u baud: elapsed %.2f s, required %.2f s (wire %.2f s + pauses %.2f s), "
              "ratio %.3f, CPU %.3f s (%.1f%% of elapsed)\n",
              label, fileBytes, kRate, elapsedMs / 1000.0, (wireMs + pauseMs) / 1000.0, wireMs / 1000.0,
              pauseMs / 1000.0, elapsedMs / (wireMs + pauseMs), cpu, 100.0 * cpu * 1000.0 / elapsedMs);
  return elapsedMs;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t fileBytes = argc > 1 ? std::stoul(argv[1]) : 256 * 1024;
  test::UseEnglishTexts();
  test::RecordingOperator op;

  test::HostSimProcess sim({"--pace"});
  if (!sim.Started()) {
    std::fprintf(stderr, "lumaset-hostsim did not start (built beside this program?)\n");
    return 1;
  }
  const std::string device = test::JsonField(sim.Ready(), "device");
  const std::vector<uint8_t> data = test::RandomBytes(fileBytes, 7);
  test::TempDir dir("lumaset-bench");
  const std::string path = dir.File("bench.pgu", data).string();

  const int64_t local = Download("local pseudo-terminal", device, path, fileBytes);
  if (local < 0) return 1;

  test::DeviceServer server(test::DeviceServer::Kind::kSer2net, device);
  if (!server.Started()) {
    std::fprintf(stderr, "no run through a device server: %s\n", server.Missing().c_str());
    return 0;
  }
  const int64_t served = Download("through ser2net", server.Url(), path, fileBytes);
  if (served < 0) return 1;
  std::printf("through ser2net / local: %.3f (goal at most 1.10)\n", static_cast<double>(served) / local);
  return 0;
}
