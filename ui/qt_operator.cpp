#include "ui/qt_operator.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <utility>

namespace lumaset {
namespace {

using platform::SafeAnswer;

// The buttons of each button code, first to last, with their answers.
struct ButtonSpec {
  QMessageBox::StandardButton button;
  int answer;
};

std::vector<ButtonSpec> ButtonsOf(unsigned type) {
  using B = QMessageBox;
  switch (type & platform::kMbButtonsMask) {
    case platform::kMbOkCancel: return {{B::Ok, platform::kIdOk}, {B::Cancel, platform::kIdCancel}};
    case platform::kMbAbortRetryIgnore:
      return {{B::Abort, platform::kIdAbort}, {B::Retry, platform::kIdRetry}, {B::Ignore, platform::kIdIgnore}};
    case platform::kMbYesNoCancel:
      return {{B::Yes, platform::kIdYes}, {B::No, platform::kIdNo}, {B::Cancel, platform::kIdCancel}};
    case platform::kMbYesNo: return {{B::Yes, platform::kIdYes}, {B::No, platform::kIdNo}};
    case platform::kMbRetryCancel: return {{B::Retry, platform::kIdRetry}, {B::Cancel, platform::kIdCancel}};
    default: return {{B::Ok, platform::kIdOk}};
  }
}

QMessageBox::Icon IconOf(unsigned type) {
  switch (type & platform::kMbIconMask) {
    case platform::kMbIconError: return QMessageBox::Critical;
    case platform::kMbIconQuestion: return QMessageBox::Question;
    case platform::kMbIconWarning: return QMessageBox::Warning;
    case platform::kMbIconInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// Index of the default button: 0x100 the second, 0x200 the third; the first
// when the box has no such button.
size_t DefaultIndex(unsigned type, size_t count) {
  const size_t index = (type & platform::kMbDefButtonMask) >> 8;
  return index < count ? index : 0;
}

// Set on a box that Shutdown closed: its caller gets the safe answer.
constexpr const char* kClosedByShutdown = "lumasetClosedByShutdown";

}  // namespace

QtOperator::QtOperator() {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  // Other threads wake the user-interface thread through the two events'
  // descriptors (no Qt call off that thread): requests wait, or a shutdown
  // wants the open boxes closed.
  pendingNotifier_ = std::make_unique<QSocketNotifier>(pending_.Fd(), QSocketNotifier::Read);
  QObject::connect(pendingNotifier_.get(), &QSocketNotifier::activated, pendingNotifier_.get(),
                   [this] { Serve(nullptr); });
  shutdownNotifier_ = std::make_unique<QSocketNotifier>(shutdown_.Fd(), QSocketNotifier::Read);
  QObject::connect(shutdownNotifier_.get(), &QSocketNotifier::activated, shutdownNotifier_.get(), [this] {
    shutdownNotifier_->setEnabled(false);
    CloseOpenBoxes();
  });
}

QtOperator::~QtOperator() {
  if (&platform::Operator() == this) platform::SetOperator(nullptr);
  Shutdown();
  if (pendingNotifier_ && !OnUiThread()) {
    // Not where it belongs: cut the notifiers loose and let their thread
    // delete them.
    for (auto* notifier : {pendingNotifier_.release(), shutdownNotifier_.release()}) {
      QObject::disconnect(notifier, nullptr, nullptr, nullptr);
      notifier->deleteLater();
    }
  }
}

bool QtOperator::OnUiThread() const {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

int QtOperator::MessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                           unsigned type) {
  ++raised_;
  auto request = std::make_shared<Request>(Request{owner, text, caption, type});
  const bool here = OnUiThread();
  {
    std::unique_lock<std::mutex> guard(lock_);
    if (closed_ || !pendingNotifier_) return SafeAnswer(type);
    queue_.push_back(request);
    pending_.Set();
    if (!here) {
      // Ends with the operator's answer or with Shutdown's.
      answered_.wait(guard, [&] { return request->answered; });
      return request->answer;
    }
  }
  // On the user-interface thread the boxes raised before this one come first.
  Serve(request.get());
  std::lock_guard<std::mutex> guard(lock_);
  return request->answered ? request->answer : SafeAnswer(type);
}

bool QtOperator::ServePendingBoxes() {
  if (!pendingNotifier_ || !OnUiThread()) return false;
  // Also inside an open box: the caller is waiting for exactly these.
  Serve(nullptr);
  return true;
}

void QtOperator::Serve(const Request* until) {
  // While a box is open the serve below it goes on with the queue after it;
  // the notifier would only stack boxes (and fire without end).
  if (serving_++ == 0) pendingNotifier_->setEnabled(false);
  for (;;) {
    std::shared_ptr<Request> next;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (queue_.empty()) break;
      next = std::move(queue_.front());
      queue_.pop_front();
      if (queue_.empty()) pending_.Reset();
    }
    Answer(*next, Show(*next));
    if (next.get() == until) break;
  }
  if (--serving_ == 0) pendingNotifier_->setEnabled(true);
}

void QtOperator::Answer(Request& request, int answer) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (request.answered) return;
    request.answer = answer;
    request.answered = true;
  }
  answered_.notify_all();
}

int QtOperator::Show(const Request& request) {
  QWidget* parent = dynamic_cast<QWidget*>(request.owner);
  if (!parent) parent = mainWindow_.data();
  QMessageBox box(parent);
  box.setWindowTitle(QString::fromUtf8(request.caption.data(), static_cast<qsizetype>(request.caption.size())));
  // Texts carry file names and host replies: never read them as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromUtf8(request.text.data(), static_cast<qsizetype>(request.text.size())));
  box.setIcon(IconOf(request.type));

  const std::vector<ButtonSpec> specs = ButtonsOf(request.type);
  std::vector<std::pair<QPushButton*, int>> buttons;
  for (const ButtonSpec& spec : specs) buttons.emplace_back(box.addButton(spec.button), spec.answer);
  box.setDefaultButton(buttons[DefaultIndex(request.type, buttons.size())].first);
  const int safe = SafeAnswer(request.type);
  auto answering = [&](int id) {
    return std::find_if(buttons.begin(), buttons.end(), [id](const auto& b) { return b.second == id; });
  };
  auto escape = answering(platform::kIdCancel);
  if (escape == buttons.end()) escape = answering(safe);
  if (escape != buttons.end()) box.setEscapeButton(escape->first);

  open_.emplace_back(&box);
  box.exec();
  open_.erase(std::remove(open_.begin(), open_.end(), &box), open_.end());

  if (box.property(kClosedByShutdown).toBool()) return safe;
  QAbstractButton* clicked = box.clickedButton();
  for (const auto& [button, answer] : buttons)
    if (button == clicked) return answer;
  return escape != buttons.end() ? escape->second : safe;
}

void QtOperator::SetMainWindow(QWidget* window) { mainWindow_ = window; }

void QtOperator::Shutdown() {
  std::deque<std::shared_ptr<Request>> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    closed_ = true;
    dropped.swap(queue_);
    pending_.Reset();
  }
  for (const auto& request : dropped) Answer(*request, SafeAnswer(request->type));
  if (OnUiThread())
    CloseOpenBoxes();
  else
    shutdown_.Set();  // the notifier closes them there
}

void QtOperator::CloseOpenBoxes() {
  // Copied: closing a box returns from its exec only after this call ends,
  // but be independent of that.
  const std::vector<QPointer<QMessageBox>> open = open_;
  for (const QPointer<QMessageBox>& box : open) {
    if (!box) continue;
    box->setProperty(kClosedByShutdown, true);
    box->reject();
  }
}

}  // namespace lumaset
