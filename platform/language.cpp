#include "platform/language.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <shared_mutex>

#ifndef LUMASET_INSTALLED_LIBRARIES
#define LUMASET_INSTALLED_LIBRARIES "../lib/lumaset"
#endif

namespace lumaset::platform {
namespace {

// The current library. String lookups hold the lock shared while they copy a
// text out of it; making another library current, and unloading or
// reloading the current one, hold it exclusive.
std::shared_mutex g_currentLock;
const LanguageLibrary* g_current = nullptr;

std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = '\0';
  std::string s(path);
  auto slash = s.rfind('/');
  return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

// dlopen'ed handle and table of a resource library, or null with *error set.
void* OpenLibrary(const std::string& fileName, const LumasetResourceTable** table, std::string* error) {
  void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string firstError = handle ? "" : dlerror();
  // A bare name not found on the search path: beside the program (the build
  // tree), then in the installed private folder relative to the program.
  if (!handle && fileName.find('/') == std::string::npos) {
    const std::string folder = ProgramFolder();
    for (const std::string& candidate : {folder + "/" + fileName,
                                         folder + "/" LUMASET_INSTALLED_LIBRARIES "/" + fileName}) {
      handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle) break;
    }
  }
  if (!handle) {
    if (error) *error = firstError;
    return nullptr;
  }
  auto entry = reinterpret_cast<LumasetResourcesFn>(dlsym(handle, LUMASET_RESOURCES_ENTRY));
  const LumasetResourceTable* found = entry ? entry() : nullptr;
  if (!found || found->version != LUMASET_RESOURCES_VERSION || found->size < sizeof(unsigned) * 5) {
    if (error) *error = fileName + ": not a resource library of this program";
    dlclose(handle);
    return nullptr;
  }
  *table = found;
  return handle;
}

}  // namespace

const char* LanguageLibraryName(int language) {
  return language == 0 ? "libTavloraEN.so" : "libTavloraCN.so";
}

LanguageLibrary::~LanguageLibrary() { Unload(); }

bool LanguageLibrary::Load(const std::string& fileName, std::string* error) {
  const LumasetResourceTable* table = nullptr;
  void* handle = OpenLibrary(fileName, &table, error);
  if (!handle) return false;
  void* old = handle_;
  {
    // Readers of this library, if it is the current one, finish first.
    std::unique_lock<std::shared_mutex> guard(g_currentLock);
    handle_ = handle;
    table_ = table;
  }
  if (old) dlclose(old);
  return true;
}

void LanguageLibrary::Unload() {
  {
    std::unique_lock<std::shared_mutex> guard(g_currentLock);
    if (g_current == this) g_current = nullptr;
    table_ = nullptr;
  }
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

const char* LanguageLibrary::String(unsigned id) const {
  if (!table_) return nullptr;
  for (unsigned i = 0; i < table_->stringCount; ++i)
    if (table_->strings[i].id == id) return table_->strings[i].text;
  return nullptr;
}

void SetCurrentLanguage(const LanguageLibrary* library) {
  std::unique_lock<std::shared_mutex> guard(g_currentLock);
  g_current = library;
}

std::string LoadString(unsigned id) {
  {
    std::shared_lock<std::shared_mutex> guard(g_currentLock);
    const char* text = g_current ? g_current->String(id) : nullptr;
    if (text) return std::string(text);
  }
  return "#" + std::to_string(id);
}

const LumasetResourceTable* CurrentResourceTable() {
  std::shared_lock<std::shared_mutex> guard(g_currentLock);
  return g_current ? g_current->Table() : nullptr;
}

bool SwitchLanguage(std::unique_ptr<LanguageLibrary>& current, const std::string& fileName, std::string* error) {
  auto next = std::make_unique<LanguageLibrary>();
  if (!next->Load(fileName, error)) return false;
  SetCurrentLanguage(next.get());
  // No lookup is inside the old library any more; it goes with `old`.
  std::unique_ptr<LanguageLibrary> old = std::move(current);
  current = std::move(next);
  return true;
}

}  // namespace lumaset::platform
