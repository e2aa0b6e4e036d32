#include "event_log.h"

#include <QJsonDocument>
#include <cstdio>

namespace hostsim {

bool EventLog::Open(const QString& path, QString* error) {
  start_ = std::chrono::steady_clock::now();
  bool ok = path.isEmpty()
                ? file_.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
                : (file_.setFileName(path),
                   file_.open(QIODevice::WriteOnly | QIODevice::Truncate |
                              QIODevice::Unbuffered));
  if (!ok && error) *error = file_.errorString();
  return ok;
}

void EventLog::Emit(const char* name, QJsonObject fields) {
  fields.remove(QStringLiteral("event"));
  fields.insert(QStringLiteral("t"), NowMs());
  // QJsonObject sorts its keys; put the event name first so lines read well.
  QByteArray rest = QJsonDocument(fields).toJson(QJsonDocument::Compact);
  QByteArray line = "{\"event\":" +
                    QJsonDocument(QJsonObject{{"e", QString::fromUtf8(name)}})
                        .toJson(QJsonDocument::Compact)
                        .mid(5)  // {"e": ... }
                        .chopped(1);
  if (rest.size() > 2) line += "," + rest.mid(1);
  else line += "}";
  line += '\n';
  file_.write(line);
  file_.flush();
}

qint64 EventLog::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
      .count();
}

qint64 EventLog::StartMonotonicUs() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(start_.time_since_epoch()).count();
}

QString Hex(const QByteArray& bytes, int maxBytes) {
  QString out;
  int n = std::min<int>(bytes.size(), maxBytes);
  out.reserve(n * 3 + 3);
  for (int i = 0; i < n; ++i) {
    if (i) out += ' ';
    out += QStringLiteral("%1").arg(static_cast<uint8_t>(bytes[i]), 2, 16, QLatin1Char('0'));
  }
  if (bytes.size() > n) out += QStringLiteral(" ...");
  return out;
}

QString HexByte(uint8_t b) {
  return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0'));
}

}  // namespace hostsim
