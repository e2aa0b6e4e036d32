// Host commands over the serial link: the probe, the command table entries,
// the clock, the resend after a baud search and the host rate change.
#include <algorithm>
#include <cstdint>

#include "resources/resource_ids.h"
#include "link/busy_flag.h"
#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "protocol/host_commands.h"

namespace lumaset {

namespace {
// The probe's own wait for the answer (a search waits by the rate's factor).
constexpr int kProbeAnswerWaitMs = 500;
// Text that keeps coming keeps the wait for the answer going, for at most the
// time this many bytes take on the line: the rest of a line that the host
// had begun when the probe came, which its answer has to wait for.
constexpr int kTextAheadBytes = 128;
// Bits of one byte on the line: start bit, 8 data bits, stop bit.
constexpr int kBitsPerByte = 10;
}  // namespace

CSerialLink::ProbeOutcome CSerialLink::ProbeExchange(int answerWaitMs, int tailMs, const Event* cancel) {
  auto port = Port();
  if (!port) return ProbeOutcome::kNotSent;
  port->Purge(true, false);
  if (SendCommandString(HostCommand(kCmdProbe)) != kProbeLength) return ProbeOutcome::kNotSent;
  BusyFlag reader(ReplyReaderBusy());
  if (!reader.Owned() || !m_open) return ProbeOutcome::kNoAnswer;

  const int64_t aheadMs =
      int64_t{kTextAheadBytes} * kBitsPerByte * 1000 / std::max<uint32_t>(Settings().rate, 300);
  const int64_t opened = platform::NowMs();
  const int64_t latest = opened + answerWaitMs + aheadMs;
  int64_t closes = opened + answerWaitMs;
  ProbeReply reply;
  for (int64_t now = opened; now < closes; now = platform::NowMs()) {
    uint8_t byte = 0;
    const platform::IoStatus status = port->ReadByte(&byte, {cancel}, static_cast<int>(closes - now));
    if (status == platform::IoStatus::kTimeout) continue;
    if (status != platform::IoStatus::kOk) return ProbeOutcome::kNoAnswer;
    const bool answeredBefore = reply.Get() == ProbeReply::kAnswered;
    switch (reply.Add(byte)) {
      case ProbeReply::kRefused:
        return ProbeOutcome::kNoAnswer;
      case ProbeReply::kAnswered:
        if (!answeredBefore) closes = platform::NowMs() + tailMs;
        break;
      case ProbeReply::kWaiting:
        closes = std::min(latest, std::max(closes, platform::NowMs() + answerWaitMs));
        break;
    }
  }
  if (cancel && cancel->IsSet()) return ProbeOutcome::kNoAnswer;
  return reply.Get() == ProbeReply::kAnswered ? ProbeOutcome::kAnswered : ProbeOutcome::kNoAnswer;
}

int CSerialLink::SendCommand(int index, int holdWatcher) {
  const char* command = HostCommand(index);
  if (!command) return 0;
  if (m_transferRunning) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  if (m_searchRunning) {
    FixedMessageBox(NotifyWindow(), kSearchRunningText, kSearchRunningCaption, platform::kMbIconWarning);
    return 0;
  }
  // The announcements are never resent after a search.
  const bool announcement = index == kCmdAnnounceUser || index == kCmdAnnounceSystem;
  m_lastCommandIndex = announcement ? -1 : index;
  const uint32_t searches = m_searchStarts;
  if (!Probe(announcement ? 0 : 1)) {
    m_lastCommandIndex = -1;
    platform::SleepMs(10);
    return 0;
  }
  // The operator let the probe start a baud search: the search owns the port
  // now, and ResendAfterSearch sends the command once the rate is found.
  if (m_searchStarts != searches) return 1;
  // A held watcher stays held: the transfer thread lets it go when it ends,
  // and a failed image send does so at once.
  if (holdWatcher) m_watcher.Hold();
  SendCommandString(command);
  if (index == kCmdSetClock) SendCommandString(ClockString(platform::Now()).c_str());
  return 1;
}

int CSerialLink::Probe(int askToSearch) {
  auto port = Port();
  if (!m_open || !port || m_transferRunning || m_searchRunning) return 0;
  // Hold the watcher so that the answer is not reported as received data.
  // The host's text after the answer stays queued for it.
  m_watcher.Hold();
  const ProbeOutcome outcome = ProbeExchange(kProbeAnswerWaitMs, 0, nullptr);
  int result = outcome == ProbeOutcome::kAnswered ? 1 : 0;
  const bool ask = outcome == ProbeOutcome::kNoAnswer;
  bool searchStarted = false;
  if (ask && askToSearch &&
      ResourceMessageBox(NotifyWindow(), res::kStrProbeFailedSearch, res::kStrCaption,
                         platform::kMbOkCancel | platform::kMbIconInformation) == platform::kIdOk) {
    result = StartBaudSearch(1);
    searchStarted = result != 0;
  }
  // A started search closed the port, and with it the watcher and its hold.
  if (!searchStarted) m_watcher.Release();
  return result;
}

void CSerialLink::ResendAfterSearch() {
  const int index = m_lastCommandIndex;
  if (m_resendAfterSearch && index != -1 && index != kCmdAnnounceUser && index != kCmdAnnounceSystem &&
      index != kCmdSetHostRate)
    SendCommand(index, 0);
  m_lastCommandIndex = -1;
}

int CSerialLink::SetHostBaudRate(uint32_t rate) {
  if (BaudRateIndex(rate) < 0) return 0;
  if (RefuseFixedRate()) return 0;
  m_resendAfterSearch = 0;
  const uint32_t searches = m_searchStarts;
  if (!SendCommand(kCmdSetHostRate, 0)) return 0;
  // The probe started a baud search, which owns the port now: the rate is
  // not announced and the port not re-opened under it. The host was not
  // asked to change, so the rate stays as it was.
  if (m_searchStarts != searches) return 0;
  // The rate and its complement, both little-endian.
  const uint32_t complement = ~rate;
  const uint8_t message[8] = {
      static_cast<uint8_t>(rate),       static_cast<uint8_t>(rate >> 8),
      static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 24),
      static_cast<uint8_t>(complement), static_cast<uint8_t>(complement >> 8),
      static_cast<uint8_t>(complement >> 16), static_cast<uint8_t>(complement >> 24),
  };
  if (Write(message, sizeof message) != static_cast<int>(sizeof message)) return 0;
  Close(1);
  SetRate(rate);
  UpdateTimePerByte();
  Open(1);
  platform::SleepMs(2 * m_iTimePerByte);
  return Probe(0) == 1 ? 1 : 0;
}

}  // namespace lumaset
