#include "app/qt_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <csignal>

namespace lumaset {
namespace {

int g_pipe[2] = {-1, -1};

void OnSignal(int number) {
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
}

}  // namespace

bool WatchQuitSignals(QObject* context, std::function<void(int)> onSignal, std::initializer_list<int> numbers) {
  if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : numbers) {
    // A hangup the program was started to ignore (nohup) stays ignored.
    struct sigaction before{};
    if (number == SIGHUP && sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    sigaction(number, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
    unsigned char byte = 0;
    while (read(g_pipe[0], &byte, 1) == 1) onSignal(byte);
  });
  return true;
}

}  // namespace lumaset
