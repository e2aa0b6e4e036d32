#include "transport.h"

#include <algorithm>

#include "event_log.h"

namespace hostsim {

namespace {
constexpr qsizetype kMaxRead = 65536;
// A paced read takes at most this much line time at once.
constexpr qint64 kPaceChunkNs = 20'000'000;
// Lateness of the pacing timer up to this is caught up, so a continuous
// stream keeps the exact line speed.
constexpr qint64 kCatchUpNs = 50'000'000;
}  // namespace

Transport::Transport(EventLog* log) : log_(log) {
  paceTimer_.setSingleShot(true);
  paceTimer_.setTimerType(Qt::PreciseTimer);
  connect(&paceTimer_, &QTimer::timeout, this, [this] {
    paused_ = false;
    Refresh();
  });
  lineClock_.start();
}

Transport::~Transport() = default;

void Transport::SetPacing(bool on, std::function<uint32_t()> hostRate) {
  pace_ = on;
  hostRate_ = std::move(hostRate);
}

void Transport::StopReadingAfter(qint64 totalBytes) {
  stopAfter_ = totalBytes;
  if (received_ >= stopAfter_ && !stopped_) {
    stopped_ = true;
    Refresh();
  }
}

qsizetype Transport::ReadBudget(uint32_t lineRate) const {
  if (!ReadAllowed()) return 0;
  qsizetype budget = kMaxRead;
  if (pace_) {
    uint32_t rate = lineRate ? lineRate : (hostRate_ ? hostRate_() : 115200);
    if (rate == 0) rate = 115200;
    budget = std::max<qsizetype>(1, static_cast<qsizetype>(rate / 10 * kPaceChunkNs / 1'000'000'000));
  }
  if (stopAfter_ >= 0) budget = std::min<qsizetype>(budget, stopAfter_ - received_);
  return std::max<qsizetype>(budget, 0);
}

void Transport::Deliver(const QByteArray& bytes, uint32_t lineRate) {
  if (bytes.isEmpty()) return;
  received_ += bytes.size();
  if (pace_) {
    uint32_t rate = lineRate ? lineRate : (hostRate_ ? hostRate_() : 115200);
    if (rate == 0) rate = 115200;
    const qint64 now = lineClock_.nsecsElapsed();
    const qint64 start = now - lineFreeNs_ <= kCatchUpNs ? std::max(lineFreeNs_, now - kCatchUpNs) : now;
    lineFreeNs_ = start + bytes.size() * 10 * 1'000'000'000LL / rate;
    if (lineFreeNs_ > now) {
      paused_ = true;
      paceTimer_.start(static_cast<int>((lineFreeNs_ - now + 999'999) / 1'000'000));
    }
  }
  if (stopAfter_ >= 0 && received_ >= stopAfter_) stopped_ = true;
  if (receive_) receive_(bytes, lineRate);
  Refresh();
}

void Transport::Refresh() { SetReadEnabled(ReadAllowed()); }

}  // namespace hostsim
