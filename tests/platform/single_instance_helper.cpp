// The other process of the single-instance tests. One command per run:
//   lock                   takes the instance lock and prints "first",
//                          "another" or "failed <why>"
//   hold                   takes nothing
//   write NAME MODE BLOCK  writes the hand-off block (its file), prints "ok"
//                          or "error <why>"
//   read BLOCK             prints "<mode> <name>" or "error <why>"
// After its line, "lock" (when first), "hold" and "write" keep what they hold
// until standard input closes (at most 60 s), then end.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/handoff_block.h"
#include "platform/single_instance.h"

namespace {

void HoldUntilInputCloses() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  char c;
  while (poll(&p, 1, 60000) > 0 && read(STDIN_FILENO, &c, 1) > 0) {
  }
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumaset::platform;
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "lock") {
    InstanceLock lock;
    std::string error;
    const LockResult r = lock.Acquire(&error);
    Say(r == LockResult::kFirst ? "first" : r == LockResult::kAnotherRuns ? "another" : "failed " + error);
    if (r == LockResult::kFirst) HoldUntilInputCloses();
    return 0;
  }
  if (command == "hold") {
    Say("holding");
    HoldUntilInputCloses();
    return 0;
  }
  if (command == "write" && argc == 5) {
    HandOffBlockWriter writer(argv[4]);
    std::string error;
    Say(writer.Write(argv[2], static_cast<int32_t>(std::strtol(argv[3], nullptr, 10)), &error) ? "ok"
                                                                                                : "error " + error);
    HoldUntilInputCloses();
    return 0;
  }
  if (command == "read" && argc == 3) {
    std::string name, error;
    int32_t mode = 0;
    Say(ReadHandOffBlock(&name, &mode, &error, argv[2]) ? std::to_string(mode) + " " + name : "error " + error);
    return 0;
  }
  Say("usage: lock | hold | write NAME MODE BLOCK | read BLOCK");
  return 2;
}
