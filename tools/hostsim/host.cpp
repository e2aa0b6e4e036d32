#include "host.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <array>

#include "event_log.h"
#include "transport.h"

namespace hostsim {

namespace {

const std::array<uint32_t, 11> kRates = {300,   600,   1200,  2400,  4800,  9600,
                                         14400, 19200, 38400, 57600, 115200};

constexpr int kFblt = -1;
constexpr qint64 kMaxDownload = 256LL * 1024 * 1024;
constexpr int kBlock = 512;
constexpr int kUnplugMs = 2000;
// Quiet time after the last byte received before the host speaks on its own.
constexpr qint64 kQuietMs = 300;

const QByteArray kAck = QByteArray::fromHex("e7a8b6ce4f4b0d0a");
// The acknowledgement with "NO" where "OK" belongs.
const QByteArray kWrongAck = QByteArray::fromHex("e7a8b6ce4e4f0d0a");

struct Known {
  int index;
  QByteArray bytes;
};

const std::array<Known, 17>& KnownMessages() {
  static const std::array<Known, 17> known = {{
      {0, QByteArray::fromHex("1b43d2bd0d0a01")},
      {1, QByteArray::fromHex("1b43d2bd0d0a00")},
      {2, QByteArray::fromHex("1b43d4bb0d0a")},
      {3, QByteArray::fromHex("1b43d8b70d0a")},
      {4, QByteArray::fromHex("1b4349524c6561726e0d0a")},
      {5, QByteArray::fromHex("1b43d9b60d0a")},
      {6, QByteArray::fromHex("1b43d5ba0d0a")},
      {7, QByteArray::fromHex("1b43d7b80d0a")},
      {8, QByteArray::fromHex("1b43d1be0d0a")},
      {9, QByteArray::fromHex("1b43d0bf0d0a")},
      {10, QByteArray::fromHex("1b43f00d0a")},
      {11, QByteArray::fromHex("1b43cfadf0e7d9b6e0f80d0a")},
      {12, QByteArray::fromHex("1b43fcadf0e7d9b6e08f0d0a")},
      {13, QByteArray::fromHex("1b43dcb30d0a")},
      {14, QByteArray::fromHex("1b43e2ae0d0a")},
      {15, QByteArray::fromHex("1b43e3ad0d0a")},
      {kFblt, QByteArray("\x02" "FBLT", 5)},
  }};
  return known;
}

uint32_t Le32(const QByteArray& b, int at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint32_t Be32(const QByteArray& b, int at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3]));
}

}  // namespace

bool IsTableRate(uint32_t rate) {
  return std::find(kRates.begin(), kRates.end(), rate) != kRates.end();
}

Host::Host(HostOptions options, EventLog* log, Transport* transport)
    : opt_(std::move(options)), log_(log), transport_(transport), rate_(opt_.rate) {
  gapTimer_.setSingleShot(true);
  connect(&gapTimer_, &QTimer::timeout, this, [this] { OnGap(); });
  idleTimer_.setSingleShot(true);
  connect(&idleTimer_, &QTimer::timeout, this, [this] { OnIdleTimeout(); });
  queueTimer_.setSingleShot(true);
  queueTimer_.setTimerType(Qt::PreciseTimer);
  connect(&queueTimer_, &QTimer::timeout, this, [this] { SendQueued(); });
  clock_.start();
}

bool Host::Prepare(QString* error) {
  out_ = QDir(opt_.outDir);
  if (!out_.mkpath(QStringLiteral("."))) {
    *error = QStringLiteral("cannot create the output folder %1").arg(opt_.outDir);
    return false;
  }
  out_.makeAbsolute();
  // Continue the numbering of an earlier run instead of overwriting it.
  static const QRegularExpression numbered(QStringLiteral("^(\\d+)-"));
  for (const QString& name : out_.entryList(QDir::Files)) {
    const auto m = numbered.match(name);
    if (m.hasMatch()) nextFile_ = std::max(nextFile_, m.captured(1).toInt() + 1);
  }
  return true;
}

void Host::Begin() {
  const Faults& f = opt_.faults;
  if ((f.closeErrorMs || f.closeOrderlyMs) && !transport_->AnswersRateQuery())
    log_->Emit("warning", {{"message", "close-error and close-orderly act on TCP only"}});
  if (f.unplugAfterBlock && transport_->Name() != QLatin1String("usb-virtual")) {
    log_->Emit("warning", {{"message", "unplug-after-block acts on the virtual USB device only"}});
    unplugDone_ = true;
  }
  if (f.stallAfterBytes && transport_->Stopped() && !stallDone_) {
    stallDone_ = true;
    Fault("stall", {{"afterBytes", *f.stallAfterBytes}});
  }
}

// ---- classification of the current state ----

bool Host::InDataPhase() const {
  switch (state_) {
    case State::ImageLength:
    case State::ImagePayload:
    case State::ImageCheck:
    case State::TouchPayload:
    case State::Raw:
    case State::Discard:
      return true;
    default:
      return false;
  }
}

bool Host::InDownload() const {
  switch (state_) {
    case State::ImageLength:
    case State::ImagePayload:
    case State::ImageCheck:
    case State::HandshakeLength:
    case State::TouchLength:
    case State::TouchPayload:
      return true;
    default:
      return false;
  }
}

bool Host::UsesGap() const {
  switch (state_) {
    case State::Idle: return !pending_.isEmpty();
    case State::Clock:
    case State::RateChange:
    case State::Raw:
    case State::Discard:
      return true;
    default:
      return false;
  }
}

int Host::IdleTimeoutMs() const {
  if (opt_.idleTimeoutMs > 0) return opt_.idleTimeoutMs + opt_.faults.slowMs;
  // Over TCP the tool pauses (115200 / rate) * 256 ms before every block.
  const int perBlock = transport_->AnswersRateQuery() ? static_cast<int>(115200 / rate_) * 256 : 0;
  return 10000 + perBlock + opt_.faults.slowMs;
}

// ---- receiving ----

qint64 Host::QuietInMs() const {
  if (state_ != State::Idle || !pending_.isEmpty() || !queue_.empty()) return -1;
  if (lastReceivedMs_ < 0) return 0;
  return std::max<qint64>(0, lastReceivedMs_ + kQuietMs - clock_.elapsed());
}

void Host::OnBytes(const QByteArray& bytes, uint32_t lineRate) {
  // Bytes at any rate count: a baud search is traffic too.
  lastReceivedMs_ = clock_.elapsed();
  if (transport_->ChecksRate() && lineRate != rate_ && !(InDataPhase() && lineRate == 115200)) {
    // A UART at another rate would see noise; the host ignores it.
    log_->Emit("garbled", {{"bytes", static_cast<qint64>(bytes.size())},
                           {"lineRate", static_cast<qint64>(lineRate)},
                           {"hostRate", static_cast<qint64>(rate_)},
                           {"data", Hex(bytes, 32)}});
    return;
  }
  qsizetype pos = 0;
  while (pos < bytes.size()) pos += Step(bytes.constData() + pos, bytes.size() - pos);

  if (UsesGap()) gapTimer_.start(opt_.rawGapMs);
  else gapTimer_.stop();
  if (InDownload()) idleTimer_.start(IdleTimeoutMs());
  else idleTimer_.stop();

  if (opt_.faults.stallAfterBytes && transport_->Stopped() && !stallDone_) {
    stallDone_ = true;
    Fault("stall", {{"afterBytes", *opt_.faults.stallAfterBytes}});
  }
}

qsizetype Host::Step(const char* data, qsizetype size) {
  // Fixed-size fields: take what is missing.
  auto collect = [&](bool isData) -> qsizetype {
    qsizetype take = std::min(need_ - buf_.size(), size);
    if (isData) {
      take = std::min<qsizetype>(take, DataBudget());
      if (take == 0) {
        CheckDataFaults();  // the threshold is reached: the fault acts now
        return 0;
      }
      dataBytes_ += take;
    }
    buf_.append(data, take);
    return take;
  };

  switch (state_) {
    case State::Idle: {
      pending_.append(data[0]);
      bool partial = false;
      for (const Known& k : KnownMessages()) {
        if (pending_ == k.bytes) {
          pending_.clear();
          Handle(k.index);
          return 1;
        }
        if (k.bytes.startsWith(pending_)) partial = true;
      }
      if (!partial) StartRaw();
      return 1;
    }

    case State::Clock: {
      const qsizetype n = collect(false);
      if (buf_.size() == need_) FinishClock();
      return n;
    }

    case State::RateChange: {
      const qsizetype n = collect(false);
      if (buf_.size() == need_) FinishRateChange();
      return n;
    }

    case State::ImageLength: {
      awaitingFirstFrameByte_ = false;
      const qsizetype n = collect(true);
      if (n == 0) return 0;
      if (buf_.size() < need_) {
        CheckDataFaults();
        return n;
      }
      const uint32_t length = Le32(buf_, 0);
      if (length == 0 || length > kMaxDownload) {
        Fail(QStringLiteral("bad-length"), {{"length", static_cast<qint64>(length)}});
        state_ = State::Discard;
        discarded_ = 0;
        return n;
      }
      log_->Emit("download-start", {{"kind", kind_},
                                    {"length", static_cast<qint64>(length)},
                                    {"fileBytes", static_cast<qint64>(length) - 1}});
      state_ = State::ImagePayload;
      need_ = length;
      buf_.clear();
      CheckDataFaults();
      return n;
    }

    case State::ImagePayload: {
      const qsizetype n = collect(true);
      if (n == 0) return 0;
      if (buf_.size() == need_) {
        frame_ = buf_;
        buf_.clear();
        need_ = 1;
        state_ = State::ImageCheck;
      }
      CheckDataFaults();
      return n;
    }

    case State::ImageCheck: {
      const qsizetype n = collect(true);
      if (n == 0) return 0;
      FinishImage();
      return n;
    }

    case State::HandshakeLength: {
      const uint8_t b = static_cast<uint8_t>(data[0]);
      if (b == 0x09) {
        state_ = State::TouchLength;
        buf_.clear();
        need_ = 4;
        return 1;
      }
      if (b == 0x2F) {
        log_->Emit("handshake-refused", {{"message", "handshake refused by tool"}});
        ToIdle();
        return 1;
      }
      // Not a length announcement: read it as an ordinary message.
      log_->Emit("unexpected", {{"state", "handshake"}, {"data", Hex(QByteArray(data, size), 32)},
                                {"reason", "expected 09 and a length, or 2f"}});
      ToIdle();
      return 0;
    }

    case State::TouchLength: {
      const qsizetype n = collect(false);
      if (buf_.size() < need_) return n;
      const uint32_t length = Be32(buf_, 0);
      log_->Emit("handshake", {{"stage", "length"}, {"length", static_cast<qint64>(length)}});
      if (opt_.faults.noLengthAck) {
        Fault("no-length-ack", {{"length", static_cast<qint64>(length)}});
        ToIdle();
        return n;
      }
      if (opt_.faults.silent) {
        Answer(QByteArray(1, '\x06'), QStringLiteral("length acknowledgement"));
        ToIdle();
        return n;
      }
      if (length > kMaxDownload) {
        // Not acknowledged: the tool gives up and sends no data.
        Fail(QStringLiteral("bad-length"), {{"length", static_cast<qint64>(length)}});
        ToIdle();
        return n;
      }
      Answer(QByteArray(1, '\x06'), QStringLiteral("length acknowledgement"),
             [this] { OnDataPhaseOpened(); });
      log_->Emit("download-start", {{"kind", kind_}, {"length", static_cast<qint64>(length)}});
      state_ = State::TouchPayload;
      buf_.clear();
      need_ = length;
      StartDataPhase(kind_);
      if (state_ == State::TouchPayload && need_ == 0) FinishTouch();
      return n;
    }

    case State::TouchPayload: {
      const qsizetype n = collect(true);
      if (n == 0) return 0;
      if (buf_.size() == need_) FinishTouch();
      else CheckDataFaults();
      return n;
    }

    case State::Raw: {
      qsizetype take = std::min<qsizetype>(size, DataBudget());
      if (take == 0) {
        CheckDataFaults();
        return 0;
      }
      buf_.append(data, take);
      dataBytes_ += take;
      CheckDataFaults();
      return take;
    }

    case State::Discard:
      discarded_ += size;
      return size;
  }
  return size;
}

// ---- messages ----

void Host::Handle(int index) {
  const Faults& f = opt_.faults;
  switch (index) {
    case kFblt: {
      if (f.refuseHandshake) Fault("refuse-handshake");
      const QByteArray answer = opt_.fbltPrefix + (f.refuseHandshake ? "NODOWNSYS" : "OKDOWNSYS");
      log_->Emit("handshake", {{"stage", "request"},
                               {"answer", Hex(answer)},
                               {"split", opt_.splitFbltReply}});
      if (opt_.splitFbltReply) {
        const qsizetype half = answer.size() / 2;
        Answer(answer.left(half), QStringLiteral("handshake answer, first half"));
        Answer(answer.mid(half), QStringLiteral("handshake answer, second half"));
      } else {
        Answer(answer, QStringLiteral("handshake answer"));
      }
      if (f.silent) return;  // nothing answered, so no length will come
      kind_ = "touch";
      state_ = State::HandshakeLength;
      return;
    }

    case 10: {
      const char answer = f.wrongProbe ? '\x0E' : '\x0F';
      if (f.wrongProbe) Fault("wrong-probe");
      log_->Emit("probe", {{"answer", HexByte(static_cast<uint8_t>(answer))}});
      Answer(QByteArray(1, answer), QStringLiteral("probe answer"));
      return;
    }

    case 11:
    case 12: {
      kind_ = index == 11 ? "user" : "system";
      const bool acked = Acknowledge(QStringLiteral("announcement"), false, [this] {
        OnDataPhaseOpened();
        const Faults& f = opt_.faults;
        for (const bool reset : {true, false}) {
          const std::optional<int>& delay = reset ? f.closeErrorMs : f.closeOrderlyMs;
          if (!delay) continue;
          QTimer::singleShot(*delay, this, [this, reset] {
            if (!transport_->CloseClient(reset)) return;
            Fault(reset ? "close-error" : "close-orderly");
            if (InDownload()) {
              Fail(QStringLiteral("connection closed by host"));
              ToIdle();
            }
          });
        }
      });
      log_->Emit("announce", {{"kind", kind_}, {"index", index}, {"acknowledged", acked}});
      if (!acked) return;  // the tool sends no image without the acknowledgement
      state_ = State::ImageLength;
      buf_.clear();
      need_ = 4;
      awaitingFirstFrameByte_ = true;
      StartDataPhase(kind_);
      return;
    }

    case 14:
      state_ = State::RateChange;
      buf_.clear();
      need_ = 8;
      return;

    case 15:
      if (transport_->AnswersRateQuery()) {
        QByteArray answer(4, '\0');
        for (int i = 0; i < 4; ++i) answer[i] = static_cast<char>((rate_ >> (8 * i)) & 0xFF);
        log_->Emit("rate-query", {{"answered", true}, {"rate", static_cast<qint64>(rate_)}});
        Answer(answer, QStringLiteral("rate"));
      } else {
        log_->Emit("rate-query", {{"answered", false}});
      }
      return;

    default:
      log_->Emit("command", {{"index", index}});
      if (index == 6) {
        state_ = State::Clock;
        buf_.clear();
        need_ = 7;
      }
      return;
  }
}

void Host::FinishClock() {
  const bool complete = buf_.size() == 7;
  QJsonObject fields {{"data", Hex(buf_)}, {"complete", complete}};
  if (complete) {
    bool bcd = true;
    auto digit = [&](int i) {
      const uint8_t b = static_cast<uint8_t>(buf_[i]);
      if ((b >> 4) > 9 || (b & 0x0F) > 9) bcd = false;
      return (b >> 4) * 10 + (b & 0x0F);
    };
    const int year = digit(0), month = digit(1), day = digit(2), weekday = digit(3);
    const int hour = digit(4), minute = digit(5), second = digit(6);
    fields.insert("year", year);
    fields.insert("month", month);
    fields.insert("day", day);
    fields.insert("weekday", weekday);
    fields.insert("hour", hour);
    fields.insert("minute", minute);
    fields.insert("second", second);
    fields.insert("validBcd", bcd);
    fields.insert("inRange", bcd && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
                                 weekday <= 6 && hour <= 23 && minute <= 59 && second <= 59);
  }
  log_->Emit("clock", fields);
  ToIdle();
}

void Host::FinishRateChange() {
  if (buf_.size() < 8) {
    log_->Emit("rate-change-ignored", {{"reason", "incomplete"}, {"data", Hex(buf_)}});
    ToIdle();
    return;
  }
  const uint32_t rate = Le32(buf_, 0);
  const uint32_t complement = Le32(buf_, 4);
  QString reason;
  if (complement != ~rate) reason = QStringLiteral("bad complement");
  else if (!IsTableRate(rate)) reason = QStringLiteral("not a table rate");
  if (!reason.isEmpty()) {
    log_->Emit("rate-change-ignored", {{"reason", reason},
                                       {"rate", static_cast<qint64>(rate)},
                                       {"complement", static_cast<qint64>(complement)}});
  } else {
    log_->Emit("rate-change", {{"from", static_cast<qint64>(rate_)}, {"to", static_cast<qint64>(rate)}});
    rate_ = rate;
  }
  ToIdle();
}

// ---- downloads ----

void Host::StartDataPhase(const char* kind) {
  kind_ = kind;
  dataBytes_ = 0;
  CheckDataFaults();
}

void Host::OnDataPhaseOpened() {
  if (opt_.faults.stallAfterAnnounce && !stallDone_) {
    stallDone_ = true;
    transport_->StopReading();
    Fault("stall", {{"after", "first download acknowledged"}});
  }
}

qint64 Host::DataBudget() const {
  qint64 budget = kMaxDownload * 2;
  const Faults& f = opt_.faults;
  if (f.abortAfterBlock && !abortDone_)
    budget = std::min(budget, std::max<qint64>(0, *f.abortAfterBlock * kBlock - dataBytes_));
  if (f.unplugAfterBlock && !unplugDone_)
    budget = std::min(budget, std::max<qint64>(0, *f.unplugAfterBlock * kBlock - dataBytes_));
  return budget;
}

void Host::CheckDataFaults() {
  if (!InDataPhase() || state_ == State::Discard) return;
  const Faults& f = opt_.faults;
  if (f.abortAfterBlock && !abortDone_ && dataBytes_ >= *f.abortAfterBlock * kBlock) {
    abortDone_ = true;
    // The abort goes out at once, ahead of any delayed answer.
    transport_->Send(QByteArray(1, '\x9F'));
    Fault("abort-after-block", {{"bytes", dataBytes_}});
    Fail(QStringLiteral("aborted by host"));
    ToIdle();
    state_ = State::Discard;  // the rest of the data, up to a quiet gap
    return;
  }
  if (f.unplugAfterBlock && !unplugDone_ && dataBytes_ >= *f.unplugAfterBlock * kBlock) {
    unplugDone_ = true;
    Fault("unplug-after-block", {{"bytes", dataBytes_}, {"forMs", kUnplugMs}});
    transport_->Unplug(kUnplugMs);
    Fail(QStringLiteral("unplugged"));
    ToIdle();
    state_ = State::Discard;  // whatever the tool had queued already
  }
}

void Host::FinishImage() {
  const uint8_t check = static_cast<uint8_t>(buf_[0]);
  uint8_t x = 0;
  for (char c : frame_) x ^= static_cast<uint8_t>(c);
  if (x != check) {
    Fail(QStringLiteral("bad-check"), {{"expected", HexByte(x)}, {"got", HexByte(check)}});
    ToIdle();
    return;
  }
  const uint8_t type = static_cast<uint8_t>(frame_.back());
  const QByteArray file = frame_.chopped(1);
  const bool user = QLatin1String(kind_) == QLatin1String("user");
  const QString path = Save(kind_, user ? "pgu" : "pgs", file);
  const bool acked = Acknowledge(QStringLiteral("closing"), true);
  QJsonObject fields {{"kind", kind_}, {"bytes", static_cast<qint64>(file.size())},
                      {"file", path},  {"type", HexByte(type)},
                      {"acknowledged", acked}};
  if (user) fields.insert("run", type == 0x88 ? "yes" : type == 0x99 ? "no" : "unknown");
  log_->Emit("download-done", fields);
  ToIdle();
}

// A file kept as it came (touch program or raw file): saved, acknowledged
// and announced with `event`.
void Host::FinishFile(const char* event, const char* kind, const char* ext) {
  const QString path = Save(kind, ext, buf_);
  const bool acked = Acknowledge(QStringLiteral("closing"), true);
  log_->Emit(event, {{"kind", kind}, {"bytes", static_cast<qint64>(buf_.size())},
                     {"file", path}, {"acknowledged", acked}});
  ToIdle();
}

void Host::FinishTouch() { FinishFile("download-done", "touch", "tps"); }

void Host::StartRaw() {
  kind_ = "raw";
  buf_ = pending_;
  pending_.clear();
  state_ = State::Raw;
  log_->Emit("download-start", {{"kind", "raw"}});
  dataBytes_ = buf_.size();
  CheckDataFaults();
}

void Host::FinishRaw() { FinishFile("raw-file", "raw", "bin"); }

void Host::OnGap() {
  if (transport_->Stopped()) return;  // a stalled host finishes nothing
  switch (state_) {
    case State::Idle:
      if (pending_.isEmpty()) return;
      // A message start that never finished: the bytes were a file.
      StartRaw();
      if (state_ == State::Raw) FinishRaw();
      else ToIdle();
      return;
    case State::Clock:
      FinishClock();
      return;
    case State::RateChange:
      FinishRateChange();
      return;
    case State::Raw:
      FinishRaw();
      return;
    case State::Discard:
      log_->Emit("discarded", {{"bytes", discarded_}});
      ToIdle();
      return;
    default:
      return;
  }
}

void Host::OnIdleTimeout() {
  if (!InDownload() || transport_->Stopped()) return;
  Fail(QStringLiteral("timeout"), {{"afterMs", IdleTimeoutMs()}});
  ToIdle();
}

void Host::OnClientGone(const QString& reason) {
  if (state_ == State::ImageLength && awaitingFirstFrameByte_) {
    // In download mode 1 the tool reconnects between the announcement and
    // the data; the download goes on on the new connection.
    log_->Emit("download-pending", {{"kind", kind_}, {"reason", reason}});
    return;
  }
  if (InDownload() || state_ == State::Raw) Fail(QStringLiteral("disconnected"));
  ToIdle();
}

void Host::Fail(const QString& reason, QJsonObject extra) {
  extra.insert("kind", kind_);
  extra.insert("reason", reason);
  extra.insert("received", dataBytes_);
  log_->Emit("download-failed", extra);
}

void Host::ToIdle() {
  state_ = State::Idle;
  pending_.clear();
  buf_.clear();
  frame_.clear();
  need_ = 0;
  discarded_ = 0;
  awaitingFirstFrameByte_ = false;
  gapTimer_.stop();
  idleTimer_.stop();
}

// ---- answering ----

void Host::Answer(const QByteArray& bytes, const QString& what, std::function<void()> after) {
  const Faults& f = opt_.faults;
  if (f.silent) {
    Fault("silent", {{"suppressed", what}, {"data", Hex(bytes)}});
    return;
  }
  if (f.slowMs > 0) Fault("slow", {{"answer", what}, {"delayMs", f.slowMs}});
  const int delay = f.slowMs + transport_->AnswerLatencyMs();
  if (delay == 0 && queue_.empty()) {
    transport_->Send(bytes);
    if (after) after();
    return;
  }
  queue_.push_back({clock_.elapsed() + delay, bytes, std::move(after)});
  if (!queueTimer_.isActive())
    queueTimer_.start(static_cast<int>(std::max<qint64>(0, queue_.front().dueMs - clock_.elapsed())));
}

void Host::SendQueued() {
  while (!queue_.empty() && queue_.front().dueMs <= clock_.elapsed()) {
    Queued q = std::move(queue_.front());
    queue_.pop_front();
    transport_->Send(q.bytes);
    if (q.after) q.after();
  }
  if (!queue_.empty())
    queueTimer_.start(static_cast<int>(std::max<qint64>(0, queue_.front().dueMs - clock_.elapsed())));
}

bool Host::Acknowledge(const QString& what, bool closing, std::function<void()> after) {
  const Faults& f = opt_.faults;
  if (closing && f.noFinalAck) {
    Fault("no-final-ack");
    return false;
  }
  if (f.silent) {
    Answer(kAck, what);  // logs what was held back
    return false;
  }
  if (f.wrongAck) {
    Fault("wrong-ack", {{"answer", what}});
    Answer(kWrongAck, what);
    return false;
  }
  Answer(kAck, what, std::move(after));
  return true;
}

void Host::Fault(const char* name, QJsonObject detail) {
  detail.insert("fault", name);
  log_->Emit("fault-applied", detail);
}

QString Host::Save(const char* kind, const char* ext, const QByteArray& data) {
  const QString name = QStringLiteral("%1-%2.%3")
                           .arg(nextFile_++, 4, 10, QLatin1Char('0'))
                           .arg(QLatin1String(kind), QLatin1String(ext));
  const QString path = out_.absoluteFilePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
    log_->Emit("error", {{"message", QStringLiteral("cannot write %1: %2").arg(path, file.errorString())}});
    return QString();
  }
  return path;
}

}  // namespace hostsim
