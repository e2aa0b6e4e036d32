#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>

namespace lumaset::platform {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Deadline::Deadline(int timeoutMs) : timeout_(timeoutMs < 0 ? kInfinite : timeoutMs), end_(NowMs() + (timeoutMs < 0 ? 0 : timeoutMs)) {}

int Deadline::Remaining() const {
  if (timeout_ == kInfinite) return kInfinite;
  int64_t left = end_ - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

Event::Event(bool initiallySet) {
  fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) {
    // Without descriptors nothing in this program can work; say why and stop.
    std::perror("eventfd");
    std::abort();
  }
  if (initiallySet) Set();
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  std::lock_guard<std::mutex> guard(lock_);
  if (set_) return;
  set_ = true;
  uint64_t one = 1;
  ssize_t n;
  do { n = write(fd_, &one, sizeof one); } while (n < 0 && errno == EINTR);
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!set_) return;
  set_ = false;
  uint64_t value;
  ssize_t n;
  do { n = read(fd_, &value, sizeof value); } while (n < 0 && errno == EINTR);
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(lock_);
  return set_;
}

bool Event::Wait(int timeoutMs) const { return WaitAny({this}, timeoutMs) == 0; }

int PollFor(std::vector<pollfd>& fds, int timeoutMs) {
  Deadline deadline(timeoutMs);
  for (;;) {
    int rc = poll(fds.data(), fds.size(), deadline.Remaining());
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

int WaitAny(const std::vector<const Event*>& events, int timeoutMs) {
  Deadline deadline(timeoutMs);
  std::vector<pollfd> fds;
  std::vector<int> index;
  for (size_t i = 0; i < events.size(); ++i) {
    if (!events[i]) continue;
    if (events[i]->IsSet()) return static_cast<int>(i);
    fds.push_back({events[i]->Fd(), POLLIN, 0});
    index.push_back(static_cast<int>(i));
  }
  for (;;) {
    for (auto& p : fds) p.revents = 0;
    int rc = PollFor(fds, deadline.Remaining());
    if (rc <= 0) return -1;
    // A readable eventfd can be reset between poll() and this check by
    // another thread; then wait again for what is left of the time.
    for (size_t k = 0; k < fds.size(); ++k)
      if (fds[k].revents && events[index[k]]->IsSet()) return index[k];
    if (deadline.Passed()) return -1;
  }
}

int WaitAny(std::initializer_list<const Event*> events, int timeoutMs) {
  return WaitAny(std::vector<const Event*>(events), timeoutMs);
}

}  // namespace lumaset::platform
