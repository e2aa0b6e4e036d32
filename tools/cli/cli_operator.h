// The link's message boxes on the command line: "caption: text" on stderr,
// questions answered from the options, never a prompt. Called from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "platform/operator.h"

namespace lumaset::cli {

class CliOperator : public platform::IOperator {
 public:
  // searchOnFail: answer OK (once) to the question whether to search for the
  // rate after a failed probe (string 59410). userAnswer: the answer to the
  // user-program question (string 59396), when given.
  CliOperator(bool searchOnFail, std::optional<bool> userAnswer)
      : searchOnFail_(searchOnFail), userAnswer_(userAnswer) {}

  int MessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                 unsigned type) override;

  // True once, after the search question has been answered OK.
  bool TakeSearchAccepted() { return searchAccepted_.exchange(false); }
  // Whether the search question has been asked since the last call.
  bool TakeSearchAsked() { return searchAsked_.exchange(false); }
  // The text of the last message box.
  std::string LastText() const;

 private:
  const bool searchOnFail_;
  const std::optional<bool> userAnswer_;
  std::atomic<bool> searchAccepted_{false};
  std::atomic<bool> searchAsked_{false};
  std::atomic<int> searchesAllowed_{1};
  mutable std::mutex lock_;
  std::string lastText_;
};

}  // namespace lumaset::cli
