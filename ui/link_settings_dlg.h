// The dialog in which the operator chooses the port to the host: the USB
// link or one of the COM ports, each shown with the device it stands for
// (and marked where the port is pinned to a device). Its other controls
// (rate, TCP address and port) stay hidden; confirming it always chooses a
// serial port or the USB link at 115200 baud, and says which device the
// chosen port is to be pinned to.
#pragma once

#include <QDialog>

#include <cstdint>
#include <map>
#include <string>

class QAbstractButton;
class QComboBox;
class QLabel;
class QLineEdit;

namespace lumaset {

class CLinkSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CLinkSettingsDlg(QWidget* parent);

  void SetValues(uint8_t port, uint32_t baudRate, uint32_t changeProgramBaud, const std::string& host,
                 uint32_t tcpPort, uint8_t network);
  // After the dialog ended with OK.
  void GetValues(uint8_t* port, uint32_t* baudRate, uint32_t* changeProgramBaud, std::string* host,
                 uint32_t* tcpPort, uint8_t* network) const;
  // After the dialog ended with OK: the path that the chosen COM port is to
  // be pinned to (platform::StableComPortPath: its by-id path, or its pin
  // when it is pinned), or "" to clear the pin (the USB link, or a port
  // whose device has no by-id name).
  const std::string& PinnedDevice() const { return m_pinnedDevice; }

  // Builds and initialises the controls (done by exec(); callable before it
  // so the dialog can be inspected without running it).
  bool OnInitDialog();
  int exec() override;

  // The text of the port list entry for COM `number` (with its device, or
  // the URL of the device server's port, and string 59426, "(pinned)", where
  // the port is pinned). *present: the device is there now; *server: the
  // port is behind a device server, which is known only by connecting.
  static QString PortEntryText(const QString& templateText, int number, bool* present, bool* server = nullptr);

  QComboBox* PortList() const { return m_portList; }
  QComboBox* BaudList() const { return m_baudList; }
  QAbstractButton* BaudOption() const { return m_baudOption; }

 public slots:
  void accept() override;

 private:
  void OnPortChosen();
  void OnBaudOption();
  // Widens the dialog so the closed port list shows its longest entry whole,
  // up to three quarters of the screen's width; the list's column and the
  // controls right of it move with the right edge.
  void FitPortList(const std::map<unsigned, QWidget*>& controls);

  // Controls, in this order.
  QLineEdit* m_tcpPortEdit = nullptr;
  QLineEdit* m_hostAddress = nullptr;
  QAbstractButton* m_optionButton = nullptr;
  QComboBox* m_portList = nullptr;
  QComboBox* m_baudList = nullptr;
  QAbstractButton* m_baudOption = nullptr;
  // Values.
  uint8_t m_network = 0;
  uint32_t m_tcpPort = 0;
  std::string m_host;
  uint32_t m_baudRate = 115200;
  int m_port = 1;
  uint32_t m_changeProgramBaud = 0;
  std::string m_pinnedDevice;
  bool m_initialised = false;
};

}  // namespace lumaset
