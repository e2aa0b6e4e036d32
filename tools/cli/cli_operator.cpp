#include "tools/cli/cli_operator.h"

#include <QJsonObject>

#include "resources/resource_ids.h"
#include "platform/language.h"
#include "tools/cli/console.h"
#include "tools/cli/json_output.h"

namespace lumaset::cli {

using namespace platform;

namespace {

const char* ButtonsName(unsigned type) {
  switch (type & kMbButtonsMask) {
    case kMbOk: return "ok";
    case kMbOkCancel: return "ok-cancel";
    case kMbAbortRetryIgnore: return "abort-retry-ignore";
    case kMbYesNoCancel: return "yes-no-cancel";
    case kMbYesNo: return "yes-no";
    case kMbRetryCancel: return "retry-cancel";
    default: return "other";
  }
}

QJsonValue IconName(unsigned type) {
  switch (type & kMbIconMask) {
    case kMbIconError: return "error";
    case kMbIconQuestion: return "question";
    case kMbIconWarning: return "warning";
    case kMbIconInformation: return "information";
    default: return QJsonValue();
  }
}

const char* AnswerName(int answer) {
  switch (answer) {
    case kIdOk: return "ok";
    case kIdCancel: return "cancel";
    case kIdAbort: return "abort";
    case kIdRetry: return "retry";
    case kIdIgnore: return "ignore";
    case kIdYes: return "yes";
    case kIdNo: return "no";
    default: return "other";
  }
}

}  // namespace

std::string CliOperator::LastText() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lastText_;
}

int CliOperator::MessageBox(IEventTarget*, const std::string& text, const std::string& caption, unsigned type) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    lastText_ = text;
  }
  const bool json = JsonOutput::Instance().Enabled();
  const unsigned buttons = type & kMbButtonsMask;
  if (buttons == kMbOk) {
    if (json)
      JsonOutput::Instance().Line("message", {{"caption", JsonText(caption)}, {"text", JsonText(text)},
                                              {"icon", IconName(type)}});
    else
      Console::Instance().Line(caption + ": " + text);
    return kIdOk;
  }
  if (!json) Console::Instance().Line(caption + ": " + text);

  // The answer, and why (the human output says it in a line of its own).
  int answer = 0;
  const char* by = "default";
  std::string why;
  if (text == LoadString(res::kStrProbeFailedSearch)) {
    searchAsked_ = true;
    if (searchOnFail_ && searchesAllowed_.fetch_sub(1) > 0) {
      why = "answered OK (--search-on-fail): searching for the host's rate";
      by = "--search-on-fail";
      searchAccepted_ = true;
      answer = kIdOk;
    } else {
      why = searchOnFail_ ? "answered Cancel (one search per run)"
                          : "answered Cancel (--search-on-fail would search for the rate)";
      if (searchOnFail_) by = "once-a-run";
      answer = kIdCancel;
    }
  } else if (text == LoadString(res::kStrUserProgramQuestion) && userAnswer_ &&
             (buttons == kMbYesNo || buttons == kMbYesNoCancel)) {
    why = *userAnswer_ ? "answered Yes (--yes)" : "answered No (--no)";
    by = *userAnswer_ ? "--yes" : "--no";
    answer = *userAnswer_ ? kIdYes : kIdNo;
  } else {
    // Any other question: the safe answer, as a box left alone would not proceed.
    answer = SafeAnswer(type);
    if (answer == kIdCancel) why = "answered Cancel";
    if (answer == kIdNo) why = "answered No";
  }
  if (json)
    JsonOutput::Instance().Line("question", {{"caption", JsonText(caption)},
                                             {"text", JsonText(text)},
                                             {"icon", IconName(type)},
                                             {"buttons", ButtonsName(type)},
                                             {"answer", AnswerName(answer)},
                                             {"by", by}});
  else if (!why.empty())
    Say(why);
  return answer;
}

}  // namespace lumaset::cli
