#include "platform/port_map.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

namespace lumaset::platform {
namespace {

std::mutex g_lock;
std::map<int, std::string> g_paths;

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
  return names;
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
  auto byId = Entries("/dev/serial/by-id", "");
  std::sort(byId.begin(), byId.end());
  for (auto& n : byId) candidates.push_back("/dev/serial/by-id/" + n);
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"})
    for (auto& p : Numbered(prefix)) candidates.push_back(p);
  std::vector<std::string> result;
  std::set<std::string> seen;
  for (auto& c : candidates) {
    char real[PATH_MAX];
    std::string key = realpath(c.c_str(), real) ? std::string(real) : c;
    if (seen.insert(key).second) result.push_back(c);
  }
  return result;
}

}  // namespace

void SetComPortPath(int number, const std::string& path) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (path.empty())
    g_paths.erase(number);
  else
    g_paths[number] = path;
}

static std::string Resolve(int number, const std::vector<std::string>& present) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_paths.find(number);
    if (it != g_paths.end()) return it->second;
  }
  std::string var = "LUMASET_COM" + std::to_string(number);
  if (const char* env = std::getenv(var.c_str()); env && *env) return env;
  return static_cast<size_t>(number) <= present.size() ? present[number - 1] : std::string();
}

std::string ComPortPath(int number) {
  if (number <= 0) return {};
  return Resolve(number, PresentDevices());
}

std::string ByIdName(const std::string& path) {
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return {};
  const std::string target = real;
  auto names = Entries("/dev/serial/by-id", "");
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    char linked[PATH_MAX];
    if (realpath(("/dev/serial/by-id/" + name).c_str(), linked) && target == linked) return name;
  }
  return {};
}

std::vector<std::pair<int, std::string>> ListComPorts(int maxNumber) {
  std::vector<std::pair<int, std::string>> list;
  auto present = PresentDevices();
  for (int n = 1; n <= maxNumber; ++n)
    if (std::string path = Resolve(n, present); !path.empty()) list.emplace_back(n, path);
  return list;
}

}  // namespace lumaset::platform
