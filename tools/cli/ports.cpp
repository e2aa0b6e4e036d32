#include "tools/cli/ports.h"

#include <QJsonObject>

#include <cstdio>

#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "tools/cli/json_output.h"

namespace lumaset::cli {
namespace {

// Texts from a device's descriptors on one line: control characters (a
// line break would split the port's line) and quotes become '?'.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"') c = '?';
  return out;
}

const char* SourceName(platform::ComSource source) {
  switch (source) {
    case platform::ComSource::kProcess: return "process";
    case platform::ComSource::kEnvironment: return "env";
    case platform::ComSource::kPin: return "pin";
    case platform::ComSource::kPresent: return "present";
    case platform::ComSource::kNone: break;
  }
  return "none";
}

// The by-id name where the path does not already show it.
bool PathIsByIdEntry(const std::string& path, const std::string& name) {
  return !name.empty() && path == platform::SerialByIdDir() + "/" + name;
}

}  // namespace

std::string PortLine(int number, const platform::ComResolution& where, const platform::SerialDeviceInfo& info) {
  std::string line = "COM" + std::to_string(number) + "  " + where.path;
  // A device server's port: whether it is there shows only when connecting.
  if (info.server == "rfc2217") line += "  device server (RFC 2217)";
  else if (info.server == "socket") line += "  device server (raw TCP, fixed rate)";
  else line += info.present ? "  present" : "  missing";
  if (info.present && !info.node.empty() && info.node != where.path) line += "  -> " + info.node;
  if (!info.byId.empty() && !PathIsByIdEntry(where.path, info.byId)) line += "  by-id " + info.byId;
  if (info.usb) {
    line += "  usb " + Printable(info.vendorId) + ":" + Printable(info.productId);
    if (!info.serial.empty()) line += "  serial " + Printable(info.serial);
    if (!info.product.empty()) line += "  \"" + Printable(info.product) + "\"";
  }
  if (where.source == platform::ComSource::kPin) line += "  pinned";
  if (where.source == platform::ComSource::kEnvironment) line += "  LUMASET_COM" + std::to_string(number);
  if (where.source == platform::ComSource::kProcess) line += "  override";
  return line;
}

std::string PortJson(int number, const platform::ComResolution& where, const platform::SerialDeviceInfo& info) {
  const auto text = JsonText;
  QJsonObject o;
  o["com"] = number;
  o["path"] = text(where.path);
  o["source"] = SourceName(where.source);
  o["present"] = info.server.empty() ? QJsonValue(info.present) : QJsonValue();
  o["server"] = info.server.empty() ? QJsonValue() : QJsonValue(text(info.server));
  o["device"] = info.present && !info.node.empty() ? QJsonValue(text(info.node)) : QJsonValue();
  o["byId"] = info.byId.empty() ? QJsonValue() : QJsonValue(text(info.byId));
  if (info.usb) {
    o["usb"] = text(info.vendorId + ":" + info.productId);
    if (!info.serial.empty()) o["serial"] = text(info.serial);
    if (!info.product.empty()) o["product"] = text(info.product);
    if (!info.manufacturer.empty()) o["manufacturer"] = text(info.manufacturer);
  }
  return JsonLine("port", o);
}

int ListPorts(bool json) {
  const auto ports = platform::ListComPorts(255);
  for (const auto& [number, where] : ports) {
    const platform::SerialDeviceInfo info = platform::DescribeSerialDevice(where.path);
    const std::string line = json ? PortJson(number, where, info) : PortLine(number, where, info);
    std::fprintf(stdout, "%s\n", line.c_str());
  }
  std::fflush(stdout);
  // With --json an empty list is no line at all.
  if (ports.empty() && !json) Say("no COM port resolves to a device");
  return kExitDone;
}

}  // namespace lumaset::cli
