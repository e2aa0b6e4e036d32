// The document: the receive log, the document's path name and title, and
// its save and open.
#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumaset {

// The largest file that the view's file-open command loads into the receive
// log (ReadWholeFile's limit); a larger one is refused.
constexpr uint64_t kMaxLoadedFileBytes = uint64_t{64} << 20;  // 64 MiB

class CLumasetDoc : public QObject {
  Q_OBJECT

 public:
  explicit CLumasetDoc(QObject* parent = nullptr);

  // ---- the receive log: every byte taken from a link since the last clear,
  // in arrival order.
  // Appends the bytes. False when there is no memory for them: then they are
  // not logged and the log keeps its contents. Zero bytes: nothing happens.
  bool AppendLog(const uint8_t* data, size_t size);
  // Empties the log and frees its memory.
  void ClearLog();
  size_t LogLength() const { return log_.size(); }
  // The byte at `index` (0 beyond the end).
  uint8_t LogByte(size_t index) const { return index < log_.size() ? log_[index] : 0; }
  // The bytes (null while the log holds none).
  const uint8_t* LogData() const { return log_.empty() ? nullptr : log_.data(); }

  // ---- path name and title.
  // Makes `path` (made absolute) the document's path name and its file name
  // the title, and emits pathNameSet so that the application puts it at the
  // top of its recent-file list. An empty path clears both.
  void SetPathName(const QString& path);
  QString PathName() const { return path_; }
  // The title: the one set last, by SetTitle or as the file name by
  // SetPathName; while none is set, the document name of the language
  // library (or "Untitled"), so a new document follows the language.
  QString Title() const;
  void SetTitle(const QString& title);

  // ---- save and open.
  // Writes the log's bytes to `path` exactly, nothing before or after them.
  // The file is replaced as a whole (platform::WriteFileAtomically), so a
  // failed save leaves the file as it was; an existing file keeps its
  // permissions. On success `path` becomes the path name. On failure false,
  // with the reason in *error.
  bool Save(const QString& path, QString* error);
  // Opens `path` as the document: reads nothing from it, only checks that it
  // is a regular file that can be opened for reading (a FIFO, device or
  // folder is refused, never waited for). On success `path` becomes the path
  // name; the log is not touched. On failure false, with the reason in *error.
  bool Open(const QString& path, QString* error);

 signals:
  void pathNameSet(const QString& path);
  void titleChanged(const QString& title);

 private:
  std::vector<uint8_t> log_;
  QString path_;
  QString title_;
};

}  // namespace lumaset
