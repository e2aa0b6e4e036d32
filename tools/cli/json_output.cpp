#include "tools/cli/json_output.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

namespace lumaset::cli {

QString JsonText(const std::string& utf8) {
  // Qt's decoder turns every malformed sequence (a stray byte, an overlong
  // form, an encoded surrogate) into U+FFFD, so the string is always valid.
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString HexText(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  QString out;
  out.reserve(static_cast<qsizetype>(size * 2));
  for (size_t i = 0; i < size; ++i) {
    out += QLatin1Char(kDigits[data[i] >> 4]);
    out += QLatin1Char(kDigits[data[i] & 0x0F]);
  }
  return out;
}

std::string JsonLine(const char* kind, QJsonObject fields, int64_t t) {
  fields.remove(QStringLiteral("kind"));
  fields.remove(QStringLiteral("t"));
  // QJsonObject keeps its keys sorted; "kind" and "t" go first so that a
  // reader (or a person) sees at once what the line is.
  std::string line = std::string("{\"kind\":\"") + kind + "\"";
  if (t >= 0) line += ",\"t\":" + std::to_string(t);
  const QByteArray rest = QJsonDocument(fields).toJson(QJsonDocument::Compact);
  if (rest.size() > 2) line += "," + rest.mid(1).toStdString();
  else line += "}";
  return line;
}

JsonOutput& JsonOutput::Instance() {
  static JsonOutput output;
  return output;
}

void JsonOutput::Enable() {
  clock_.start();
  enabled_.store(true, std::memory_order_release);
}

int64_t JsonOutput::ElapsedMs() const { return clock_.isValid() ? clock_.elapsed() : 0; }

bool JsonOutput::WriteLocked(const char* kind, const QJsonObject& fields, int64_t t) {
  const std::string line = JsonLine(kind, fields, t) + "\n";
  const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
  return std::fflush(stdout) == 0 && written;
}

void JsonOutput::Start(QJsonObject fields) {
  int64_t t = ElapsedMs();
  std::lock_guard<std::mutex> guard(lock_);
  if (started_) return;
  started_ = true;
  // The run began no later than the first line held back for it: "t" never
  // goes back from one line to the next.
  if (!held_.empty()) t = std::min(t, held_.front().t);
  WriteLocked("start", fields, t);
  for (const Held& held : held_) WriteLocked(held.kind.c_str(), held.fields, held.t);
  held_.clear();
}

bool JsonOutput::Started() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_;
}

bool JsonOutput::Line(const char* kind, QJsonObject fields) {
  const int64_t t = ElapsedMs();
  std::lock_guard<std::mutex> guard(lock_);
  if (ended_) return true;
  if (!started_) {
    held_.push_back({kind, std::move(fields), t});
    return true;
  }
  return WriteLocked(kind, fields, t);
}

void JsonOutput::Note(const std::string& text) { Line("note", {{"text", JsonText(text)}}); }

void JsonOutput::End(QJsonObject fields, const QJsonObject& start) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ended_) return;
  }
  Start(start);  // nothing when the start line was written
  const int64_t t = ElapsedMs();
  std::lock_guard<std::mutex> guard(lock_);
  if (ended_) return;
  ended_ = true;
  fields["elapsedMs"] = static_cast<qint64>(t);
  WriteLocked("end", fields, t);
}

}  // namespace lumaset::cli
