// The serial line: a pseudo-terminal whose slave end the tool opens as its
// serial port.
#pragma once

#include <QSocketNotifier>
#include <memory>

#include "transport.h"

namespace hostsim {

class SerialTransport : public Transport {
 public:
  // linkPath: make a symlink there to the slave device (empty: none).
  SerialTransport(EventLog* log, QString linkPath, uint32_t initialRate);
  ~SerialTransport() override;

  bool Start(QString* error) override;
  QString Name() const override { return QStringLiteral("serial"); }
  void AddReadyFields(QJsonObject* ready) const override;
  void Send(const QByteArray& answer) override;
  void Shutdown() override;
  bool ChecksRate() const override { return true; }
  bool PeerPresent() const override { return master_ >= 0; }
  uint32_t LineRate() const override;
  qint64 Backlog() const override;
  bool InputWaiting() const override;

 protected:
  void SetReadEnabled(bool on) override;

 private:
  void OnReadable();
  void Flush();

  QString linkPath_;
  bool linkMade_ = false;
  uint32_t initialRate_;
  int master_ = -1;
  int slave_ = -1;  // held open for the whole run, never read
  QString slavePath_;
  std::unique_ptr<QSocketNotifier> readNotifier_;
  std::unique_ptr<QSocketNotifier> writeNotifier_;
  QByteArray out_;
  bool readWanted_ = true;
  bool ioErrorBackoff_ = false;
};

}  // namespace hostsim
