// File names: opened and normalized names in pre-create and after, relative
// opens, parsing, and the name-provider dispatch.
#include <gtest/gtest.h>

#include <cstring>

#include "harness/name_querier.h"
#include "test_filter.h"
#include "verifier/verifier.h"

namespace tavo_test {
namespace {

using sim::harness::ToU16;

class Names : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddDirectory(u"\\Dir");
    fs->AddFile(u"\\Dir\\LongFileName.txt", "x", u"LONGFI~1.TXT");
  }

  // Records the name of every create the given slot sees, as `options` asks.
  void RecordCreateNames(int slot, FLT_FILE_NAME_OPTIONS options, bool post) {
    auto query = [this, options](PFLT_CALLBACK_DATA data) {
      PFLT_FILE_NAME_INFORMATION info = nullptr;
      NTSTATUS status = FltGetFileNameInformation(data, options, &info);
      if (!NT_SUCCESS(status)) {
        names.push_back(u"<error>");
        statuses.push_back(status);
        return;
      }
      statuses.push_back(status);
      names.push_back(ToU16(info->Name));
      FltReleaseFileNameInformation(info);
    };
    if (post) {
      Slot(slot).pre[IRP_MJ_CREATE] = WithPost;
      Slot(slot).post[IRP_MJ_CREATE] = [query](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                               PVOID, FLT_POST_OPERATION_FLAGS) {
        if (NT_SUCCESS(data->IoStatus.Status)) query(data);
        return FLT_POSTOP_FINISHED_PROCESSING;
      };
    } else {
      Slot(slot).pre[IRP_MJ_CREATE] = [query](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                              PVOID*) {
        query(data);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
      };
    }
  }

  std::vector<std::u16string> names;
  std::vector<NTSTATUS> statuses;
};

TEST_F(Names, OpenedAndNormalizedNamesOfACreate) {
  struct Case {
    const char* open;
    FLT_FILE_NAME_OPTIONS options;
    bool post;
    NTSTATUS status;
    std::u16string name;
    bool relative = false;  // `open` relative to a handle to \\dir
  };
  const FLT_FILE_NAME_OPTIONS opened = FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT;
  const FLT_FILE_NAME_OPTIONS normalized = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;
  const Case cases[] = {
      {"\\??\\C:\\dir\\longfi~1.txt", opened, false, STATUS_SUCCESS,
       u"\\Device\\HarddiskVolume2\\dir\\longfi~1.txt"},
      {"\\??\\C:\\dir\\longfi~1.txt", normalized, false, STATUS_SUCCESS,
       u"\\Device\\HarddiskVolume2\\Dir\\LongFileName.txt"},
      {"\\Device\\HarddiskVolume2\\DIR\\LONGFI~1.TXT", normalized, true, STATUS_SUCCESS,
       u"\\Device\\HarddiskVolume2\\Dir\\LongFileName.txt"},
      // The file a create makes does not exist yet: its last component stays.
      {"\\??\\C:\\dir\\New.txt", normalized, false, STATUS_SUCCESS,
       u"\\Device\\HarddiskVolume2\\Dir\\New.txt"},
      {"\\??\\C:\\nodir\\New.txt", normalized, false, STATUS_OBJECT_PATH_NOT_FOUND, u""},
      {"\\??\\C:\\dir\\", normalized, false, STATUS_SUCCESS, u"\\Device\\HarddiskVolume2\\Dir\\"},
      // A relative open's name includes the root directory's.
      {"longfi~1.txt", opened, false, STATUS_SUCCESS,
       u"\\Device\\HarddiskVolume2\\dir\\longfi~1.txt", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.open);
    RecordCreateNames(0, c.options, c.post);
    if (!Slot(0).filter) LoadTestFilter(0, 300000);
    HANDLE dir = nullptr;
    if (c.relative) {
      ASSERT_EQ(Open("\\??\\C:\\dir", &dir), STATUS_SUCCESS);
    }
    names.clear();
    statuses.clear();
    HANDLE h = nullptr;
    NTSTATUS status = Open(c.open, &h, GENERIC_READ | SYNCHRONIZE, FILE_OPEN_IF,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, dir);
    if (NT_SUCCESS(status)) NtClose(h);
    if (dir) NtClose(dir);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], c.status);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(sim::harness::ToUtf8(names[0]), sim::harness::ToUtf8(c.name));
    }
  }
}

TEST_F(Names, ParseSplitsTheNameIntoItsParts) {
  struct Case {
    std::u16string name;
    std::u16string parent, finalComponent, extension, stream;
  };
  const Case cases[] = {
      {u"\\Device\\HarddiskVolume1\\dir\\sub\\file.txt:s1", u"\\dir\\sub\\", u"file.txt:s1", u"txt",
       u":s1"},
      {u"\\Device\\HarddiskVolume1\\dir\\noext", u"\\dir\\", u"noext", u"", u""},
      {u"\\Device\\HarddiskVolume1\\dir.d\\file", u"\\dir.d\\", u"file", u"", u""},
      {u"\\Device\\HarddiskVolume1\\a.b.c", u"\\", u"a.b.c", u"c", u""},
      {u"\\Device\\HarddiskVolume1\\", u"\\", u"", u"", u""},
  };
  const std::u16string volume = u"\\Device\\HarddiskVolume1";
  for (Case c : cases) {
    SCOPED_TRACE(sim::harness::ToUtf8(c.name));
    FLT_FILE_NAME_INFORMATION info{};
    info.Name = sim::harness::MakeUnicodeString(c.name);
    info.Volume = info.Name;
    info.Volume.Length = static_cast<USHORT>(volume.size() * 2);
    ASSERT_EQ(FltParseFileNameInformation(&info), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(info.ParentDir), c.parent);
    EXPECT_EQ(ToU16(info.FinalComponent), c.finalComponent);
    EXPECT_EQ(ToU16(info.Extension), c.extension);
    EXPECT_EQ(ToU16(info.Stream), c.stream);
    EXPECT_EQ(info.Share.Length, 0);
  }
}

// Slot 1 (lower) provides names: it shows every file as living in \V~1,
// and expands the component "V~1" to "VirtualLong". It refuses normalized
// requests unless told to answer them ("Normal" then stands for V~1).
class NameProvider : public Names {
 protected:
  void SetUp() override {
    Names::SetUp();
    Slot(1).generateName = [this](PFLT_INSTANCE, PFILE_OBJECT fo, PFLT_CALLBACK_DATA,
                                  FLT_FILE_NAME_OPTIONS options, PFLT_NAME_CONTROL name) {
      ++generated;
      const ULONG format = FltGetFileNameFormat(options);
      formats.push_back(format);
      if (format == FLT_FILE_NAME_NORMALIZED && !answerNormalized) return STATUS_NOT_SUPPORTED;
      std::u16string file = ToU16(fo->FileName);
      std::u16string text =
          (format == FLT_FILE_NAME_NORMALIZED ? u"\\Device\\HarddiskVolume2\\Normal"
                                              : u"\\Device\\HarddiskVolume2\\V~1") +
          file;
      NTSTATUS status = FltCheckAndGrowNameControl(name, static_cast<USHORT>(text.size() * 2));
      if (!NT_SUCCESS(status)) return status;
      std::memcpy(name->Name.Buffer, text.data(), text.size() * 2);
      name->Name.Length = static_cast<USHORT>(text.size() * 2);
      return STATUS_SUCCESS;
    };
    Slot(1).normalize = [this](PCUNICODE_STRING parent, USHORT volumeLength,
                               PCUNICODE_STRING component, PFILE_NAMES_INFORMATION expand, ULONG) {
      EXPECT_EQ(volumeLength, std::u16string(u"\\Device\\HarddiskVolume2").size() * 2);
      normalizedParents.push_back(ToU16(*parent));
      std::u16string result = ToU16(*component) == u"V~1" ? u"VirtualLong" : ToU16(*component);
      expand->FileNameLength = static_cast<ULONG>(result.size() * 2);
      std::memcpy(expand->FileName, result.data(), result.size() * 2);
      return STATUS_SUCCESS;
    };
  }
  int generated = 0;
  bool answerNormalized = false;
  std::vector<ULONG> formats;
  std::vector<std::u16string> normalizedParents;
};

TEST_F(NameProvider, QueriesFromAboveReachTheProviderItsOwnQueriesGoBelowUnlessAsked) {
  fs->AddFile(u"\\a.txt", "a");
  LoadTestFilter(1, 100000);  // the provider, lower
  LoadTestFilter(0, 300000);
  RecordCreateNames(0, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, false);
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(sim::harness::ToUtf8(names[0]), "\\Device\\HarddiskVolume2\\V~1\\a.txt");
  EXPECT_EQ(generated, 1);

  // Normalized: asked for as such first; refused, the opened name is asked
  // for and each component goes through the normalize callback.
  names.clear();
  formats.clear();
  RecordCreateNames(0, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, false);
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(sim::harness::ToUtf8(names[0]), "\\Device\\HarddiskVolume2\\VirtualLong\\a.txt");
  EXPECT_EQ(formats, (std::vector<ULONG>{FLT_FILE_NAME_NORMALIZED, FLT_FILE_NAME_OPENED}));
  EXPECT_EQ(normalizedParents,
            (std::vector<std::u16string>{u"\\Device\\HarddiskVolume2\\",
                                         u"\\Device\\HarddiskVolume2\\VirtualLong"}));
  // A provider that answers the normalized request is taken at its word.
  names.clear();
  formats.clear();
  normalizedParents.clear();
  answerNormalized = true;
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(sim::harness::ToUtf8(names[0]), "\\Device\\HarddiskVolume2\\Normal\\a.txt");
  EXPECT_EQ(formats, (std::vector<ULONG>{FLT_FILE_NAME_NORMALIZED}));
  EXPECT_TRUE(normalizedParents.empty());

  // The provider's own queries: answered below it, or by itself on request.
  Slot(0).pre[IRP_MJ_CREATE] = nullptr;
  for (FLT_FILE_NAME_OPTIONS flag :
       {0u, static_cast<unsigned>(FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER)}) {
    names.clear();
    RecordCreateNames(1, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT | flag, false);
    ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(sim::harness::ToUtf8(names[0]),
              flag ? "\\Device\\HarddiskVolume2\\V~1\\a.txt" : "\\Device\\HarddiskVolume2\\a.txt");
  }
}

// The documented refusals (paging I/O, post-close, a short name in
// pre-create) and short names where they are allowed.
TEST_F(Names, RefusedRequestsAndShortNames) {
  enum class Where { PreCreate, PostCreate, PagingRead, PostClose, TopLevelIrpSet };
  struct Case {
    const char* what;
    Where where;
    ULONG format;
    NTSTATUS status;
    std::u16string name;
  };
  const Case cases[] = {
      {"short name in pre-create", Where::PreCreate, FLT_FILE_NAME_SHORT,
       STATUS_FLT_INVALID_NAME_REQUEST, u""},
      {"short name after the open", Where::PostCreate, FLT_FILE_NAME_SHORT, STATUS_SUCCESS,
       u"LONGFI~1.TXT"},
      {"opened name in paging I/O", Where::PagingRead, FLT_FILE_NAME_OPENED,
       STATUS_FLT_INVALID_NAME_REQUEST, u""},
      {"opened name in post-close", Where::PostClose, FLT_FILE_NAME_OPENED,
       STATUS_FLT_INVALID_NAME_REQUEST, u""},
      {"opened name with a top-level IRP", Where::TopLevelIrpSet, FLT_FILE_NAME_OPENED,
       STATUS_FLT_INVALID_NAME_REQUEST, u""},
      {"cache lookup with a top-level IRP", Where::TopLevelIrpSet,
       FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP,
       STATUS_FLT_NAME_CACHE_MISS, u""},
  };
  const Case* current = nullptr;
  auto query = [&](Where where, PFLT_CALLBACK_DATA data) {
    if (current->where != where) return;
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    statuses.push_back(FltGetFileNameInformation(data, current->format, &info));
    names.push_back(info ? ToU16(info->Name) : u"");
    if (info) FltReleaseFileNameInformation(info);
  };
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    query(Where::PreCreate, data);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    query(Where::PostCreate, data);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  Slot(0).pre[IRP_MJ_READ] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    const ULONG saved = data->Iopb->IrpFlags;
    data->Iopb->IrpFlags |= IRP_PAGING_IO;  // as the memory manager's reads carry
    query(Where::PagingRead, data);
    data->Iopb->IrpFlags = saved;
    IoSetTopLevelIrp(reinterpret_cast<PIRP>(FSRTL_FSP_TOP_LEVEL_IRP));  // as a file system's worker
    query(Where::TopLevelIrpSet, data);
    IoSetTopLevelIrp(nullptr);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  Slot(0).pre[IRP_MJ_CLOSE] = WithPost;
  Slot(0).post[IRP_MJ_CLOSE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                   FLT_POST_OPERATION_FLAGS) {
    query(Where::PostClose, data);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  for (const Case& c : cases) {
    current = &c;
    names.clear();
    statuses.clear();
    HANDLE h = nullptr;
    ASSERT_EQ(Open("\\??\\C:\\Dir\\LongFileName.txt", &h), STATUS_SUCCESS) << c.what;
    char byte;
    IO_STATUS_BLOCK iosb{};
    NtReadFile(h, nullptr, nullptr, nullptr, &iosb, &byte, 1, nullptr, nullptr);
    NtClose(h);
    ASSERT_EQ(statuses.size(), 1u) << c.what;
    EXPECT_EQ(statuses[0], c.status) << c.what;
    EXPECT_EQ(sim::harness::ToUtf8(names[0]), sim::harness::ToUtf8(c.name)) << c.what;
  }
}

// A provider that defers, asking for the name of the operation it was
// handed, is answered from below itself (here by the file system), though
// the operation's target instance is that of the filter above that asked.
TEST_F(NameProvider, AProvidersOwnQueryWithTheCallbackDataGoesBelowIt) {
  fs->AddFile(u"\\a.txt", "a");
  Slot(1).generateName = [](PFLT_INSTANCE, PFILE_OBJECT, PFLT_CALLBACK_DATA data,
                            FLT_FILE_NAME_OPTIONS options, PFLT_NAME_CONTROL name) {
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    NTSTATUS status = FltGetFileNameInformation(data, options, &info);
    if (!NT_SUCCESS(status)) return status;
    status = FltCheckAndGrowNameControl(name, info->Name.Length);
    if (NT_SUCCESS(status)) RtlCopyUnicodeString(&name->Name, &info->Name);
    FltReleaseFileNameInformation(info);
    return status;
  };
  LoadTestFilter(1, 100000);
  sim::harness::name_querier::Query query;
  query.post = false;
  query.options = FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT;
  sim::harness::Driver* querier = sim::harness::name_querier::Load(300000, query);
  ASSERT_NE(querier, nullptr);
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  auto answers = sim::harness::name_querier::TakeAnswers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, STATUS_SUCCESS);
  EXPECT_EQ(sim::harness::ToUtf8(answers[0].name), "\\Device\\HarddiskVolume2\\a.txt");
  EXPECT_EQ(sim::harness::UnloadDriver(querier, true), STATUS_SUCCESS);
}

// A file object a filter serves itself was never opened by the file system:
// a name query on it that no provider answers goes to the file system, and
// the verifier catches it there (it is not answered from FileName).
TEST_F(Names, QueryOnAFilterOwnedFileObjectReachesTheFileSystem) {
  static FSRTL_ADVANCED_FCB_HEADER header;
  header = {};
  FsRtlSetupAdvancedHeader(&header, nullptr);
  NTSTATUS status = STATUS_PENDING;
  Slot(0).pre[IRP_MJ_CREATE] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    data->Iopb->TargetFileObject->FsContext = &header;
    data->IoStatus.Status = STATUS_SUCCESS;
    data->IoStatus.Information = FILE_OPENED;
    return FLT_PREOP_COMPLETE;
  };
  Slot(0).pre[IRP_MJ_READ] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    status = FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED, &info);
    if (info) FltReleaseFileNameInformation(info);
    data->IoStatus.Status = STATUS_END_OF_FILE;
    return FLT_PREOP_COMPLETE;
  };
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    Slot(0).pre[major] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      data->IoStatus.Status = STATUS_SUCCESS;
      return FLT_PREOP_COMPLETE;
    };
  }
  LoadTestFilter(0, 300000);
  HANDLE h = nullptr;
  ASSERT_EQ(Open("\\??\\C:\\virtual.txt", &h), STATUS_SUCCESS);
  char byte;
  IO_STATUS_BLOCK iosb{};
  NtReadFile(h, nullptr, nullptr, nullptr, &iosb, &byte, 1, nullptr, nullptr);
  NtClose(h);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Io);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("never opened"), std::string::npos);
}

TEST_F(Names, DestinationNamesOfARename) {
  struct Case {
    const char* target;
    NTSTATUS status;
    const char* name;
  };
  const Case cases[] = {
      {"Other.txt", STATUS_SUCCESS, "\\Device\\HarddiskVolume2\\Dir\\Other.txt"},
      {"\\??\\C:\\DIR\\longfi~1.txt", STATUS_SUCCESS,
       "\\Device\\HarddiskVolume2\\Dir\\LongFileName.txt"},
      {"\\??\\D:\\x.txt", STATUS_NOT_SAME_DEVICE, ""},
      {"\\??\\C:\\nodir\\x.txt", STATUS_OBJECT_PATH_NOT_FOUND, ""},
  };
  std::vector<std::pair<NTSTATUS, std::string>> results;
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    for (const Case& c : cases) {
      std::u16string target = sim::harness::FromUtf8(c.target);
      PFLT_FILE_NAME_INFORMATION info = nullptr;
      NTSTATUS status = FltGetDestinationFileNameInformation(
          objects->Instance, data->Iopb->TargetFileObject, nullptr,
          reinterpret_cast<PWSTR>(target.data()), static_cast<ULONG>(target.size() * 2),
          FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info);
      results.emplace_back(status, info ? sim::harness::ToUtf8(info->Name) : "");
      if (info) FltReleaseFileNameInformation(info);
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  ASSERT_EQ(OpenAndClose("\\??\\C:\\dir\\LongFileName.txt"), STATUS_SUCCESS);
  ASSERT_EQ(results.size(), std::size(cases));
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i].first, cases[i].status) << cases[i].target;
    EXPECT_EQ(results[i].second, cases[i].name) << cases[i].target;
  }
}

}  // namespace
}  // namespace tavo_test
