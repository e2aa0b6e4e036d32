// Language library loads and switches: a failed load changes nothing, and a
// switch never pulls a library away from a thread that is copying its text.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "resources/resource_ids.h"
#include "platform/event.h"
#include "platform/language.h"

namespace lumaset::platform {
namespace {

// Restores "no current library" for the tests that follow.
struct CurrentScope {
  ~CurrentScope() { SetCurrentLanguage(nullptr); }
};

TEST(LanguageLoad, AFailedLoadKeepsThePreviousLibraryInUse) {
  CurrentScope scope;
  LanguageLibrary library;
  std::string error;
  ASSERT_TRUE(library.Load(LanguageLibraryName(1), &error)) << error;
  SetCurrentLanguage(&library);
  const std::string caption = LoadString(res::kStrTransferRunning);
  ASSERT_NE(caption, "#" + std::to_string(res::kStrTransferRunning));

  // A file that is not there, and a shared library that is no resource library.
  for (const char* bad : {"libTavloraXX.so", "libm.so.6"}) {
    SCOPED_TRACE(bad);
    error.clear();
    EXPECT_FALSE(library.Load(bad, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(library.Loaded());
    EXPECT_EQ(library.Table()->language, 1u);
    EXPECT_EQ(CurrentResourceTable(), library.Table());
    EXPECT_EQ(LoadString(res::kStrTransferRunning), caption);
  }

  // A successful load in place replaces the library, still current.
  ASSERT_TRUE(library.Load(LanguageLibraryName(0), &error)) << error;
  EXPECT_EQ(CurrentResourceTable()->language, 0u);
  EXPECT_NE(LoadString(res::kStrTransferRunning), caption);
}

TEST(LanguageLoad, SwitchLanguageKeepsTheCurrentLibraryWhenTheNewOneFails) {
  CurrentScope scope;
  std::unique_ptr<LanguageLibrary> current;
  std::string error;
  EXPECT_FALSE(SwitchLanguage(current, "libTavloraXX.so", &error));
  EXPECT_EQ(current, nullptr);  // nothing before, nothing after
  EXPECT_FALSE(error.empty());

  ASSERT_TRUE(SwitchLanguage(current, LanguageLibraryName(0), &error)) << error;
  ASSERT_NE(current, nullptr);
  const LanguageLibrary* english = current.get();
  EXPECT_EQ(CurrentResourceTable(), english->Table());
  const std::string caption = LoadString(res::kStrTransferRunning);

  EXPECT_FALSE(SwitchLanguage(current, "libTavloraXX.so", &error));
  EXPECT_EQ(current.get(), english);
  EXPECT_EQ(CurrentResourceTable(), english->Table());
  EXPECT_EQ(LoadString(res::kStrTransferRunning), caption);

  ASSERT_TRUE(SwitchLanguage(current, LanguageLibraryName(1), &error)) << error;
  EXPECT_EQ(CurrentResourceTable()->language, 1u);
  EXPECT_EQ(CurrentResourceTable(), current->Table());
  current.reset();  // unloading the current library leaves no source behind
  EXPECT_EQ(CurrentResourceTable(), nullptr);
  EXPECT_EQ(LoadString(res::kStrTransferRunning), "#" + std::to_string(res::kStrTransferRunning));
}

// Each switch loads a fresh library and unloads the one before, so the old
// library's pages really go away while readers keep asking for strings.
TEST(LanguageSwitch, LookupsDuringSwitchesSeeWholeStringsOfEitherLanguage) {
  CurrentScope scope;
  // Copies of both languages' texts, taken before the test (and the
  // libraries closed again, so no extra reference keeps them mapped).
  std::vector<unsigned> ids;
  std::map<unsigned, std::set<std::string>> expected;
  for (int language : {0, 1}) {
    LanguageLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load(LanguageLibraryName(language), &error)) << error;
    const LumasetResourceTable* table = library.Table();
    for (unsigned i = 0; i < table->stringCount; ++i) {
      if (language == 0) ids.push_back(table->strings[i].id);
      expected[table->strings[i].id].insert(table->strings[i].text);
    }
  }
  ASSERT_GE(ids.size(), 10u);

  std::unique_ptr<LanguageLibrary> current;
  std::string error;
  ASSERT_TRUE(SwitchLanguage(current, LanguageLibraryName(0), &error)) << error;

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> lookups{0};
  const std::map<unsigned, std::set<std::string>>& want = expected;
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      size_t i = static_cast<size_t>(r);
      // At least a few rounds each, and on until the switching has ended.
      for (long n = 0; n < 200 || !done; ++n, ++i) {
        const unsigned id = ids[i % ids.size()];
        if (!want.at(id).count(LoadString(id))) ++wrong;
        ++lookups;
      }
    });
  }
  constexpr int kSwitches = 200;
  int switched = 0;
  for (int s = 1; s <= kSwitches; ++s) switched += SwitchLanguage(current, LanguageLibraryName(s % 2), &error);
  done = true;
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(switched, kSwitches) << error;
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(lookups, 600);
  EXPECT_EQ(CurrentResourceTable()->language, 0u);  // an even number of switches
}

}  // namespace
}  // namespace lumaset::platform
