// Host protocol operations of the serial link: not built yet; they refuse.
#include "link/serial_link.h"

namespace lumaset {

int CSerialLink::SendCommand(int, int) { return 0; }
int CSerialLink::Probe(int) { return 0; }
int CSerialLink::SendFileWithHandshake(const char*) { return 0; }
int CSerialLink::SendRawFile(const char*) { return 0; }
int CSerialLink::StartBaudSearch(int) { return 0; }
void CSerialLink::StopBaudSearch() {}
void CSerialLink::ResendAfterSearch() { m_lastCommandIndex = -1; }
int CSerialLink::SendProgramImage(int, int) { return 0; }
int CSerialLink::SendUserProgram(int) { return 0; }
int CSerialLink::SendSystemProgram() { return 0; }
int CSerialLink::SetHostBaudRate(uint32_t) { return 0; }
uint32_t CSerialLink::TransferBody() { return kTransferThreadDone; }
uint32_t CSerialLink::SearchBody() { return 0; }
bool CSerialLink::StartTransferThread(bool, bool, const char*, const char*) { return false; }
bool CSerialLink::ReadFileIntoBuffer(const char*, size_t, size_t, uint32_t*) { return false; }

}  // namespace lumaset
