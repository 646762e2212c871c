// Create: dispositions against what exists, the directory options, name
// validity, share access, read-only and delete-on-close rules, related
// opens, the root and volume opens.
#include "fs_client.h"
#include "kernel/clock.h"

namespace sim::fs::testing {
namespace {

using CreateTest = VolumeTest;

enum class Existing { None, File, Directory };

struct DispositionCase {
  Existing existing;
  ULONG options;
  ULONG disposition;
  NTSTATUS status;
  ULONG_PTR information;
};

const char* Describe(ULONG disposition) {
  static const char* names[] = {"SUPERSEDE", "OPEN",      "CREATE",
                                "OPEN_IF",   "OVERWRITE", "OVERWRITE_IF"};
  return names[disposition];
}

constexpr ULONG kDir = FILE_DIRECTORY_FILE;
constexpr ULONG kNonDir = FILE_NON_DIRECTORY_FILE;

const DispositionCase kDispositionCases[] = {
    // Nothing there.
    {Existing::None, 0, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, 0, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0},
    {Existing::None, 0, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, 0, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, 0, FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0},
    {Existing::None, 0, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, kDir, FILE_SUPERSEDE, STATUS_INVALID_PARAMETER, 0},
    {Existing::None, kDir, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0},
    {Existing::None, kDir, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, kDir, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED},
    {Existing::None, kDir, FILE_OVERWRITE, STATUS_INVALID_PARAMETER, 0},
    {Existing::None, kDir, FILE_OVERWRITE_IF, STATUS_INVALID_PARAMETER, 0},
    // A file there.
    {Existing::File, 0, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED},
    {Existing::File, 0, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED},
    {Existing::File, 0, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
    {Existing::File, 0, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED},
    {Existing::File, 0, FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN},
    {Existing::File, 0, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN},
    {Existing::File, kNonDir, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED},
    {Existing::File, kNonDir, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN},
    {Existing::File, kDir, FILE_OPEN, STATUS_NOT_A_DIRECTORY, 0},
    {Existing::File, kDir, FILE_OPEN_IF, STATUS_NOT_A_DIRECTORY, 0},
    {Existing::File, kDir, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
    // A directory there.
    {Existing::Directory, 0, FILE_SUPERSEDE, STATUS_FILE_IS_A_DIRECTORY, 0},
    {Existing::Directory, 0, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED},
    {Existing::Directory, 0, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
    {Existing::Directory, 0, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED},
    {Existing::Directory, 0, FILE_OVERWRITE, STATUS_FILE_IS_A_DIRECTORY, 0},
    {Existing::Directory, 0, FILE_OVERWRITE_IF, STATUS_FILE_IS_A_DIRECTORY, 0},
    {Existing::Directory, kDir, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED},
    {Existing::Directory, kDir, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED},
    {Existing::Directory, kDir, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
    {Existing::Directory, kNonDir, FILE_OPEN, STATUS_FILE_IS_A_DIRECTORY, 0},
    {Existing::Directory, kNonDir, FILE_OPEN_IF, STATUS_FILE_IS_A_DIRECTORY, 0},
    {Existing::Directory, kNonDir, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
};

TEST_F(CreateTest, DispositionMatrix) {
  int index = 0;
  for (const auto& c : kDispositionCases) {
    const std::string path = "\\case" + std::to_string(index++);
    if (c.existing == Existing::File) client_.Touch(path, "old contents");
    if (c.existing == Existing::Directory) client_.Mkdir(path);
    auto r = client_.Open(path, {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                 .disposition = c.disposition,
                                 .options = c.options});
    SCOPED_TRACE(path + " existing=" + std::to_string(static_cast<int>(c.existing)) +
                 " options=" + std::to_string(c.options) + " " + Describe(c.disposition));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    if (!NT_SUCCESS(r.status)) {
      // A failed create leaves the namespace as it was.
      EXPECT_EQ(client_.Exists(path), c.existing != Existing::None);
      continue;
    }
    const auto standard = client_.Standard(r.file);
    const bool isDirectory =
        c.existing == Existing::Directory || (c.existing == Existing::None && c.options == kDir);
    EXPECT_EQ(standard.Directory, isDirectory);
    if (c.information == FILE_OVERWRITTEN || c.information == FILE_SUPERSEDED) {
      EXPECT_EQ(standard.EndOfFile.QuadPart, 0) << "overwrite truncates";
      EXPECT_EQ(standard.AllocationSize.QuadPart, 0);
    }
    if (c.information == FILE_OPENED && c.existing == Existing::File) {
      EXPECT_EQ(client_.ReadAll(r.file), "old contents");
    }
  }
}

TEST_F(CreateTest, NameValidity) {
  client_.Mkdir("\\d");
  const std::string longest(255, 'x');
  struct Case {
    std::string path;
    NTSTATUS status;
  } cases[] = {
      {"\\d\\" + longest, STATUS_SUCCESS},
      {"\\d\\" + longest + "y", STATUS_OBJECT_NAME_INVALID},
      {"\\d\\\\b", STATUS_OBJECT_NAME_INVALID},  // empty component
      {"\\d\\.", STATUS_OBJECT_NAME_INVALID},
      {"\\d\\..", STATUS_OBJECT_NAME_INVALID},
      // NT-namespace names: trailing periods and spaces are kept as given.
      {"\\d\\trailing.", STATUS_SUCCESS},
      {"\\d\\trailing ", STATUS_SUCCESS},
      {"\\d\\with space", STATUS_SUCCESS},
      {"\\d\\caf\xc3\xa9", STATUS_SUCCESS},
  };
  const OpenArgs args{.disposition = FILE_CREATE};
  for (const auto& c : cases) EXPECT_EQ(client_.Open(c.path, args).status, c.status) << c.path;
  for (char bad : std::string("*?<>\"|:/\x01")) {
    const std::string path = std::string("\\d\\a") + bad + "b";
    EXPECT_EQ(client_.Open(path, args).status, STATUS_OBJECT_NAME_INVALID) << path;
  }
  // "trailing." and "trailing" are different names.
  EXPECT_FALSE(client_.Exists("\\d\\trailing"));
  EXPECT_TRUE(client_.Exists("\\d\\trailing."));
  // A relative name without a related file object never comes through the
  // object manager (it fails to parse "\??\C:d\relative"); at the seam the
  // volume refuses it itself.
  EXPECT_EQ(SeamOpen(*volume_, "d\\relative", args).status, STATUS_OBJECT_NAME_INVALID);
}

struct ShareCase {
  ACCESS_MASK firstAccess;
  ULONG firstShare;
  ACCESS_MASK secondAccess;
  ULONG secondShare;
  NTSTATUS expected;
};

TEST_F(CreateTest, ShareAccess) {
  constexpr ULONG R = FILE_SHARE_READ, W = FILE_SHARE_WRITE, D = FILE_SHARE_DELETE;
  const ShareCase cases[] = {
      {FILE_READ_DATA, R, FILE_READ_DATA, R, STATUS_SUCCESS},
      {FILE_READ_DATA, R, FILE_WRITE_DATA, R | W,
       STATUS_SHARING_VIOLATION},  // first does not share write
      {FILE_READ_DATA, R | W, FILE_WRITE_DATA, R | W, STATUS_SUCCESS},
      {FILE_READ_DATA, R | W, FILE_WRITE_DATA, W,
       STATUS_SHARING_VIOLATION},  // second does not share the first's read
      {FILE_WRITE_DATA, W, FILE_READ_DATA, W, STATUS_SHARING_VIOLATION},
      {FILE_APPEND_DATA, R, FILE_APPEND_DATA, R | W,
       STATUS_SHARING_VIOLATION},  // append counts as write
      {DELETE, R | W, DELETE, R | W | D, STATUS_SHARING_VIOLATION},
      {DELETE, D, DELETE, D, STATUS_SUCCESS},
      {FILE_READ_DATA, 0, FILE_READ_ATTRIBUTES, 0,
       STATUS_SUCCESS},  // attribute opens never conflict
      {FILE_READ_ATTRIBUTES, 0, FILE_READ_DATA, 0, STATUS_SUCCESS},
      {FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_WRITE_DATA, 0, STATUS_SUCCESS},
      {FILE_EXECUTE, 0, FILE_READ_DATA, R, STATUS_SHARING_VIOLATION},  // execute counts as read
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string path = "\\share" + std::to_string(index++);
    client_.Touch(path);
    File held = client_.MustOpen(path, {.access = c.firstAccess, .share = c.firstShare});
    const OpenArgs second{.access = c.secondAccess, .share = c.secondShare};
    EXPECT_EQ(client_.Open(path, second).status, c.expected) << path;
    // Once the first handle closes, the second open goes through.
    held.CloseHandle();
    EXPECT_EQ(client_.Open(path, second).status, STATUS_SUCCESS) << path;
  }
}

TEST_F(CreateTest, ReadOnlyFiles) {
  client_.Touch("\\ro", "data", FILE_ATTRIBUTE_READONLY);
  struct Case {
    ACCESS_MASK access;
    ULONG disposition;
    ULONG options;
    NTSTATUS status;
  } cases[] = {
      {FILE_GENERIC_READ, FILE_OPEN, 0, STATUS_SUCCESS},
      {FILE_WRITE_DATA, FILE_OPEN, 0, STATUS_ACCESS_DENIED},
      {FILE_APPEND_DATA, FILE_OPEN, 0, STATUS_ACCESS_DENIED},
      {FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, STATUS_SUCCESS},
      {DELETE, FILE_OPEN, 0, STATUS_SUCCESS},
      {FILE_GENERIC_READ, FILE_OVERWRITE, 0, STATUS_ACCESS_DENIED},
      {FILE_GENERIC_READ, FILE_SUPERSEDE, 0, STATUS_ACCESS_DENIED},
      {DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, STATUS_CANNOT_DELETE},
      {MAXIMUM_ALLOWED, FILE_OPEN, 0, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    const OpenArgs args{.access = c.access, .disposition = c.disposition, .options = c.options};
    EXPECT_EQ(client_.Open("\\ro", args).status, c.status)
        << std::hex << c.access << " " << c.disposition;
  }
  // MAXIMUM_ALLOWED on a read-only file grants everything but writing data.
  File f = client_.MustOpen("\\ro", {.access = MAXIMUM_ALLOWED});
  FILE_ACCESS_INFORMATION access{};
  ASSERT_EQ(client_.Query(f, FileAccessInformation, &access), STATUS_SUCCESS);
  EXPECT_EQ(access.AccessFlags & (FILE_WRITE_DATA | FILE_APPEND_DATA), 0u);
  EXPECT_NE(access.AccessFlags & DELETE, 0u);
  // A new read-only file may be written through its creating handle.
  File created = client_.MustCreateFile("\\newro", "", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(client_.Write(created, "x"), STATUS_SUCCESS);
}

TEST_F(CreateTest, DeleteOnCloseNeedsDeleteAccessAndAnEmptyDirectory) {
  client_.Mkdir("\\full");
  client_.Touch("\\full\\child");
  OpenArgs args{.access = FILE_GENERIC_READ, .options = FILE_DELETE_ON_CLOSE};
  client_.Touch("\\f");
  EXPECT_EQ(client_.Open("\\f", args).status, STATUS_INVALID_PARAMETER);
  args.access = DELETE;
  EXPECT_EQ(client_.Open("\\full", args).status, STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(client_.Open("\\", args).status, STATUS_CANNOT_DELETE);
  args.disposition = FILE_CREATE;
  args.attributes = FILE_ATTRIBUTE_READONLY;
  EXPECT_EQ(client_.Open("\\newro", args).status, STATUS_CANNOT_DELETE);
  EXPECT_FALSE(client_.Exists("\\newro"));
}

TEST_F(CreateTest, RootRelatedAndVolumeOpens) {
  client_.Mkdir("\\dir");
  client_.Touch("\\dir\\file", "x");
  File root = client_.MustOpen("\\");
  EXPECT_TRUE(client_.Standard(root).Directory);
  EXPECT_EQ(client_.Name(root), u"\\");
  const OpenArgs create{.disposition = FILE_CREATE, .options = FILE_DIRECTORY_FILE};
  EXPECT_EQ(client_.Open("\\", create).status, STATUS_OBJECT_NAME_COLLISION);

  // Relative to an open directory.
  File dir = client_.MustOpen("\\dir");
  const OpenArgs rel{.related = &dir};
  File file = client_.MustOpen("file", rel);
  EXPECT_EQ(client_.Name(file), u"\\dir\\file");
  // A related open whose name starts with a backslash: the I/O manager
  // refuses it before the volume sees it, so the volume's own answer is
  // checked at the seam.
  EXPECT_EQ(SeamOpen(*volume_, "\\file", OpenArgs{}, 0, dir.fo()).status,
            STATUS_OBJECT_NAME_INVALID);
  // An empty name relative to a file object opens the same file.
  File again = client_.MustOpen("", rel);
  EXPECT_EQ(client_.Name(again), u"\\dir");
  // Relative to a file: not a directory.
  EXPECT_EQ(client_.Open("x", {.related = &file}).status, STATUS_INVALID_PARAMETER);

  // The volume itself: an empty name.
  auto volume = client_.Open("");
  ASSERT_EQ(volume.status, STATUS_SUCCESS);
  EXPECT_EQ(volume.information, static_cast<ULONG_PTR>(FILE_OPENED));
  FILE_FS_SIZE_INFORMATION size{};
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(NtQueryVolumeInformationFile(volume.file.handle(), &iosb, &size, sizeof(size),
                                         FileFsSizeInformation),
            STATUS_SUCCESS);
  std::string out;
  EXPECT_EQ(client_.Read(volume.file, &out, 16), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace sim::fs::testing
