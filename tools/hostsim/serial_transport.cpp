#include "serial_transport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "event_log.h"
#include "line_speed.h"

namespace hostsim {

SerialTransport::SerialTransport(EventLog* log, QString linkPath, uint32_t initialRate)
    : Transport(log), linkPath_(std::move(linkPath)), initialRate_(initialRate) {}

SerialTransport::~SerialTransport() { Shutdown(); }

bool SerialTransport::Start(QString* error) {
  auto fail = [&](const char* what) {
    *error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
    return false;
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail("posix_openpt");
  if (grantpt(master_) != 0) return fail("grantpt");
  if (unlockpt(master_) != 0) return fail("unlockpt");
  char name[256];
  if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
  slavePath_ = QString::fromLocal8Bit(name);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

  // Holding the slave open keeps the master readable while the tool has
  // closed its port (otherwise reads give EIO), and keeps the line settings.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) return fail("open slave");
  termios t {};
  if (tcgetattr(slave_, &t) != 0) return fail("tcgetattr");
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(slave_, TCSANOW, &t) != 0) return fail("tcsetattr");
  SetTerminalRate(slave_, initialRate_);

  if (!linkPath_.isEmpty()) {
    const QByteArray link = QFile::encodeName(linkPath_);
    struct stat st {};
    if (lstat(link.constData(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is not a symlink").arg(linkPath_);
        return false;
      }
      unlink(link.constData());
    }
    if (symlink(name, link.constData()) != 0) return fail("symlink");
    linkMade_ = true;
  }

  readNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
  connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
  writeNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Write);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { Flush(); });
  SetReadEnabled(ReadAllowed());
  return true;
}

void SerialTransport::AddReadyFields(QJsonObject* ready) const {
  ready->insert("device", slavePath_);
  if (linkMade_) ready->insert("link", QFileInfo(linkPath_).absoluteFilePath());
}

void SerialTransport::SetReadEnabled(bool on) {
  readWanted_ = on;
  if (readNotifier_) readNotifier_->setEnabled(on && !ioErrorBackoff_);
}

void SerialTransport::OnReadable() {
  const qsizetype budget = ReadBudget(TerminalRate(slave_));
  if (budget <= 0) {
    SetReadEnabled(false);
    return;
  }
  QByteArray buf(budget, Qt::Uninitialized);
  const ssize_t n = read(master_, buf.data(), static_cast<size_t>(buf.size()));
  if (n > 0) {
    buf.truncate(n);
    // The tool's line settings as they are now tell the rate the bytes
    // travelled at.
    Deliver(buf, TerminalRate(slave_));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // EIO should not happen while the slave is held; back off rather than spin.
  log_->Emit("error", {{"message", QStringLiteral("read from pty master: %1")
                                       .arg(QString::fromLocal8Bit(strerror(n < 0 ? errno : EIO)))}});
  ioErrorBackoff_ = true;
  readNotifier_->setEnabled(false);
  QTimer::singleShot(100, this, [this] {
    ioErrorBackoff_ = false;
    SetReadEnabled(readWanted_);
  });
}

void SerialTransport::Send(const QByteArray& answer) {
  if (master_ < 0) return;
  out_ += answer;
  Flush();
}

void SerialTransport::Flush() {
  while (!out_.isEmpty()) {
    const ssize_t n = write(master_, out_.constData(), static_cast<size_t>(out_.size()));
    if (n > 0) {
      out_.remove(0, n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      writeNotifier_->setEnabled(true);
      return;
    }
    log_->Emit("error", {{"message", QStringLiteral("write to pty master: %1")
                                         .arg(QString::fromLocal8Bit(strerror(errno)))},
                         {"droppedBytes", static_cast<qint64>(out_.size())}});
    out_.clear();
  }
  if (writeNotifier_) writeNotifier_->setEnabled(false);
}

namespace {
// Bytes waiting to be read from the terminal behind fd.
qint64 Queued(int fd) {
  int n = 0;
  return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}
}  // namespace

uint32_t SerialTransport::LineRate() const { return slave_ >= 0 ? TerminalRate(slave_) : 0; }

// What the slave holds unread has left the host but not reached the tool:
// with the tool's port closed it would pile up there.
qint64 SerialTransport::Backlog() const { return out_.size() + Queued(slave_); }

bool SerialTransport::InputWaiting() const { return Queued(master_) > 0; }

void SerialTransport::Shutdown() {
  readNotifier_.reset();
  writeNotifier_.reset();
  if (linkMade_) {
    // Only remove the link while it still points at our device.
    const QByteArray link = QFile::encodeName(linkPath_);
    char target[256];
    const ssize_t n = readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QString::fromLocal8Bit(target, n) == slavePath_) unlink(link.constData());
    linkMade_ = false;
  }
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

}  // namespace hostsim
