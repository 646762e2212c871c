// Renames: the matrix of source kind x what the target is x replace, plus
// relative and full target names, case-only renames, the share check of the
// target directory open, and moves into the own subtree.
#include "fs_client.h"
#include "kernel/clock.h"

namespace sim::fs::testing {
namespace {

using RenameTest = VolumeTest;

enum class Target { Absent, File, ReadOnlyFile, Directory, OpenFile };

struct RenameCase {
  const char* what;
  bool sourceIsDirectory;
  Target target;
  bool replace;
  ULONG flagsEx;
  NTSTATUS status;
};

const RenameCase kRenameCases[] = {
    {"file to a free name", false, Target::Absent, false, 0, STATUS_SUCCESS},
    {"file onto a file", false, Target::File, false, 0, STATUS_OBJECT_NAME_COLLISION},
    {"file replaces a file", false, Target::File, true, 0, STATUS_SUCCESS},
    {"file replaces via Ex flag", false, Target::File, true, FILE_RENAME_REPLACE_IF_EXISTS,
     STATUS_SUCCESS},
    {"file onto a directory", false, Target::Directory, false, 0, STATUS_OBJECT_NAME_COLLISION},
    {"file replaces a directory", false, Target::Directory, true, 0, STATUS_ACCESS_DENIED},
    {"file replaces a read-only file", false, Target::ReadOnlyFile, true, 0, STATUS_ACCESS_DENIED},
    {"file replaces a read-only file, ignoring read-only", false, Target::ReadOnlyFile, true,
     FILE_RENAME_REPLACE_IF_EXISTS | FILE_RENAME_IGNORE_READONLY_ATTRIBUTE, STATUS_SUCCESS},
    {"file replaces an open file", false, Target::OpenFile, true, 0, STATUS_ACCESS_DENIED},
    {"file replaces an open file, POSIX", false, Target::OpenFile, true,
     FILE_RENAME_REPLACE_IF_EXISTS | FILE_RENAME_POSIX_SEMANTICS, STATUS_SUCCESS},
    {"directory to a free name", true, Target::Absent, false, 0, STATUS_SUCCESS},
    {"directory onto a file", true, Target::File, false, 0, STATUS_OBJECT_NAME_COLLISION},
    {"directory replaces a file", true, Target::File, true, 0, STATUS_SUCCESS},
    {"directory replaces a directory", true, Target::Directory, true, 0, STATUS_ACCESS_DENIED},
};

TEST_F(RenameTest, Matrix) {
  int index = 0;
  for (const auto& c : kRenameCases) {
    SCOPED_TRACE(c.what);
    const std::string base = "\\case" + std::to_string(index++);
    client_.Mkdir(base);
    client_.Mkdir(base + "\\to");
    const std::string source = base + "\\source";
    const std::string target = base + "\\to\\target";
    if (c.sourceIsDirectory) {
      client_.Mkdir(source);
      client_.Touch(source + "\\inside", "in");
    } else {
      client_.Touch(source, "source data");
    }
    File openTarget;
    switch (c.target) {
      case Target::Absent:
        break;
      case Target::File:
        client_.Touch(target, "target data");
        break;
      case Target::ReadOnlyFile:
        client_.Touch(target, "target data", FILE_ATTRIBUTE_READONLY);
        break;
      case Target::Directory:
        client_.Mkdir(target);
        break;
      case Target::OpenFile:
        client_.Touch(target, "target data");
        openTarget = client_.MustOpen(target);
        break;
    }
    File f = client_.MustOpen(source, {.access = DELETE | FILE_READ_ATTRIBUTES | FILE_READ_DATA});
    EXPECT_EQ(client_.Rename(f, target, c.replace, false, c.flagsEx), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_FALSE(client_.Exists(source));
      EXPECT_EQ(client_.Name(f), FromUtf8(target)) << "the open follows the file";
      if (c.sourceIsDirectory) {
        EXPECT_TRUE(client_.Exists(target + "\\inside"));
      } else {
        File moved = client_.MustOpen(target);
        EXPECT_EQ(client_.ReadAll(moved), "source data");
      }
      if (openTarget) {
        EXPECT_EQ(client_.ReadAll(openTarget), "target data") << "the replaced file stays readable";
        EXPECT_EQ(client_.Standard(openTarget).NumberOfLinks, 0u);
      }
    } else {
      EXPECT_TRUE(client_.Exists(source));
      if (c.target != Target::Absent) {
        EXPECT_TRUE(client_.Exists(target));
      }
    }
  }
}

TEST_F(RenameTest, TargetNames) {
  client_.Mkdir("\\dir");
  client_.Mkdir("\\other");
  client_.Touch("\\dir\\a");
  File f = client_.MustOpen("\\dir\\a", {.access = DELETE});
  struct Case {
    const char* target;
    bool relative;
    NTSTATUS status;
    const char16_t* nameAfter;
  } cases[] = {
      {"b", true, STATUS_SUCCESS, u"\\dir\\b"},              // a bare name stays in the directory
      {"\\other\\c", false, STATUS_SUCCESS, u"\\other\\c"},  // a full name moves it
      {"\\missing\\c", false, STATUS_OBJECT_PATH_NOT_FOUND, u"\\other\\c"},
      {"\\other\\c\\d", false, STATUS_OBJECT_PATH_NOT_FOUND, u"\\other\\c"},  // through a file
      {"bad*name", true, STATUS_OBJECT_NAME_INVALID, u"\\other\\c"},
      {"\\other\\bad|name", false, STATUS_OBJECT_NAME_INVALID, u"\\other\\c"},
      {"\\", false, STATUS_INVALID_PARAMETER, u"\\other\\c"},
      {"C", true, STATUS_SUCCESS, u"\\other\\C"},  // case only
      {"C", true, STATUS_SUCCESS, u"\\other\\C"},  // the same name
      // Only a full name opens a target directory: a relative path is not
      // a simple name either.
      {"sub\\d", true, STATUS_OBJECT_NAME_INVALID, u"\\other\\C"},
      // The full name exists (FILE_EXISTS), but it is the file itself.
      {"\\other\\c", false, STATUS_SUCCESS, u"\\other\\c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client_.Rename(f, c.target, false, c.relative), c.status) << c.target;
    EXPECT_EQ(client_.Name(f), c.nameAfter) << c.target;
  }
  EXPECT_EQ(client_.List("\\other"), (std::vector<std::string>{".", "..", "c"}));
  EXPECT_TRUE(client_.List("\\dir") == (std::vector<std::string>{".", ".."}));
}

// The target directory is opened for FILE_ADD_FILE, sharing read and
// write: a handle to it that does not share write refuses a move into it,
// not a rename within it (a simple name opens no target).
TEST_F(RenameTest, TheTargetDirectoryOpenIsShareChecked) {
  client_.Mkdir("\\to");
  client_.Touch("\\a");
  client_.Touch("\\to\\g");
  File a = client_.MustOpen("\\a", {.access = DELETE});
  File g = client_.MustOpen("\\to\\g", {.access = DELETE});
  {
    File to = client_.MustOpen("\\to", {.share = FILE_SHARE_READ});
    EXPECT_EQ(client_.Rename(a, "\\to\\a", false), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(client_.Rename(g, "h", false, true), STATUS_SUCCESS);
  }
  EXPECT_EQ(client_.Rename(a, "\\to\\a", false), STATUS_SUCCESS);
}

TEST_F(RenameTest, NeedsDeleteAccessAndNotTheRoot) {
  client_.Touch("\\a");
  File f = client_.MustOpen("\\a");
  EXPECT_EQ(client_.Rename(f, "b", false, true), STATUS_ACCESS_DENIED);
  File root = client_.MustOpen("\\", {.access = DELETE});
  EXPECT_EQ(client_.Rename(root, "x", false, true), STATUS_INVALID_PARAMETER);
}

TEST_F(RenameTest, DirectoryCannotMoveIntoItsOwnSubtree) {
  client_.Mkdir("\\d");
  client_.Mkdir("\\d\\sub");
  File d = client_.MustOpen("\\d", {.access = DELETE});
  EXPECT_EQ(client_.Rename(d, "\\d\\sub\\d", false), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(client_.Exists("\\d\\sub"));
}

}  // namespace
}  // namespace sim::fs::testing
