// Deleting: the delete disposition and delete-on-close leave a file delete
// pending until its last handle closes; new opens meanwhile get
// STATUS_DELETE_PENDING; read-only files and non-empty directories refuse;
// the Ex flags (POSIX semantics, ignore read-only, on close).
#include "fs_client.h"

namespace sim::fs::testing {
namespace {

using DeleteTest = VolumeTest;

OpenArgs DeleteAccess() {
  return {.access = DELETE | FILE_READ_ATTRIBUTES};
}

TEST_F(DeleteTest, DispositionRefusals) {
  client_.Touch("\\ro", "", FILE_ATTRIBUTE_READONLY);
  client_.Mkdir("\\full");
  client_.Touch("\\full\\child");
  client_.Mkdir("\\empty");
  client_.Touch("\\plain");
  struct Case {
    const char* path;
    ACCESS_MASK access;
    ULONG flags;  // FileDispositionInformationEx flags
    NTSTATUS status;
  } cases[] = {
      {"\\ro", DELETE, FILE_DISPOSITION_DELETE, STATUS_CANNOT_DELETE},
      {"\\full", DELETE, FILE_DISPOSITION_DELETE, STATUS_DIRECTORY_NOT_EMPTY},
      {"\\", DELETE, FILE_DISPOSITION_DELETE, STATUS_CANNOT_DELETE},
      {"\\plain", FILE_GENERIC_READ, FILE_DISPOSITION_DELETE, STATUS_ACCESS_DENIED},
      {"\\empty", DELETE, FILE_DISPOSITION_DELETE, STATUS_SUCCESS},
      {"\\ro", DELETE, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE,
       STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    File f = client_.MustOpen(c.path, {.access = c.access});
    EXPECT_EQ(client_.SetDispositionEx(f, c.flags), c.status) << c.path;
    f.Reset();
    EXPECT_EQ(client_.Exists(c.path), c.status != STATUS_SUCCESS) << c.path;
  }
  FILE_DISPOSITION_INFORMATION_EX ex{FILE_DISPOSITION_DELETE};
  File f = client_.MustOpen("\\plain", DeleteAccess());
  EXPECT_EQ(client_.Set(f, FileDispositionInformationEx, ex, 3), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(DeleteTest, DeleteOnClose) {
  File temp = client_.MustOpen("\\temp", {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                                          .disposition = FILE_CREATE,
                                          .options = FILE_DELETE_ON_CLOSE});
  File other = client_.MustOpen("\\temp");
  EXPECT_FALSE(client_.Standard(other).DeletePending) << "only the cleanup of that handle marks it";
  temp.CloseHandle();
  EXPECT_TRUE(client_.Standard(other).DeletePending);
  EXPECT_EQ(client_.Open("\\temp").status, STATUS_DELETE_PENDING);
  other.Reset();
  EXPECT_FALSE(client_.Exists("\\temp"));

  // A directory that gained entries meanwhile is kept.
  File dir = client_.MustOpen("\\dir", {.access = DELETE | FILE_LIST_DIRECTORY,
                                        .disposition = FILE_CREATE,
                                        .options = FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE});
  client_.Touch("\\dir\\child");
  dir.Reset();
  EXPECT_TRUE(client_.Exists("\\dir"));
  EXPECT_TRUE(client_.Exists("\\dir\\child"));
}

// Clearing the disposition keeps the file; FILE_DISPOSITION_ON_CLOSE sets
// and clears delete-on-close.
TEST_F(DeleteTest, DispositionAndDeleteOnCloseCanBeCleared) {
  client_.Touch("\\f");
  File f = client_.MustOpen("\\f", DeleteAccess());
  ASSERT_EQ(client_.SetDisposition(f, true), STATUS_SUCCESS);
  EXPECT_TRUE(f.fo()->DeletePending);
  ASSERT_EQ(client_.SetDisposition(f, false), STATUS_SUCCESS);
  EXPECT_FALSE(f.fo()->DeletePending);
  EXPECT_FALSE(client_.Standard(f).DeletePending);
  f.Reset();
  EXPECT_TRUE(client_.Exists("\\f"));

  client_.Touch("\\a");
  client_.Touch("\\b");
  File a = client_.MustOpen("\\a", DeleteAccess());
  ASSERT_EQ(client_.SetDispositionEx(a, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_ON_CLOSE),
            STATUS_SUCCESS);
  EXPECT_FALSE(client_.Standard(a).DeletePending);
  a.Reset();
  EXPECT_FALSE(client_.Exists("\\a"));

  File b = client_.MustOpen(
      "\\b", {.access = DELETE | FILE_READ_ATTRIBUTES, .options = FILE_DELETE_ON_CLOSE});
  ASSERT_EQ(client_.SetDispositionEx(b, FILE_DISPOSITION_ON_CLOSE), STATUS_SUCCESS);  // clears it
  b.Reset();
  EXPECT_TRUE(client_.Exists("\\b"));
}

TEST_F(DeleteTest, PosixDeleteUnlinksAtThatHandlesCleanup) {
  client_.Touch("\\p", "payload");
  File reader = client_.MustOpen("\\p");
  File deleter = client_.MustOpen("\\p", DeleteAccess());
  ASSERT_EQ(
      client_.SetDispositionEx(deleter, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS),
      STATUS_SUCCESS);
  deleter.Reset();
  // Gone from the namespace at once, while the other handle still reads it.
  EXPECT_EQ(client_.Open("\\p").status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(client_.List("\\").empty());
  EXPECT_EQ(client_.ReadAll(reader), "payload");
  EXPECT_EQ(client_.Standard(reader).NumberOfLinks, 0u);
  // The name can be reused while the old file is still open.
  client_.Touch("\\p", "new");
  EXPECT_EQ(client_.ReadAll(reader), "payload");
}

}  // namespace
}  // namespace sim::fs::testing
