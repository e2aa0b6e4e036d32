#include "platform/language.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace lumaset::platform {
namespace {
std::atomic<const LanguageLibrary*> g_current{nullptr};

std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = '\0';
  std::string s(path);
  auto slash = s.rfind('/');
  return slash == std::string::npos ? std::string() : s.substr(0, slash);
}
}  // namespace

const char* LanguageLibraryName(int language) {
  return language == 0 ? "libTavloraEN.so" : "libTavloraCN.so";
}

LanguageLibrary::~LanguageLibrary() { Unload(); }

bool LanguageLibrary::Load(const std::string& fileName, std::string* error) {
  Unload();
  void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string firstError = handle ? "" : dlerror();
  if (!handle && fileName.find('/') == std::string::npos) {
    std::string local = ProgramFolder() + "/" + fileName;
    handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle) {
    if (error) *error = firstError;
    return false;
  }
  auto entry = reinterpret_cast<LumasetResourcesFn>(dlsym(handle, LUMASET_RESOURCES_ENTRY));
  const LumasetResourceTable* table = entry ? entry() : nullptr;
  if (!table || table->version != LUMASET_RESOURCES_VERSION || table->size < sizeof(unsigned) * 5) {
    if (error) *error = fileName + ": not a resource library of this program";
    dlclose(handle);
    return false;
  }
  handle_ = handle;
  table_ = table;
  return true;
}

void LanguageLibrary::Unload() {
  if (g_current.load() == this) g_current = nullptr;
  table_ = nullptr;
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

const char* LanguageLibrary::String(unsigned id) const {
  if (!table_) return nullptr;
  for (unsigned i = 0; i < table_->stringCount; ++i)
    if (table_->strings[i].id == id) return table_->strings[i].text;
  return nullptr;
}

void SetCurrentLanguage(const LanguageLibrary* library) { g_current = library; }

std::string LoadString(unsigned id) {
  const LanguageLibrary* lib = g_current.load();
  const char* text = lib ? lib->String(id) : nullptr;
  return text ? std::string(text) : "#" + std::to_string(id);
}

const LumasetResourceTable* CurrentResourceTable() {
  const LanguageLibrary* lib = g_current.load();
  return lib ? lib->Table() : nullptr;
}

}  // namespace lumaset::platform
