// The target-directory open of renames and links: which names open the
// target's parent (full names, RootDirectory-relative names; not simple
// names), what the filters see of that create (pre and post,
// SL_OPEN_TARGET_DIRECTORY, the access by source kind, FILE_EXISTS /
// FILE_DOES_NOT_EXIST, the final component left in FileName), the request
// carrying it as ParentOfTarget and its cleanup and close afterwards; a
// filter failing or completing the target create itself; and
// FltSetInformationFile opening the target below the caller only, without
// the forced access check of the I/O manager's open.
#include <gtest/gtest.h>

#include <cstring>

#include "test_filter.h"
#include "verifier/verifier.h"

namespace tavo_test {
namespace {

using sim::harness::ToUtf8;

std::string NameOf(PFILE_OBJECT fo) {
  return ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(fo->FileName.Buffer),
                               fo->FileName.Length / sizeof(WCHAR)));
}

std::vector<UCHAR> RenameBuffer(const std::u16string& name, HANDLE root, bool replace) {
  std::vector<UCHAR> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) +
                            name.size() * sizeof(WCHAR));
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = root;
  info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  std::memcpy(info->FileName, name.data(), name.size() * sizeof(WCHAR));
  return buffer;
}

// What one filter saw of a rename.
struct Seen {
  int targetPre = 0, targetPost = 0;
  ACCESS_MASK access = 0;
  bool forcedAccessCheck = false;
  std::string createName, postName, parentName;
  ULONG_PTR information = 0;
  PFILE_OBJECT targetFo = nullptr;
  int setInfo = 0;
  bool parentSet = false;
  int targetCleanups = 0, targetCloses = 0;
};

void Watch(int slot, Seen& seen) {
  TestFilter& f = Slot(slot);
  f.pre[IRP_MJ_CREATE] = [&seen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    if (!(data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    ++seen.targetPre;
    seen.access = data->Iopb->Parameters.Create.SecurityContext->DesiredAccess;
    seen.forcedAccessCheck = (data->Iopb->OperationFlags & SL_FORCE_ACCESS_CHECK) != 0;
    seen.createName = NameOf(data->Iopb->TargetFileObject);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  f.post[IRP_MJ_CREATE] = [&seen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                  FLT_POST_OPERATION_FLAGS) {
    ++seen.targetPost;
    seen.information = data->IoStatus.Information;
    seen.postName = NameOf(data->Iopb->TargetFileObject);
    seen.targetFo = data->Iopb->TargetFileObject;
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  f.pre[IRP_MJ_SET_INFORMATION] = [&seen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    ++seen.setInfo;
    PFILE_OBJECT parent = data->Iopb->Parameters.SetFileInformation.ParentOfTarget;
    seen.parentSet = parent != nullptr;
    if (parent) seen.parentName = NameOf(parent);
    if (parent && parent != seen.targetFo) ADD_FAILURE() << "ParentOfTarget is not the target open";
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    f.pre[major] = [&seen, major](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      if (data->Iopb->TargetFileObject == seen.targetFo)
        ++(major == IRP_MJ_CLEANUP ? seen.targetCleanups : seen.targetCloses);
      return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
  }
}

class RenameTargets : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddDirectory(u"\\dir");
    fs->AddDirectory(u"\\to");
    fs->AddDirectory(u"\\dir\\sub");
    fs->AddFile(u"\\dir\\a.txt", "a");
    for (char16_t i = u'1'; i <= u'6'; ++i) fs->AddFile(std::u16string(u"\\dir\\a") + i + u".txt");
    fs->AddFile(u"\\to\\taken.txt", "t");
    otherFs->AddDirectory(u"\\to");
  }
  NTSTATUS Rename(HANDLE h, const std::u16string& name, HANDLE root = nullptr,
                  FILE_INFORMATION_CLASS infoClass = FileRenameInformation, bool replace = false) {
    auto buffer = RenameBuffer(name, root, replace);
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(h, &iosb, buffer.data(), static_cast<ULONG>(buffer.size()),
                                infoClass);
  }
};

TEST_F(RenameTargets, WhichNamesOpenTheTargetDirectoryAndWhatFiltersSee) {
  struct Row {
    const char* what;
    const char* source;
    const char16_t* name;
    bool relativeToTo;  // RootDirectory: a handle to \to
    FILE_INFORMATION_CLASS infoClass;
    NTSTATUS status;
    bool opens;
    ACCESS_MASK access;
    const char* createName;  // FileName in pre-create
    ULONG_PTR information;
    const char* leaf;  // FileName after the open: ParentOfTarget's; the new name
  };
  const ACCESS_MASK kFile = SYNCHRONIZE | FILE_ADD_FILE;
  const ACCESS_MASK kDir = SYNCHRONIZE | FILE_ADD_SUBDIRECTORY;
  const Row rows[] = {
      {"simple name: no open", "\\dir\\a1.txt", u"b1.txt", false, FileRenameInformation,
       STATUS_SUCCESS, false, 0, "", 0, "b1.txt"},
      {"full name", "\\dir\\a2.txt", u"\\??\\C:\\to\\b2.txt", false, FileRenameInformation,
       STATUS_SUCCESS, true, kFile, "\\to\\b2.txt", FILE_DOES_NOT_EXIST, "b2.txt"},
      {"full device name, Ex class", "\\dir\\a3.txt", u"\\Device\\HarddiskVolume2\\to\\b3.txt",
       false, FileRenameInformationEx, STATUS_SUCCESS, true, kFile, "\\to\\b3.txt",
       FILE_DOES_NOT_EXIST, "b3.txt"},
      {"relative to RootDirectory", "\\dir\\a4.txt", u"b4.txt", true, FileRenameInformation,
       STATUS_SUCCESS, true, kFile, "b4.txt", FILE_DOES_NOT_EXIST, "b4.txt"},
      {"existing target without replace", "\\dir\\a5.txt", u"\\??\\C:\\to\\taken.txt", false,
       FileRenameInformation, STATUS_OBJECT_NAME_COLLISION, true, kFile, "\\to\\taken.txt",
       FILE_EXISTS, "taken.txt"},
      {"a directory asks to add a subdirectory", "\\dir\\sub", u"\\??\\C:\\to\\sub", false,
       FileRenameInformation, STATUS_SUCCESS, true, kDir, "\\to\\sub", FILE_DOES_NOT_EXIST, "sub"},
      {"a link opens the target too", "\\dir\\a6.txt", u"\\??\\C:\\to\\l.txt", false,
       FileLinkInformation, STATUS_INVALID_PARAMETER, true, kFile, "\\to\\l.txt",
       FILE_DOES_NOT_EXIST, "l.txt"},
  };
  Seen seen;
  Watch(0, seen);
  LoadTestFilter(0, 300000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HANDLE source = nullptr, to = nullptr;
    const bool isDir = std::string(row.source) == "\\dir\\sub";
    ASSERT_EQ(Open(std::string("\\??\\C:") + row.source, &source, DELETE | SYNCHRONIZE, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT | (isDir ? FILE_DIRECTORY_FILE : 0)),
              STATUS_SUCCESS);
    ASSERT_EQ(Open("\\??\\C:\\to", &to, FILE_TRAVERSE | SYNCHRONIZE), STATUS_SUCCESS);
    seen = Seen{};
    EXPECT_EQ(Rename(source, row.name, row.relativeToTo ? to : nullptr, row.infoClass), row.status);
    EXPECT_EQ(seen.targetPre, row.opens ? 1 : 0);
    EXPECT_EQ(seen.targetPost, row.opens ? 1 : 0);
    EXPECT_EQ(seen.setInfo, 1);
    EXPECT_EQ(seen.parentSet, row.opens);
    if (row.opens) {
      EXPECT_EQ(seen.access, row.access);
      EXPECT_TRUE(seen.forcedAccessCheck) << "the open checks the caller's access";
      EXPECT_EQ(seen.createName, row.createName);
      EXPECT_EQ(seen.information, row.information);
      EXPECT_EQ(seen.postName, row.leaf);
      EXPECT_EQ(seen.parentName, row.leaf);
      EXPECT_EQ(seen.targetCleanups, 1) << "the I/O manager closes its target handle";
      EXPECT_EQ(seen.targetCloses, 1);
    }
    if (NT_SUCCESS(row.status)) {
      // A simple name stays in the source's directory; the others land in \to.
      EXPECT_TRUE(
          fs->Exists((row.opens ? u"\\to\\" : u"\\dir\\") + sim::harness::FromUtf8(row.leaf)));
    }
    NtClose(source);
    NtClose(to);
  }
  // A target on another volume is opened there, then refused before the
  // file system sees the rename.
  HANDLE source = nullptr;
  ASSERT_EQ(Open("\\??\\C:\\dir\\a.txt", &source, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
  seen = Seen{};
  EXPECT_EQ(Rename(source, u"\\??\\D:\\to\\b.txt"), STATUS_NOT_SAME_DEVICE);
  EXPECT_EQ(seen.targetPre, 1);
  EXPECT_EQ(seen.setInfo, 0);
  EXPECT_EQ(seen.targetCloses, 1);
  EXPECT_TRUE(fs->Exists(u"\\dir\\a.txt"));
  NtClose(source);
}

// A filter that fails the target create fails the rename with its status;
// one that completes it on its own file object and then lets the rename
// down has sent the file system a target it never opened.
TEST_F(RenameTargets, AFilterFailingOrOwningTheTargetCreate) {
  static FSRTL_ADVANCED_FCB_HEADER header;
  header = {};
  FsRtlSetupAdvancedHeader(&header, nullptr);
  bool own = false;
  PFILE_OBJECT owned = nullptr;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    if (!(data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (own) {
      owned = data->Iopb->TargetFileObject;
      owned->FsContext = &header;
      data->IoStatus.Status = STATUS_SUCCESS;
      data->IoStatus.Information = FILE_DOES_NOT_EXIST;
    } else {
      data->IoStatus.Status = STATUS_ACCESS_DENIED;
      data->IoStatus.Information = 0;
    }
    return FLT_PREOP_COMPLETE;
  };
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    Slot(0).pre[major] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      if (data->Iopb->TargetFileObject != owned) return FLT_PREOP_SUCCESS_NO_CALLBACK;
      data->IoStatus.Status = STATUS_SUCCESS;
      return FLT_PREOP_COMPLETE;
    };
  }
  LoadTestFilter(0, 300000);
  HANDLE source = nullptr;
  ASSERT_EQ(Open("\\??\\C:\\dir\\a.txt", &source, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_EQ(Rename(source, u"\\??\\C:\\to\\b.txt"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(fs->Count(IRP_MJ_SET_INFORMATION), 0);

  own = true;
  EXPECT_EQ(Rename(source, u"\\??\\C:\\to\\b.txt"), STATUS_INVALID_PARAMETER);
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Io);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("with a target directory (\"\\to\\b.txt\") it never opened"),
            std::string::npos)
      << violations[0].message;
  EXPECT_TRUE(fs->Exists(u"\\dir\\a.txt"));
  NtClose(source);
}

// FltSetInformationFile opens the target itself, below the calling
// instance: a filter above it never sees that create; one below does.
TEST_F(RenameTargets, FltSetInformationFileOpensTheTargetBelowTheCaller) {
  Seen above, below;
  Watch(0, above);
  Watch(1, below);
  LoadTestFilter(0, 300000);
  LoadTestFilter(1, 100000);
  PFLT_INSTANCE caller = Slot(0).instances[0];
  sim::harness::OwnedUnicodeString name("\\Device\\HarddiskVolume2\\dir\\a.txt");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                             nullptr);
  HANDLE h = nullptr;
  PFILE_OBJECT fo = nullptr;
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(FltCreateFileEx2(Slot(0).filter, caller, &h, &fo, DELETE | SYNCHRONIZE, &oa, &iosb,
                             nullptr, 0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, 0,
                             nullptr),
            STATUS_SUCCESS);
  auto buffer = RenameBuffer(u"\\Device\\HarddiskVolume2\\to\\b.txt", nullptr, false);
  EXPECT_EQ(FltSetInformationFile(caller, fo, buffer.data(), static_cast<ULONG>(buffer.size()),
                                  FileRenameInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(above.targetPre, 0);
  EXPECT_EQ(above.setInfo, 0);
  EXPECT_EQ(below.targetPre, 1);
  EXPECT_EQ(below.access, static_cast<ACCESS_MASK>(SYNCHRONIZE | FILE_ADD_FILE));
  EXPECT_FALSE(below.forcedAccessCheck);
  EXPECT_TRUE(below.parentSet);
  EXPECT_EQ(below.targetCloses, 1);
  EXPECT_TRUE(fs->Exists(u"\\to\\b.txt"));
  ObDereferenceObject(fo);
  FltClose(h);
}

}  // namespace
}  // namespace tavo_test
