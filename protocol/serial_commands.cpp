// Host commands over the serial link: the probe, the command table entries,
// the clock, the resend after a baud search and the host rate change.
#include <cstdint>

#include "resources/resource_ids.h"
#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "protocol/host_commands.h"

namespace lumaset {

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
  m_watcher.Hold();
  port->Purge(true, false);
  int result = 0;
  bool ask = false;
  if (SendCommandString(HostCommand(kCmdProbe)) == kProbeLength) {
    uint8_t answer = 0;
    if (ReadExact(&answer, 1, nullptr) == 1 && answer == kProbeAnswer)
      result = 1;
    else
      ask = true;
  }
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
