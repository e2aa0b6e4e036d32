// The document: the receive log, path name and title, the save that writes
// exactly the log's bytes and never leaves a broken file, and the open that
// reads nothing and never waits on a FIFO.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "ui/lumaset_doc.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

QString Q(const fs::path& p) { return QString::fromStdString(p.string()); }

std::vector<uint8_t> Log(const CLumasetDoc& doc) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < doc.LogLength(); ++i) bytes.push_back(doc.LogByte(i));
  return bytes;
}

TEST(LumasetDoc, TheLogAccumulatesAndClears) {
  CLumasetDoc doc;
  EXPECT_EQ(doc.LogLength(), 0u);
  EXPECT_EQ(doc.LogData(), nullptr);
  const uint8_t a[] = {1, 0, 2};
  const uint8_t b[] = {0xFF};
  EXPECT_TRUE(doc.AppendLog(a, sizeof a));
  EXPECT_TRUE(doc.AppendLog(nullptr, 0));  // nothing happens
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(doc.AppendLog(b, sizeof b));
  ASSERT_EQ(doc.LogLength(), 1003u);
  std::vector<uint8_t> expected{1, 0, 2};
  expected.resize(1003, 0xFF);
  EXPECT_EQ(Log(doc), expected);
  EXPECT_EQ(std::vector<uint8_t>(doc.LogData(), doc.LogData() + doc.LogLength()), expected);
  EXPECT_EQ(doc.LogByte(1003), 0);

  // More than can ever be held: refused, the log unchanged.
  EXPECT_FALSE(doc.AppendLog(a, SIZE_MAX - 2));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sized but not to be had (the sanitizers report such a request instead
  // of failing it).
  EXPECT_FALSE(doc.AppendLog(a, size_t{1} << 62));
#endif
  EXPECT_EQ(Log(doc), expected);

  doc.ClearLog();
  EXPECT_EQ(doc.LogLength(), 0u);
  EXPECT_EQ(doc.LogData(), nullptr);
  EXPECT_TRUE(doc.AppendLog(b, sizeof b));
  EXPECT_EQ(Log(doc), std::vector<uint8_t>{0xFF});
}

TEST(LumasetDoc, PathNameAndTitle) {
  CLumasetDoc doc;
  QStringList announced;
  QObject::connect(&doc, &CLumasetDoc::pathNameSet, [&](const QString& p) { announced << p; });
  EXPECT_EQ(doc.Title(), QStringLiteral("Untitled"));  // no language library loaded
  doc.SetPathName(QStringLiteral("received.bin"));
  EXPECT_EQ(doc.PathName(), QDir::current().absoluteFilePath(QStringLiteral("received.bin")));
  EXPECT_EQ(doc.Title(), QStringLiteral("received.bin"));
  EXPECT_EQ(announced, QStringList{doc.PathName()});
  doc.SetTitle(QStringLiteral("Other"));
  EXPECT_EQ(doc.Title(), QStringLiteral("Other"));
  doc.SetPathName(QString());
  EXPECT_EQ(doc.PathName(), QString());
  EXPECT_EQ(doc.Title(), QStringLiteral("Untitled"));
  EXPECT_EQ(announced.size(), 1);
}

class DocSave : public ::testing::Test {
 protected:
  void SetUp() override {
    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    doc_.AppendLog(all, sizeof all);
    doc_.AppendLog(all, sizeof all);
    logged_.assign(reinterpret_cast<const char*>(doc_.LogData()), doc_.LogLength());
    std::ofstream(old_, std::ios::binary) << "old contents";
  }

  // The names in the folder of the old file (a temporary left behind shows).
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(e.path().filename().string());
    return names;
  }

  TempDir dir_;
  fs::path folder_ = dir_.Path() / "folder";
  fs::path old_ = (fs::create_directory(folder_), folder_ / "log.bin");
  CLumasetDoc doc_;
  std::string logged_;
};

TEST_F(DocSave, WritesExactlyTheLogsBytes) {
  QString error;
  ASSERT_TRUE(doc_.Save(Q(old_), &error)) << error.toStdString();
  EXPECT_EQ(test::ReadFileText(old_), logged_);  // zero bytes and 0xFF included, nothing added
  EXPECT_EQ(doc_.PathName(), Q(old_));

  CLumasetDoc empty;
  ASSERT_TRUE(empty.Save(Q(folder_ / "empty.bin"), &error));
  EXPECT_EQ(fs::file_size(folder_ / "empty.bin"), 0u);
}

// Drops root's rights for the length of a scope, so that folder permissions
// apply to a test run as root.
struct Unprivileged {
  Unprivileged() {
    if (geteuid() == 0) dropped = seteuid(65534) == 0;
  }
  ~Unprivileged() {
    if (dropped) (void)!seteuid(0);
  }
  bool dropped = false;
};

TEST_F(DocSave, AFailedSaveLeavesTheOldFileAndSaysWhy) {
  // A read-only folder.
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
  QString error;
  bool saved;
  {
    Unprivileged as;
    ASSERT_TRUE(as.dropped || geteuid() != 0);
    saved = doc_.Save(Q(old_), &error);
  }
  ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
  EXPECT_FALSE(saved);
  EXPECT_EQ(error, QStringLiteral("Permission denied"));
  EXPECT_EQ(test::ReadFileText(old_), "old contents");
  EXPECT_EQ(doc_.PathName(), QString());
  EXPECT_EQ(Names(), std::vector<std::string>{"log.bin"});

  // A folder where the file should be.
  EXPECT_FALSE(doc_.Save(Q(folder_), &error));
  EXPECT_EQ(error, QStringLiteral("Is a directory"));
}

TEST(LumasetDoc, OpenReadsNothingAndRefusesWhatIsNoRegularFile) {
  TempDir dir;
  const fs::path file = dir.File("image.bin", {9, 8, 7});
  const fs::path fifo = dir.Path() / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CLumasetDoc doc;
  const uint8_t kept[] = {1, 2};
  doc.AppendLog(kept, sizeof kept);
  QStringList announced;
  QObject::connect(&doc, &CLumasetDoc::pathNameSet, [&](const QString& p) { announced << p; });

  QString error;
  auto opened = std::async(std::launch::async, [&] { return doc.Open(Q(fifo), &error); });
  if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "Open blocked on a FIFO";
    std::ofstream unblock(fifo);
  }
  EXPECT_FALSE(opened.get());
  EXPECT_EQ(error, QStringLiteral("not a regular file"));
  EXPECT_FALSE(doc.Open(Q(dir.Path()), &error));
  EXPECT_EQ(error, QStringLiteral("Is a directory"));
  EXPECT_FALSE(doc.Open(Q(dir.Path() / "missing.bin"), &error));
  EXPECT_EQ(error, QStringLiteral("No such file or directory"));
  EXPECT_TRUE(announced.isEmpty());

  ASSERT_TRUE(doc.Open(Q(file), &error)) << error.toStdString();
  EXPECT_EQ(doc.PathName(), Q(file));
  EXPECT_EQ(doc.Title(), QStringLiteral("image.bin"));
  EXPECT_EQ(announced, QStringList{Q(file)});
  EXPECT_EQ(Log(doc), (std::vector<uint8_t>{1, 2}));  // the log is not touched
}

}  // namespace
}  // namespace lumaset
