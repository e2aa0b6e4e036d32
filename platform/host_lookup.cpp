#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/event.h"

namespace lumaset::platform {

namespace {
constexpr int kSliceMs = 10;
}  // namespace

bool LookUpHost(const std::string& host, in_addr* out, int timeoutMs, const std::function<bool()>& between) {
  if (host.empty()) return false;
  if (inet_pton(AF_INET, host.c_str(), out) == 1) return true;
  struct Lookup {
    Event done;
    bool ok = false;
    in_addr address{};
  };
  auto lookup = std::make_shared<Lookup>();
  std::thread worker;
  try {
    worker = std::thread([lookup, host] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        lookup->address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        lookup->ok = true;
      }
      if (found) freeaddrinfo(found);
      lookup->done.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  Deadline deadline(timeoutMs);
  while (!lookup->done.Wait(std::min(kSliceMs, deadline.Remaining()))) {
    if (deadline.Passed()) break;
    if (between && !between()) break;
  }
  if (!lookup->done.IsSet()) {
    worker.detach();
    return false;
  }
  worker.join();
  *out = lookup->address;
  return lookup->ok;
}

}  // namespace lumaset::platform
