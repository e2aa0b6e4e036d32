// The baud-rate search: try the rates of the table one after another, send
// the probe at each and listen for the host's answer. Runs on the link's
// search thread; the port is open without watcher while it runs.
#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"

namespace lumaset {

namespace {
// Twelve tries: a search from a rate of the table ends with that rate again.
constexpr int kSearchTries = 12;
constexpr int kSettleMs = 10;
constexpr int kReopenPauseMs = 100;
// A rate counts as found when the host answers this many probes in a row:
// a single answer byte could be noise at a wrong rate.
constexpr int kAnswersToConfirm = 2;
constexpr int kSearchGraceMs = 5000;
}  // namespace

int CSerialLink::StartBaudSearch(int resendAfter) {
  if (m_searchRunning) return 0;
  if (RefuseFixedRate()) return 0;
  // A search that ended on its own is still to be joined.
  if (m_search.Exists()) StopBaudSearch();
  // Close(1) stops a transfer thread whether or not the port was open, so no
  // transfer thread runs beside the search.
  Close(1);
  m_resendAfterSearch = resendAfter;
  if (!m_search.Create([this] { return SearchBody(); })) {
    FixedMessageBox(NotifyWindow(), kSearchThreadFailed, kSearchThreadFailedCaption, platform::kMbIconWarning);
    return 0;
  }
  m_stopSearch.Reset();
  m_searchRunning = 1;
  ++m_searchStarts;
  m_search.Start();
  return 1;
}

void CSerialLink::StopBaudSearch() {
  platform::StopWorker(m_search, m_stopSearch, kSearchGraceMs, [] {
    FixedMessageBox(nullptr, kSearchLockedText, kFrameworkCaption, platform::kMbOk);
  });
  m_searchRunning = 0;
}

uint32_t CSerialLink::SearchBody() {
  platform::LineSettings line = LineFromRecord(Settings());
  const uint32_t savedRate = line.rate;
  int index = BaudRateIndex(savedRate);
  if (index < 0) index = 0;
  Open(0);

  bool found = false;
  // The port the search opened, once it has gone away: no rate can answer.
  std::shared_ptr<platform::SerialDevice> gonePort;
  // Reported when the search is stopped before its first try.
  uint32_t lastRate = savedRate;
  for (int attempt = 0; attempt < kSearchTries && !m_stopSearch.IsSet(); ++attempt) {
    if (auto port = Port(); port && port->IsGone()) {
      gonePort = port;
      break;
    }
    const uint32_t rate = kBaudRates[index];
    Post(LE_BAUD_TRYING, rate);
    lastRate = rate;
    SetRate(rate);
    UpdateTimePerByte();  // the probe's writes wait by this rate's factor
    line.rate = rate;
    index = (index + 1) % kBaudRateCount;
    // A rate the device rejects still counts as a try.
    auto port = Port();
    if (!port || port->Apply(line) != 0) continue;
    if (platform::SleepUnlessSet(m_stopSearch, kSettleMs)) break;
    port->Purge(true, true);
    // The answer has up to 4F + 500 ms to come; what follows it for 3F + 500
    // ms more must be the host's text too, or this is not the host's rate.
    const int factor = m_iTimePerByte;
    int answers = 0;
    while (answers < kAnswersToConfirm &&
           ProbeExchange(4 * factor + 500, 3 * factor + 500, &m_stopSearch) == ProbeOutcome::kAnswered)
      ++answers;
    if (answers == kAnswersToConfirm && !m_stopSearch.IsSet()) {
      found = true;
      break;
    }
  }

  Close(1);
  platform::SleepMs(kReopenPauseMs);
  if (!found) SetRate(savedRate);
  UpdateTimePerByte();
  Open(1);
  m_searchRunning = 0;
  if (auto port = Port()) port->Purge(true, true);
  Post(found ? LE_BAUD_FOUND : LE_BAUD_NOT_FOUND, lastRate);
  // Its device came back in time when the re-open found it.
  if (gonePort && !m_open) ReportPortGone(gonePort);
  return 0;
}

}  // namespace lumaset
