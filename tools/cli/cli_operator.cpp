#include "tools/cli/cli_operator.h"

#include "app/resource_ids.h"
#include "platform/language.h"
#include "tools/cli/console.h"

namespace lumaset::cli {

using namespace platform;

std::string CliOperator::LastText() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lastText_;
}

int CliOperator::MessageBox(IEventTarget*, const std::string& text, const std::string& caption, unsigned type) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    lastText_ = text;
  }
  Console::Instance().Line(caption + ": " + text);
  const unsigned buttons = type & kMbButtonsMask;
  if (buttons == kMbOk) return kIdOk;

  if (text == LoadString(res::kStrProbeFailedSearch)) {
    searchAsked_ = true;
    if (searchOnFail_ && searchesAllowed_.fetch_sub(1) > 0) {
      Say("answered OK (--search-on-fail): searching for the host's rate");
      searchAccepted_ = true;
      return kIdOk;
    }
    Say(searchOnFail_ ? "answered Cancel (one search per run)"
                      : "answered Cancel (--search-on-fail would search for the rate)");
    return kIdCancel;
  }
  if (text == LoadString(res::kStrUserProgramQuestion) && userAnswer_ &&
      (buttons == kMbYesNo || buttons == kMbYesNoCancel)) {
    Say(*userAnswer_ ? "answered Yes (--yes)" : "answered No (--no)");
    return *userAnswer_ ? kIdYes : kIdNo;
  }
  // Any other question: the safe answer, as a box left alone would not proceed.
  const int answer = SafeAnswer(type);
  if (answer == kIdCancel) Say("answered Cancel");
  if (answer == kIdNo) Say("answered No");
  return answer;
}

}  // namespace lumaset::cli
