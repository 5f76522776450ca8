#include <foundation/filesystem/FileSystem.hpp>

#include <fl/i18n/Unicode.hpp>
#include <testsupport/TempDir.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace fs = foundation::filesystem;
using fl::i18n::ustring_to_utf8;
using fl::i18n::utf8_to_ustring;

namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  std::u16string path(const std::string& name) const { return utf8_to_ustring(dir_.file(name)); }

  testsupport::TempDir dir_;
};

TEST_F(FileSystemTest, ConcatenationPutsExactlyOneSeparatorBetweenComponents) {
  EXPECT_EQ(fs::concatenatePath(u"/opt/app", u"toolbox"), u"/opt/app/toolbox");
  EXPECT_EQ(fs::concatenatePath(u"/opt/app/", u"toolbox"), u"/opt/app/toolbox");
  EXPECT_EQ(fs::concatenatePath(u"/opt/app/", u"/toolbox"), u"/opt/app/toolbox");
  EXPECT_EQ(fs::concatenatePath(u"", u"toolbox"), u"toolbox");
  EXPECT_EQ(fs::concatenatePath(u"/opt", u"toolbox", u"vlt", u"vlt_datasource", u"metamodel", u"baseMetamodel.xml"),
            u"/opt/toolbox/vlt/vlt_datasource/metamodel/baseMetamodel.xml");
}

// A failure names the path in its text and keeps the cause as its code.
TEST_F(FileSystemTest, CopyRefusesAnExistingTargetUnlessToldFailuresNameThePathAndCauseAndWritePermissionIsAdded) {
  testsupport::writeFile(dir_.file("template.db"), "template");
  testsupport::writeFile(dir_.file("target.db"), "precious");
  try {
    fs::copyFile(path("template.db"), path("target.db"), 0);
    FAIL() << "copy over an existing file succeeded";
  } catch (const fs::FileSystemError& e) {
    EXPECT_EQ(e.path(), path("target.db"));
    EXPECT_EQ(e.code(), std::errc::file_exists);
    EXPECT_NE(std::string(e.what()).find(dir_.file("target.db")), std::string::npos) << e.what();
  }
  EXPECT_EQ(testsupport::readFile(dir_.file("target.db")), "precious");

  fs::copyFile(path("template.db"), path("fresh.db"), 0);
  EXPECT_EQ(testsupport::readFile(dir_.file("fresh.db")), "template");
  fs::copyFile(path("template.db"), path("target.db"), fs::overwriteExisting);
  EXPECT_EQ(testsupport::readFile(dir_.file("target.db")), "template");
  try {
    fs::copyFile(path("missing.db"), path("copy.db"), 0);
    FAIL();
  } catch (const fs::FileSystemError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.db"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_THROW(fs::copyFile(path("template.db"), path("x"), 7), fs::FileSystemError);  // no such option
  // A read-only copy is made writable by its owner; its other bits are kept.
  ASSERT_EQ(chmod(dir_.file("fresh.db").c_str(), 0444), 0);
  fs::addOwnerWritePermission(path("fresh.db"));
  struct stat info {};
  ASSERT_EQ(stat(dir_.file("fresh.db").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_THROW(fs::addOwnerWritePermission(path("missing.db")), fs::FileSystemError);
}

TEST_F(FileSystemTest, InstallPathIsTheFolderAboveTheCallingModule) {
  // This program lives in <build>/bin, the foundation library in <build>/lib.
  const std::u16string buildRoot = utf8_to_ustring(std::filesystem::canonical(VLT_BUILD_ROOT).u8string());
  EXPECT_EQ(fs::installPath(), buildRoot);
  EXPECT_EQ(fs::installPathOf(reinterpret_cast<const void*>(&fs::removeFile)), buildRoot);
}

TEST_F(FileSystemTest, ExistsAndStatusTellFilesFoldersOthersAndMissingPathsApart) {
  testsupport::writeFile(dir_.file("\xC3\xA9t\xC3\xA9.db"), "x");
  EXPECT_TRUE(fs::exists(path("\xC3\xA9t\xC3\xA9.db")));
  EXPECT_TRUE(fs::exists(utf8_to_ustring(dir_.path())));
  EXPECT_FALSE(fs::exists(path("missing.db")));
  EXPECT_FALSE(fs::exists(path("missing/deeper.db")));
  testsupport::writeFile(dir_.file("five.db"), "12345");
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  EXPECT_EQ(fs::fileStatus(path("five.db")).kind, fs::FileKind::regular);
  EXPECT_EQ(fs::fileStatus(path("five.db")).size, 5u);
  EXPECT_EQ(fs::fileStatus(utf8_to_ustring(dir_.path())).kind, fs::FileKind::folder);
  EXPECT_EQ(fs::fileStatus(path("pipe")).kind, fs::FileKind::other);
  EXPECT_EQ(fs::fileStatus(path("missing")).kind, fs::FileKind::missing);
  EXPECT_EQ(fs::fileStatus(path("five.db/below")).kind, fs::FileKind::missing);

  EXPECT_EQ(fs::parentFolder(u"/data/a.db"), u"/data");
  EXPECT_EQ(fs::parentFolder(u"/a.db"), u"/");
  EXPECT_EQ(fs::parentFolder(u"a.db"), u".");
  EXPECT_TRUE(fs::mayWriteFolder(utf8_to_ustring(dir_.path())));
  EXPECT_FALSE(fs::mayWriteFolder(path("missing")));
}

// Removal and renaming tell whether there was something to remove or rename.
TEST_F(FileSystemTest, RemoveAndRenameReportAMissingSourceAndRenameReplacesTheTarget) {
  testsupport::writeFile(dir_.file("old.db"), "old");
  testsupport::writeFile(dir_.file("new.db"), "new");
  EXPECT_TRUE(fs::renameFile(path("new.db"), path("old.db")));
  EXPECT_EQ(testsupport::readFile(dir_.file("old.db")), "new");
  EXPECT_FALSE(fs::exists(path("new.db")));
  EXPECT_FALSE(fs::renameFile(path("new.db"), path("old.db")));
  EXPECT_THROW(fs::renameFile(path("old.db"), utf8_to_ustring(dir_.path())), fs::FileSystemError);
  EXPECT_TRUE(fs::removeFile(path("old.db")));
  EXPECT_FALSE(fs::exists(path("old.db")));
  EXPECT_FALSE(fs::removeFile(path("old.db")));
}

}  // namespace
