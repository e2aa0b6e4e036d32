// The second start of the hand-off tests: handoff_client NAME NUMBER BLOCK
// hands NAME and NUMBER to the running instance through the block file BLOCK,
// with the activation token XDG_ACTIVATION_TOKEN when it is set.
// Prints the handler's result and ends with 0, or prints the error on
// standard error and ends with 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/handoff.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: handoff_client NAME NUMBER BLOCK\n");
    return 2;
  }
  std::string error;
  const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
  const int result = lumaset::SendToRunningInstance(argv[1], static_cast<int32_t>(std::strtol(argv[2], nullptr, 10)),
                                                    &error, argv[3], token ? token : "");
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("%d\n", result);
  return 0;
}
