#include "tests/pty_host.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/event.h"
#include "platform/language.h"
#include "platform/line_rate.h"
#include "platform/port_map.h"
#include "platform/serial_device.h"

namespace lumaset::test {

PtyHost::PtyHost() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  slavePath_ = ptsname(master_);
  slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open pty slave");
  termios tio{};
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_, TCSANOW, &tio);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyHost::~PtyHost() { HangUp(); }

void PtyHost::HangUp() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
}

void PtyHost::MapAsCom(int number) { platform::SetComPortPath(number, slavePath_); }

Bytes PtyHost::Read(size_t n, int timeoutMs) {
  Bytes out;
  while (out.size() < n) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    uint8_t buf[4096];
    ssize_t k = read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (k <= 0) break;
    out.insert(out.end(), buf, buf + k);
  }
  return out;
}

Bytes PtyHost::ReadExactly(size_t n, int timeoutMs) {
  platform::Deadline deadline(timeoutMs);
  Bytes out;
  while (out.size() < n && !deadline.Passed()) {
    Bytes more = Read(n - out.size(), deadline.Remaining());
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

Bytes PtyHost::Drain(int quietMs) { return Read(SIZE_MAX, quietMs); }

void PtyHost::Write(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t k = write(master_, bytes.data() + done, bytes.size() - done);
    if (k > 0) {
      done += static_cast<size_t>(k);
    } else {
      pollfd p{master_, POLLOUT, 0};
      if (poll(&p, 1, 2000) <= 0) throw std::runtime_error("pty write stalled");
    }
  }
}

uint32_t PtyHost::LineRate() const { return platform::GetLineRate(slave_); }

FakeModemLines::FakeModemLines(const std::string& path) {
  platform::SerialDevice::SetModemLineSource([state = lines_, path](const std::string& device, int* lines) {
    if (device != path) return false;
    *lines = state->load();
    return true;
  });
}

FakeModemLines::~FakeModemLines() { platform::SerialDevice::SetModemLineSource(nullptr); }

void RecordingTarget::Post(uint32_t message, uint32_t first, uint32_t second) {
  std::lock_guard<std::mutex> guard(lock_);
  events_.push_back({message, first, second});
  changed_.notify_all();
}

std::vector<PostedEvent> RecordingTarget::Events() const {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

size_t RecordingTarget::Count(uint32_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (auto& e : events_) n += e.code == code;
  return n;
}

bool RecordingTarget::WaitUntil(const std::function<bool(const std::vector<PostedEvent>&)>& pred,
                                int timeoutMs) const {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(events_); });
}

bool RecordingTarget::WaitFor(uint32_t code, int timeoutMs) const {
  return WaitUntil(
      [code](const std::vector<PostedEvent>& events) {
        for (auto& e : events)
          if (e.code == code) return true;
        return false;
      },
      timeoutMs);
}

void RecordingTarget::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  events_.clear();
}

RecordingOperator::RecordingOperator() { platform::SetOperator(this); }
RecordingOperator::~RecordingOperator() { platform::SetOperator(nullptr); }

int RecordingOperator::MessageBox(platform::IEventTarget*, const std::string& text, const std::string& caption,
                                  unsigned type) {
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> guard(lock_);
    boxes_.push_back({text, caption, type});
    action = std::move(duringNextBox_);
    duringNextBox_ = nullptr;
  }
  if (action) action();
  std::lock_guard<std::mutex> guard(lock_);
  if (!answers_.empty()) {
    int a = answers_.front();
    answers_.pop_front();
    return a;
  }
  return platform::SafeAnswer(type);
}

void RecordingOperator::Answer(std::vector<int> answers) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_.assign(answers.begin(), answers.end());
}

std::vector<ShownBox> RecordingOperator::Boxes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return boxes_;
}

bool RecordingOperator::Shown(const std::string& text) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& b : boxes_)
    if (b.text == text) return true;
  return false;
}

void RecordingOperator::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  boxes_.clear();
}

void RecordingOperator::DuringNextBox(std::function<void()> action) {
  std::lock_guard<std::mutex> guard(lock_);
  duringNextBox_ = std::move(action);
}

void UseEnglishTexts() {
  static platform::LanguageLibrary library;
  if (!library.Loaded()) {
    std::string error;
    if (!library.Load(platform::LanguageLibraryName(0), &error)) throw std::runtime_error(error);
    platform::SetCurrentLanguage(&library);
  }
}

platform::LanguageLibrary& TestLanguage(int language) {
  static platform::LanguageLibrary libraries[2];
  platform::LanguageLibrary& library = libraries[language != 0 ? 1 : 0];
  if (!library.Loaded()) {
    std::string error;
    EXPECT_TRUE(library.Load(platform::LanguageLibraryName(language), &error)) << error;
  }
  return library;
}

void SpinMicroseconds(int us) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  while (std::chrono::steady_clock::now() < end) {
  }
}

int64_t TimeMs(const std::function<void()>& f) {
  int64_t start = platform::NowMs();
  f();
  return platform::NowMs() - start;
}

}  // namespace lumaset::test
