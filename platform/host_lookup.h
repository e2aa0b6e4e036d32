// Looking a host up without waiting on the resolver beyond a bound.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>

namespace lumaset::platform {

// The host text as a dotted IPv4 address, or looked up by name (the first
// IPv4 address found). The look-up blocks, so it runs on a thread of its
// own; the caller waits at most timeoutMs, calling `between` (when given)
// every 10 ms meanwhile, and stops waiting as soon as it returns false. A
// look-up still running then is abandoned: its thread ends on its own,
// holding only its own state. True with *out set when the host was found.
bool LookUpHost(const std::string& host, in_addr* out, int timeoutMs, const std::function<bool()>& between = {});

}  // namespace lumaset::platform
