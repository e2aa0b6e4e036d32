#include "platform/port_map.h"

#include <dirent.h>
#include <libudev.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "platform/serial_line.h"

namespace lumaset::platform {
namespace {

std::mutex g_lock;
std::map<int, std::string> g_paths;  // set in this process
int g_pinNumber = 0;                  // 0: no pin
std::string g_pinPath;

std::vector<std::string> Entries(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : std::string();
}

// Sorts ttyUSB10 after ttyUSB9.
std::vector<std::string> Numbered(const std::string& prefix) {
  auto names = Entries("/dev", prefix);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [&](const std::string& n) {
                               return n.size() == prefix.size() ||
                                      n.find_first_not_of("0123456789", prefix.size()) != std::string::npos;
                             }),
              names.end());
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    return std::stoul(a.substr(prefix.size())) < std::stoul(b.substr(prefix.size()));
  });
  for (auto& n : names) n = "/dev/" + n;
  return names;
}

std::vector<std::string> PresentDevices() {
  std::vector<std::string> candidates;
  const std::string byIdDir = SerialByIdDir();
  for (auto& n : Entries(byIdDir, "")) candidates.push_back(byIdDir + "/" + n);
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"})
    for (auto& p : Numbered(prefix)) candidates.push_back(p);
  std::vector<std::string> result;
  std::set<std::string> seen;
  for (auto& c : candidates) {
    std::string real = RealPath(c);
    if (seen.insert(real.empty() ? c : real).second) result.push_back(c);
  }
  return result;
}

// The name of `path` when it is an entry of the by-id folder itself.
std::string ByIdEntryName(const std::string& path) {
  const std::string prefix = SerialByIdDir() + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return {};
  std::string name = path.substr(prefix.size());
  return name.find('/') == std::string::npos ? name : std::string();
}

ComResolution Resolve(int number, const std::vector<std::string>* present) {
  if (number <= 0) return {};
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_paths.find(number);
    if (it != g_paths.end()) return {it->second, ComSource::kProcess};
  }
  std::string var = "LUMASET_COM" + std::to_string(number);
  if (const char* env = std::getenv(var.c_str()); env && *env) return {env, ComSource::kEnvironment};
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_pinNumber == number) return {g_pinPath, ComSource::kPin};
  }
  // The devices present are looked up only when no earlier step decided.
  std::vector<std::string> own;
  if (!present) {
    own = PresentDevices();
    present = &own;
  }
  if (static_cast<size_t>(number) <= present->size()) return {(*present)[number - 1], ComSource::kPresent};
  return {};
}

// The USB device above a tty in udev's tree, as the kernel describes it.
void AddUdevInfo(dev_t devnum, SerialDeviceInfo* info) {
  udev* context = udev_new();
  if (!context) return;
  if (udev_device* tty = udev_device_new_from_devnum(context, 'c', devnum)) {
    // The parent is owned by the child: not unreferenced on its own.
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
      auto attribute = [usb](const char* name) {
        const char* value = udev_device_get_sysattr_value(usb, name);
        return value ? std::string(value) : std::string();
      };
      info->usb = true;
      info->vendorId = attribute("idVendor");
      info->productId = attribute("idProduct");
      info->serial = attribute("serial");
      info->product = attribute("product");
      info->manufacturer = attribute("manufacturer");
    }
    udev_device_unref(tty);
  }
  udev_unref(context);
}

}  // namespace

std::string SerialByIdDir() {
  const char* dir = std::getenv("LUMASET_SERIAL_BY_ID_DIR");
  std::string path = dir && *dir ? dir : "/dev/serial/by-id";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void SetComPortPath(int number, const std::string& path) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (path.empty())
    g_paths.erase(number);
  else
    g_paths[number] = path;
}

void SetComPortPin(int number, const std::string& path) {
  std::lock_guard<std::mutex> guard(g_lock);
  const bool pinned = number >= 1 && number <= 255 && !path.empty();
  g_pinNumber = pinned ? number : 0;
  g_pinPath = pinned ? path : std::string();
}

std::string ComPortPin(int number) {
  std::lock_guard<std::mutex> guard(g_lock);
  return number > 0 && number == g_pinNumber ? g_pinPath : std::string();
}

ComResolution ResolveComPort(int number) { return Resolve(number, nullptr); }

std::string ComPortPath(int number) { return Resolve(number, nullptr).path; }

std::string StableComPortPath(int number) {
  const ComResolution r = ResolveComPort(number);
  if (r.source == ComSource::kPin) return r.path;
  if (r.path.empty()) return {};
  // A device server's URL names the same port wherever it came from.
  if (IsDeviceUrl(r.path)) return r.path;
  const std::string name = ByIdName(r.path);
  return name.empty() ? std::string() : SerialByIdDir() + "/" + name;
}

std::string ByIdName(const std::string& path) {
  const std::string target = RealPath(path);
  if (target.empty()) return {};
  if (std::string own = ByIdEntryName(path); !own.empty()) return own;
  const std::string dir = SerialByIdDir();
  for (const std::string& name : Entries(dir, ""))
    if (RealPath(dir + "/" + name) == target) return name;
  return {};
}

std::vector<std::pair<int, ComResolution>> ListComPorts(int maxNumber) {
  std::vector<std::pair<int, ComResolution>> list;
  const auto present = PresentDevices();
  for (int n = 1; n <= maxNumber; ++n)
    if (ComResolution r = Resolve(n, &present); !r.path.empty()) list.emplace_back(n, std::move(r));
  return list;
}

SerialDeviceInfo DescribeSerialDevice(const std::string& path) {
  SerialDeviceInfo info;
  // Nothing is known of a device server's port without connecting to it.
  if (DeviceUrl url; ParseDeviceUrl(path, &url)) {
    info.server = url.kind == DeviceUrl::Kind::kRfc2217 ? "rfc2217" : "socket";
    return info;
  }
  struct stat st{};
  if (path.empty() || stat(path.c_str(), &st) != 0) return info;
  info.present = true;
  info.node = RealPath(path);
  info.byId = ByIdName(path);
  if (S_ISCHR(st.st_mode)) AddUdevInfo(st.st_rdev, &info);
  return info;
}

}  // namespace lumaset::platform
