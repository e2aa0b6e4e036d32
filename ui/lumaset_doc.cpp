#include "ui/lumaset_doc.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "app/native_bytes.h"
#include "app/resource_ui.h"
#include "platform/files.h"
#include "resources/resource_ids.h"

namespace lumaset {
namespace {

QString ReasonText(int e) {
  if (e == ENOTSUP) return QStringLiteral("not a regular file");
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in the buffer.
  return QString::fromLocal8Bit(strerror_r(e, buffer, sizeof buffer));
}

bool Fail(int e, QString* error) {
  if (error) *error = ReasonText(e);
  return false;
}

}  // namespace

CLumasetDoc::CLumasetDoc(QObject* parent) : QObject(parent) {}

bool CLumasetDoc::AppendLog(const uint8_t* data, size_t size) {
  if (size == 0) return true;
  if (size > log_.max_size() - log_.size()) return false;
  const size_t need = log_.size() + size;
  if (need > log_.capacity()) {
    // Grow by half again, so a long run of small takes is not copied over
    // and over; when that much is not to be had, try the exact length.
    try {
      log_.reserve(std::max(need, log_.capacity() + log_.capacity() / 2));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    if (need > log_.capacity()) {
      try {
        log_.reserve(need);
      } catch (const std::bad_alloc&) {
        return false;
      } catch (const std::length_error&) {
        return false;
      }
    }
  }
  log_.insert(log_.end(), data, data + size);  // no reallocation: cannot fail
  return true;
}

void CLumasetDoc::ClearLog() { std::vector<uint8_t>().swap(log_); }

void CLumasetDoc::SetPathName(const QString& path) {
  if (path.isEmpty()) {
    path_.clear();
    SetTitle({});
    return;
  }
  const QFileInfo info(path);
  path_ = info.absoluteFilePath();
  SetTitle(info.fileName());
  emit pathNameSet(path_);
}

QString CLumasetDoc::Title() const {
  if (!title_.isEmpty()) return title_;
  const QString name = resui::DocumentString(res::kDocName);
  return name.isEmpty() ? QStringLiteral("Untitled") : name;
}

void CLumasetDoc::SetTitle(const QString& title) {
  if (title == title_) return;
  title_ = title;
  emit titleChanged(Title());
}

bool CLumasetDoc::Save(const QString& path, QString* error) {
  if (path.isEmpty()) return Fail(ENOENT, error);
  if (int e = platform::WriteFileAtomically(NativeFileName(path), log_.data(), log_.size(), platform::kKeepMode))
    return Fail(e, error);
  SetPathName(path);
  return true;
}

bool CLumasetDoc::Open(const QString& path, QString* error) {
  int e = 0;
  if (!platform::IsRegularFile(NativeFileName(path), &e)) return Fail(e, error);
  SetPathName(path);
  return true;
}

}  // namespace lumaset
