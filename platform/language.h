// Loading a language resource library and looking up its resources.
#pragma once

#include <memory>
#include <string>

#include "resources/lumaset_resources.h"

namespace lumaset::platform {

// File names of the two libraries, by language (0 English, else Chinese).
const char* LanguageLibraryName(int language);

// One loaded resource library. Loading, unloading and the table belong to the
// user-interface thread; the current library's strings are read by any thread
// through LoadString, which the switch and the unload of the current library
// wait for.
class LanguageLibrary {
 public:
  LanguageLibrary() = default;
  ~LanguageLibrary();
  LanguageLibrary(const LanguageLibrary&) = delete;
  LanguageLibrary& operator=(const LanguageLibrary&) = delete;

  // dlopen by name (system search order, the program's RUNPATH), then from the
  // program's own folder. False with a reason in *error when it fails; the
  // library loaded before, if any, then stays loaded and in use. On success
  // it replaces the library loaded before.
  bool Load(const std::string& fileName, std::string* error);
  void Unload();
  bool Loaded() const { return table_ != nullptr; }
  const LumasetResourceTable* Table() const { return table_; }
  // The string with that number, or nullptr when the library has none.
  const char* String(unsigned id) const;

 private:
  void* handle_ = nullptr;
  const LumasetResourceTable* table_ = nullptr;
};

// The library that string lookups of the whole process use (may be null).
// Waits for the lookups in progress, so the library made current before can
// be unloaded once this returns.
void SetCurrentLanguage(const LanguageLibrary* library);
// The string with that number from the current library, copied while the
// library cannot go; "#<id>" when there is no library or no such string, so a
// missing text is visible, never empty. Any thread.
std::string LoadString(unsigned id);
// The table of the current library (null when none). For the user-interface
// thread only: the table is valid until that thread switches or unloads the
// library, so it must not be kept across a switch.
const LumasetResourceTable* CurrentResourceTable();

// The language switch of the application: loads fileName into a second
// library, makes that one current, then unloads the old one and keeps the
// new one in `current`. When the load fails, `current` (null or not) stays
// loaded and current, and *error tells why. User-interface thread.
bool SwitchLanguage(std::unique_ptr<LanguageLibrary>& current, const std::string& fileName,
                    std::string* error);

}  // namespace lumaset::platform
