#include "console.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QTime>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "event_log.h"
#include "host.h"
#include "transport.h"

namespace hostsim {

namespace {

// Over TCP and USB the stream runs at the wire speed of 115200 bit/s.
constexpr qint64 kFixedStreamRate = 11520;
// A stream write this late or less keeps its schedule, so the average rate
// stays exact; later than that the schedule starts afresh (no burst).
constexpr qint64 kCatchUpNs = 20'000'000;
// Bound on writes per wake-up.
constexpr int kMaxWritesPerWake = 64;
// While the host may not send for a reason without a known end, ask again
// this often.
constexpr qint64 kRecheckMs = 20;
// More bytes than this unread by the tool: it is not keeping up (or its
// port is closed), so nothing more is added. Below 4096, the most a pty's
// input queue reports as waiting.
constexpr qint64 kMaxBacklog = 2048;

// A wrong-rate receiver takes about as many bytes as the line's bits make
// frames at its own rate: the line's length scaled by the ratio of the rates,
// at least one byte and at most this many times the line.
constexpr qint64 kMaxNoisePerLineByte = 3;

// One step of SplitMix64: a fast generator whose output depends only on the
// state it is given.
quint64 SplitMix64(quint64* state) {
  quint64 z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

qint64 MonotonicNs() {
  timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<qint64>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// "#<seq> <tMs>" padded with '.' to the record length, ending in CR LF.
QByteArray Record(qint64 seq, qint64 tMs) {
  QByteArray r = '#' + QByteArray::number(seq) + ' ' + QByteArray::number(tMs);
  if (r.size() < Console::kRecordBytes - 2) r.append(Console::kRecordBytes - 2 - r.size(), '.');
  return r + "\r\n";
}

// Status line n (0 first): the bytes as sent, with their text and encoding.
// Every third line is Chinese in code page 936; the numbers in it are ASCII,
// which code page 936 keeps as they are.
QByteArray TalkLine(int n, qint64 uptimeS, QString* text, const char** encoding) {
  const int inputs = (n * 5) % 9;
  const QByteArray temperature = QByteArray::number(24.0 + 0.1 * ((n * 7) % 16), 'f', 1);
  const QByteArray uptime = QByteArray::number(uptimeS);
  const QByteArray in = QByteArray::number(inputs) + "/8";
  if (n % 3 != 2) {
    *encoding = "ascii";
    const QByteArray line = "OK " + QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toLatin1() +
                            " uptime " + uptime + " s, inputs " + in + ", temperature " +
                            temperature + " C\r\n";
    *text = QString::fromLatin1(line);
    return line;
  }
  *encoding = "cp936";
  if ((n / 3) % 2 == 0) {
    *text = QStringLiteral("状态正常，温度 %1 度\r\n").arg(QLatin1String(temperature));
    // "状态正常，温度 " ... " 度"
    return QByteArray("\xd7\xb4\xcc\xac\xd5\xfd\xb3\xa3\xa3\xac\xce\xc2\xb6\xc8 ") + temperature +
           QByteArray(" \xb6\xc8\r\n");
  }
  *text = QStringLiteral("运行 %1 秒，输入 %2\r\n").arg(QLatin1String(uptime), QLatin1String(in));
  // "运行 " ... " 秒，输入 " ...
  return QByteArray("\xd4\xcb\xd0\xd0 ") + uptime + QByteArray(" \xc3\xeb\xa3\xac\xca\xe4\xc8\xeb ") +
         in + "\r\n";
}

}  // namespace

Console::Console(ConsoleOptions options, EventLog* log, Host* host, Transport* transport)
    : opt_(options), log_(log), host_(host), transport_(transport) {
  talkTimer_.setSingleShot(true);
  talkTimer_.setTimerType(Qt::PreciseTimer);
  connect(&talkTimer_, &QTimer::timeout, this, [this] { Talk(); });
  progressTimer_.setInterval(1000);
  progressTimer_.setTimerType(Qt::PreciseTimer);
  connect(&progressTimer_, &QTimer::timeout, this, [this] {
    log_->Emit("stream-progress", {{"bytes", streamBytes_}, {"records", records_}});
  });
  endTimer_.setSingleShot(true);
  endTimer_.setTimerType(Qt::PreciseTimer);
  connect(&endTimer_, &QTimer::timeout, this, [this] { EndStream(); });
}

Console::~Console() {
  streamNotifier_.reset();
  if (timerFd_ >= 0) close(timerFd_);
}

bool Console::Start(QString* error) {
  if (opt_.talkMs > 0) talkTimer_.start(opt_.talkMs);
  if (!opt_.stream) return true;

  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) {
    *error = QStringLiteral("timerfd_create: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    return false;
  }
  streamNotifier_ = std::make_unique<QSocketNotifier>(timerFd_, QSocketNotifier::Read);
  connect(streamNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    uint64_t expirations = 0;
    [[maybe_unused]] ssize_t n = read(timerFd_, &expirations, sizeof expirations);
    PumpStream();
  });
  streaming_ = true;
  streamStartMs_ = log_->NowMs();
  QJsonObject fields {{"rate", StreamRate()}, {"recordBytes", kRecordBytes}};
  if (opt_.streamSeconds > 0) fields.insert("seconds", opt_.streamSeconds);
  log_->Emit("stream-start", fields);
  progressTimer_.start();
  if (opt_.streamSeconds > 0) endTimer_.start(opt_.streamSeconds * 1000);
  PumpStream();
  return true;
}

qint64 Console::HoldMs(bool atAnyRate) const {
  if (!transport_->PeerPresent() || transport_->InputWaiting() || transport_->Backlog() > kMaxBacklog)
    return kRecheckMs;
  // A UART at another rate would see noise: speak only at the host's rate,
  // unless the noise is what is wanted.
  if (!atAnyRate && transport_->ChecksRate() && transport_->LineRate() != host_->Rate()) return kRecheckMs;
  const qint64 quiet = host_->QuietInMs();
  return quiet < 0 ? kRecheckMs : quiet;
}

void Console::Talk() {
  const qint64 hold = HoldMs(opt_.noiseSeed.has_value());
  if (hold > 0) {
    talkTimer_.start(static_cast<int>(hold));
    return;
  }
  QString text;
  const char* encoding = "";
  const QByteArray bytes = TalkLine(talkLines_++, log_->NowMs() / 1000, &text, &encoding);
  const uint32_t lineRate = transport_->LineRate();
  if (transport_->ChecksRate() && lineRate != host_->Rate()) {
    const QByteArray noise = Noise(bytes.size(), lineRate);
    transport_->Send(noise);
    log_->Emit("noise", {{"bytes", static_cast<qint64>(noise.size())},
                         {"lineBytes", static_cast<qint64>(bytes.size())},
                         {"lineRate", static_cast<qint64>(lineRate)},
                         {"hostRate", static_cast<qint64>(host_->Rate())},
                         {"answerBytes", static_cast<qint64>(noise.count('\x0f'))},
                         {"data", Hex(noise, 32)}});
  } else {
    transport_->Send(bytes);
    log_->Emit("talk", {{"bytes", static_cast<qint64>(bytes.size())}, {"line", text}, {"encoding", encoding}});
  }
  talkTimer_.start(opt_.talkMs);
}

QByteArray Console::Noise(qsizetype bytes, uint32_t lineRate) {
  const qint64 scaled = static_cast<qint64>(bytes) * lineRate / std::max<uint32_t>(host_->Rate(), 1);
  const qint64 count = std::clamp<qint64>(scaled, 1, kMaxNoisePerLineByte * bytes);
  // Each burst from a state of its own: the n-th burst of a seed is always
  // the same, whatever the bursts before it were.
  quint64 state = (static_cast<quint64>(*opt_.noiseSeed) << 32) ^ noiseBursts_++;
  QByteArray noise(static_cast<qsizetype>(count), Qt::Uninitialized);
  for (qsizetype i = 0; i < noise.size(); i += 8) {
    const quint64 r = SplitMix64(&state);
    for (qsizetype k = 0; k < 8 && i + k < noise.size(); ++k) noise[i + k] = static_cast<char>(r >> (8 * k));
  }
  return noise;
}

qint64 Console::StreamRate() const {
  // 10 bits a byte on the line: start bit, 8 data bits, stop bit.
  return transport_->ChecksRate() ? std::max<qint64>(1, host_->Rate() / 10) : kFixedStreamRate;
}

void Console::PumpStream() {
  if (!streaming_) return;
  const qint64 now = MonotonicNs();
  const qint64 hold = HoldMs();
  if (hold > 0) {
    held_ = true;
    ArmStream(now + hold * 1'000'000);
    return;
  }
  if (held_ || now - nextDueNs_ > kCatchUpNs) nextDueNs_ = now;
  held_ = false;
  // Each write is due when the one before it has left the line, so the
  // stream never runs ahead of the wire.
  for (int i = 0; i < kMaxWritesPerWake && nextDueNs_ <= MonotonicNs(); ++i) {
    if (i > 0 && HoldMs() > 0) break;
    const qint64 before = streamBytes_;
    WriteRecords();
    nextDueNs_ += (streamBytes_ - before) * 1'000'000'000 / StreamRate();
  }
  ArmStream(nextDueNs_);
}

void Console::WriteRecords() {
  // On USB two records fill one 64-byte packet; both carry its time.
  const int perWrite = std::max(1, transport_->PacketSize() / kRecordBytes);
  const qint64 t = log_->NowMs();
  QByteArray chunk;
  chunk.reserve(perWrite * kRecordBytes);
  for (int i = 0; i < perWrite; ++i) chunk += Record(records_ + i, t);
  transport_->Send(chunk);
  records_ += perWrite;
  streamBytes_ += chunk.size();
}

void Console::ArmStream(qint64 dueNs) {
  itimerspec its {};
  its.it_value.tv_sec = static_cast<time_t>(dueNs / 1'000'000'000);
  its.it_value.tv_nsec = static_cast<long>(dueNs % 1'000'000'000);
  if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;  // 0 would disarm
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void Console::EndStream() {
  if (!streaming_) return;
  streaming_ = false;
  const itimerspec off {};
  timerfd_settime(timerFd_, 0, &off, nullptr);
  progressTimer_.stop();
  log_->Emit("stream-end", {{"bytes", streamBytes_},
                            {"records", records_},
                            {"seconds", static_cast<double>(log_->NowMs() - streamStartMs_) / 1000.0}});
}

}  // namespace hostsim
