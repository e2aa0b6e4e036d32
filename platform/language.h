// Loading a language resource library and looking up its resources.
#pragma once

#include <string>

#include "resources/lumaset_resources.h"

namespace lumaset::platform {

// File names of the two libraries, by language (0 English, else Chinese).
const char* LanguageLibraryName(int language);

class LanguageLibrary {
 public:
  LanguageLibrary() = default;
  ~LanguageLibrary();
  LanguageLibrary(const LanguageLibrary&) = delete;
  LanguageLibrary& operator=(const LanguageLibrary&) = delete;

  // dlopen by name (system search order, the program's RUNPATH), then from the
  // program's own folder. False with a reason in *error when it fails.
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
void SetCurrentLanguage(const LanguageLibrary* library);
// The string with that number from the current library; "#<id>" when there is
// no library or no such string, so a missing text is visible, never empty.
std::string LoadString(unsigned id);
// The table of the current library (null when none). For the user-interface
// thread, the only one that switches libraries.
const LumasetResourceTable* CurrentResourceTable();

}  // namespace lumaset::platform
