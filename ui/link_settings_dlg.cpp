#include "ui/link_settings_dlg.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionComboBox>

#include <algorithm>

#include "app/resource_ui.h"
#include "platform/language.h"
#include "platform/port_map.h"
#include "platform/serial_line.h"
#include "resources/resource_ids.h"

namespace lumaset {

CLinkSettingsDlg::CLinkSettingsDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("linkSettings"));
}

void CLinkSettingsDlg::SetValues(uint8_t port, uint32_t baudRate, uint32_t changeProgramBaud, const std::string& host,
                                 uint32_t tcpPort, uint8_t network) {
  m_port = port;
  m_baudRate = baudRate;
  m_changeProgramBaud = changeProgramBaud;
  m_host = host;
  m_tcpPort = tcpPort;
  m_network = network;
}

void CLinkSettingsDlg::GetValues(uint8_t* port, uint32_t* baudRate, uint32_t* changeProgramBaud, std::string* host,
                                 uint32_t* tcpPort, uint8_t* network) const {
  if (port) *port = static_cast<uint8_t>(m_port);
  if (baudRate) *baudRate = m_baudRate;
  if (changeProgramBaud) *changeProgramBaud = m_changeProgramBaud;
  if (host) *host = m_host;
  if (tcpPort) *tcpPort = m_tcpPort;
  if (network) *network = m_network;
}

QString CLinkSettingsDlg::PortEntryText(const QString& templateText, int number, bool* present, bool* server) {
  const platform::ComResolution where = platform::ResolveComPort(number);
  const std::string& path = where.path;
  struct stat st{};
  const bool exists = !path.empty() && stat(path.c_str(), &st) == 0;
  if (present) *present = exists;
  if (server) *server = platform::IsDeviceUrl(path);
  if (path.empty()) return templateText;
  if (where.source == platform::ComSource::kPin) {
    // The pinned device by its stable name, also while it is unplugged.
    const std::string folder = platform::SerialByIdDir() + "/";
    const std::string device = path.compare(0, folder.size(), folder) == 0 ? path.substr(folder.size()) : path;
    QString pinned = QString::fromStdString(platform::LoadString(res::kStrPinnedPort));
    pinned.replace(QStringLiteral("%1"), QString::fromStdString(device));
    return templateText + QStringLiteral("  \u2014  ") + pinned;
  }
  // The stable name of the device where it has one, else its path.
  const std::string byId = platform::ByIdName(path);
  QString device = QString::fromStdString(byId.empty() ? path : byId);
  if (!byId.empty() && path.rfind(platform::SerialByIdDir() + "/", 0) != 0)
    device += QStringLiteral(" (") + QString::fromStdString(path) + QLatin1Char(')');
  return templateText + QStringLiteral("  \u2014  ") + device;
}

bool CLinkSettingsDlg::OnInitDialog() {
  if (m_initialised) return true;
  std::map<unsigned, QWidget*> controls;
  if (!resui::BuildDialog(this, res::kDlgLinkSettings, &controls)) return false;
  m_tcpPortEdit = qobject_cast<QLineEdit*>(controls[res::kIdTcpPort]);
  m_hostAddress = qobject_cast<QLineEdit*>(controls[res::kIdHostAddress]);
  m_optionButton = qobject_cast<QAbstractButton*>(controls[res::kIdOption]);
  m_portList = qobject_cast<QComboBox*>(controls[res::kIdPortList]);
  m_baudList = qobject_cast<QComboBox*>(controls[res::kIdBaudList]);
  m_baudOption = qobject_cast<QAbstractButton*>(controls[res::kIdBaudOption]);
  if (!m_portList) return false;
  m_initialised = true;

  // 1. The TCP port into its (hidden) edit.
  if (m_tcpPortEdit) m_tcpPortEdit->setText(QString::number(m_tcpPort));
  // Each COM entry names its device; the ports present now stand out.
  for (int i = 1; i < m_portList->count(); ++i) {
    bool present = false, server = false;
    m_portList->setItemText(i, PortEntryText(m_portList->itemText(i), i, &present, &server));
    QFont font = m_portList->font();
    font.setBold(present);
    m_portList->setItemData(i, font, Qt::FontRole);
    // A device server's port is neither known present nor known missing.
    if (!present && !server)
      m_portList->setItemData(i, palette().color(QPalette::Disabled, QPalette::Text), Qt::ForegroundRole);
  }
  // The list opens wide enough for the device names; each entry's whole
  // text is its tooltip too.
  for (int i = 0; i < m_portList->count(); ++i) m_portList->setItemData(i, m_portList->itemText(i), Qt::ToolTipRole);
  if (QAbstractItemView* list = m_portList->view())
    list->setMinimumWidth(list->sizeHintForColumn(0) + 2 * list->frameWidth() + 24);
  FitPortList(controls);
  // The closed list's tooltip is the chosen entry whole, for a name still too long.
  const auto showWhole = [this](int index) {
    m_portList->setToolTip(index >= 0 ? m_portList->itemText(index) : QString());
  };
  connect(m_portList, QOverload<int>::of(&QComboBox::currentIndexChanged), this, showWhole);
  // 2. The baud list emptied; the port's entry selected (none when the list
  // has no entry for it).
  if (m_baudList) m_baudList->clear();
  m_portList->setCurrentIndex(m_port >= 0 && m_port < m_portList->count() ? m_port : -1);
  showWhole(m_portList->currentIndex());
  // 3. Confirming always gives 115200 over a serial port or USB.
  m_baudRate = 115200;
  m_network = 0;
  // 4. Only the port list is shown.
  m_portList->show();
  for (QWidget* w : {static_cast<QWidget*>(m_baudList), static_cast<QWidget*>(m_baudOption),
                     static_cast<QWidget*>(m_hostAddress), static_cast<QWidget*>(m_tcpPortEdit)})
    if (w) w->hide();
  // 5. The label.
  if (auto* label = qobject_cast<QLabel*>(controls[res::kIdLinkLabel])) label->setText(resui::String(res::kStrLinkSettingsLabel));
  // 6.
  if (m_changeProgramBaud == 0 && m_port == 0) {
    if (m_baudList) m_baudList->setEnabled(false);
    if (m_baudOption) m_baudOption->setEnabled(false);
  }
  connect(m_portList, QOverload<int>::of(&QComboBox::activated), this, [this] { OnPortChosen(); });
  if (m_baudOption) connect(m_baudOption, &QAbstractButton::clicked, this, [this] { OnBaudOption(); });
  return true;
}

void CLinkSettingsDlg::FitPortList(const std::map<unsigned, QWidget*>& controls) {
  // Present ports are shown bold: measure every entry so.
  QFont bold = m_portList->font();
  bold.setBold(true);
  const QFontMetrics metrics(bold);
  int text = 0;
  for (int i = 0; i < m_portList->count(); ++i) text = std::max(text, metrics.horizontalAdvance(m_portList->itemText(i)));
  QStyleOptionComboBox option;
  option.initFrom(m_portList);
  const int needed =
      m_portList->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(text, metrics.height()), m_portList).width();
  const QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  const int widest = screen ? screen->availableGeometry().width() * 3 / 4 : width();
  const int grow = std::min(needed - m_portList->width(), widest - width());
  if (grow <= 0) return;
  setFixedSize(width() + grow, height());
  for (QWidget* column : {static_cast<QWidget*>(m_portList), static_cast<QWidget*>(m_baudList)})
    if (column) column->resize(column->width() + grow, column->height());
  for (unsigned id : {res::kIdTcpPort, res::kIdOk, res::kIdCancel}) {
    const auto it = controls.find(id);
    if (it != controls.end() && it->second) it->second->move(it->second->x() + grow, it->second->y());
  }
}

int CLinkSettingsDlg::exec() {
  if (!OnInitDialog()) return QDialog::Rejected;
  return QDialog::exec();
}

void CLinkSettingsDlg::OnPortChosen() {
  if (m_baudList) m_baudList->setEnabled(false);
  if (m_baudOption) m_baudOption->setEnabled(false);
}

void CLinkSettingsDlg::OnBaudOption() {
  if (!m_portList || m_portList->currentIndex() != 0 || !m_baudList || !m_baudOption) return;
  m_baudList->setEnabled(m_baudOption->isChecked());
}

void CLinkSettingsDlg::accept() {
  // 1. The TCP port from its edit. The edit is hidden, so a stored value out
  // of range cannot be corrected here: it passes through unchanged instead of
  // holding the dialog open.
  if (m_tcpPortEdit) {
    bool ok = false;
    const uint32_t value = m_tcpPortEdit->text().toUInt(&ok);
    if (ok && value <= 65535) m_tcpPort = value;
  }
  // 2. The selected entry, or COM 1 when none is.
  m_port = m_portList && m_portList->currentIndex() >= 0 ? m_portList->currentIndex() : 1;
  // 3.
  m_baudRate = 115200;
  // The chosen COM port keeps meaning the device it names now.
  m_pinnedDevice = m_port > 0 ? platform::StableComPortPath(m_port) : std::string();
  QDialog::accept();
}

}  // namespace lumaset
