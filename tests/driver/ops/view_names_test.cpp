// Names of the merged view: what a filter above the driver gets for the
// driver's own file objects and for files outside the view, the
// normalisation of components under the view, and creates relative to an
// open directory of the view.
#include <algorithm>
#include <cstring>
#include <functional>

#include "core/callbacks.h"
#include "allocation_sweep.h"
#include "harness/name_querier.h"
#include "harness/pool.h"
#include "served_fixture.h"
#include "setinfo/item_info_cache.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

// A filter above the driver (the query starts at the top of the stack) asks
// for the names of the driver's own file objects and of files outside the
// view.
TEST_F(ServedOperationsTest, NameQueriesFromAboveNameServerItemsAndDeferOthers) {
  struct Case {
    std::u16string path;
    std::u16string name;  // opened and normalized alike
  };
  const Case cases[] = {
      {kServerFile, kServerFile},
      {kServerFolder, kServerFolder},
      {kView, kView},
      {kOutside, kOutside},
      // A local copy is named by the file system: its backend name.
      {InView(u"\\local.txt"), kBackend + u"\\local.txt"},
      // The root opened with a trailing backslash keeps it; the volume
      // itself and a name shorter than the root are not the view's.
      {kView + u"\\", kView + u"\\"},
      {std::u16string(kVolumeDevice) + u"\\", std::u16string(kVolumeDevice) + u"\\"},
      {std::u16string(kVolumeDevice) + u"\\Users", std::u16string(kVolumeDevice) + u"\\Users"},
  };
  for (const Case& c : cases) {
    OpenResult opened = Opened(c.path, FILE_READ_ATTRIBUTES);
    NTSTATUS status = STATUS_PENDING;
    for (ULONG format : {FLT_FILE_NAME_OPENED, FLT_FILE_NAME_NORMALIZED}) {
      EXPECT_EQ(NameFromAbove(opened, format | FLT_FILE_NAME_QUERY_DEFAULT, &status),
                sim::harness::ToUtf8(c.name));
      EXPECT_EQ(status, STATUS_SUCCESS) << sim::harness::ToUtf8(c.path) << " format " << format;
    }
    // A short name holds no path: a server-only item has none on disk.
    // Anything the file system opened gets its short name from it; these
    // names are their own 8.3 forms, so it has none other to give.
    NameFromAbove(opened, FLT_FILE_NAME_SHORT | FLT_FILE_NAME_QUERY_DEFAULT, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND) << sim::harness::ToUtf8(c.path);
    Close(opened);
  }
}

// Creates relative to a handle of the view root or of a server-only folder
// reach the item they name: a virtual open, or a download and a reparse to
// the local copy.
TEST_F(ServedOperationsTest, RelativeOpensReachTheNamedItem) {
  AddServerItem(InView(u"\\Projects\\plan.txt"), {false, "the plan"});
  struct Case {
    const char* what;
    std::u16string root;
    std::u16string name;
    ACCESS_MASK access;
    std::u16string viewPath;
    std::string contents;  // empty: a virtual open, not read
  };
  const Case cases[] = {
      {"virtual, under the root", kView, u"report.docx", FILE_READ_ATTRIBUTES, kServerFile, ""},
      {"download, under the root", kView, u"report.docx", FILE_READ_DATA | READ_CONTROL,
       kServerFile, "twelve bytes"},
      {"virtual, under a server folder", kServerFolder, u"plan.txt", FILE_READ_ATTRIBUTES,
       InView(u"\\Projects\\plan.txt"), ""},
      {"download, under a server folder", kServerFolder, u"plan.txt", FILE_READ_DATA | READ_CONTROL,
       InView(u"\\Projects\\plan.txt"), "the plan"},
      // Not the view's: one backslash between the folder and the name.
      {"local, under the backend folder opened with a trailing backslash", kBackend + u"\\",
       u"local.txt", FILE_READ_DATA, kBackend + u"\\local.txt", "local"},
  };
  for (const Case& c : cases) {
    OpenResult root = Open(c.root, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_OPEN);
    ASSERT_EQ(root.status, STATUS_SUCCESS) << c.what;
    OpenResult opened = OpenRelative(root, c.name, c.access);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << c.what;
    if (c.contents.empty()) {
      std::vector<UCHAR> buffer(512);
      ASSERT_EQ(Query(opened, buffer.data(), 512, FileNameInformation), STATUS_SUCCESS);
      auto* record = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
      EXPECT_EQ(Utf8Of(record->FileName, record->FileNameLength), sim::harness::ToUtf8(c.viewPath))
          << c.what;
      // A filter above gets the same name, though the file object's own
      // name is relative and its related directory is gone after the create.
      NTSTATUS status = STATUS_PENDING;
      EXPECT_EQ(NameFromAbove(opened, FLT_FILE_NAME_NORMALIZED, &status),
                sim::harness::ToUtf8(c.viewPath));
      EXPECT_EQ(status, STATUS_SUCCESS) << c.what;
    } else {
      EXPECT_EQ(ReadAll(opened), c.contents) << c.what;
    }
    Close(opened);
    Close(root);
  }
}

// Normalising a component under the view keeps its characters and asks the
// client whether the item exists; a secondary-root parent is asked about on
// the merged view.
TEST_F(ServedOperationsTest, ComponentsUnderTheViewAreNormalizedByTheClient) {
  struct Case {
    std::u16string parent;
    std::u16string component;
    ULONG bufferLength;
    NTSTATUS status;
    std::u16string asked;
  };
  const Case cases[] = {
      {kView + u"\\", u"REPORT.docx", 64, STATUS_SUCCESS, InView(u"\\REPORT.docx")},
      {kView + u"\\", u"absent.txt", 64, STATUS_NO_SUCH_FILE, InView(u"\\absent.txt")},
      {kSecondary + u"\\", u"Projects", 64, STATUS_SUCCESS, InView(u"\\Projects")},
      // Room for the header only: nothing of the component is copied.
      {kView + u"\\", u"Projects", 12, STATUS_BUFFER_TOO_SMALL, InView(u"\\Projects")},
  };
  for (const Case& c : cases) {
    sim::harness::OwnedUnicodeString parent(c.parent), component(c.component);
    std::vector<UCHAR> buffer(c.bufferLength + 8, 0xCC);
    auto* names = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer.data());
    const std::size_t before = Sent(protocol::kRequestItemQuery).size();
    EXPECT_EQ(FilterNormalizeNameComponentEx(nullptr, nullptr, parent.get(), 0, component.get(),
                                             names, c.bufferLength, 0, nullptr),
              c.status)
        << sim::harness::ToUtf8(c.component);
    for (ULONG i = c.bufferLength; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC);
    const auto sent = Sent(protocol::kRequestItemQuery);
    if (sent.size() > before) {
      EXPECT_EQ(sim::harness::ToUtf8(sent.back().Name(8, 12)), sim::harness::ToUtf8(c.asked));
    }
    if (c.status == STATUS_SUCCESS) {
      ASSERT_EQ(names->FileNameLength, c.component.size() * 2);
      EXPECT_EQ(std::memcmp(names->FileName, c.component.data(), names->FileNameLength), 0);
    } else {
      EXPECT_EQ(names->FileNameLength, 0u);
    }
  }
  // Pool running out at any allocation: the row's result, the component
  // refused, or unknown when the client could not be asked; never a
  // partial copy.
  const std::uint32_t tag = sim::harness::PoolTag("Tavo");
  for (const Case& c : cases) {
    sim::harness::OwnedUnicodeString parent(c.parent), component(c.component);
    std::vector<UCHAR> buffer(c.bufferLength + 8);
    auto* names = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer.data());
    for (std::uint64_t nth = 1;; ++nth) {
      EmptyItemInfoCache();
      std::fill(buffer.begin(), buffer.end(), 0xCC);
      sim::faults::Clear();
      sim::faults::FailNth(sim::faults::Site::PoolAllocation, nth, tag);
      const NTSTATUS status = FilterNormalizeNameComponentEx(
          nullptr, nullptr, parent.get(), 0, component.get(), names, c.bufferLength, 0, nullptr);
      const bool failed = sim::faults::FailedCount(sim::faults::Site::PoolAllocation) != 0;
      sim::faults::Clear();
      for (ULONG i = c.bufferLength; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC);
      if (!failed) {
        EXPECT_EQ(status, c.status);
        break;
      }
      EXPECT_TRUE(status == c.status || status == STATUS_INSUFFICIENT_RESOURCES ||
                  status == STATUS_NO_SUCH_FILE)
          << sim::harness::ToUtf8(c.component) << " " << nth << ": " << std::hex << status;
      if (status != STATUS_SUCCESS && status != STATUS_INSUFFICIENT_RESOURCES) {
        EXPECT_EQ(names->FileNameLength, 0u);
      }
    }
  }
  EmptyItemInfoCache();

  // A success without the item's information is no answer.
  client_->OnRequest(protocol::kRequestItemQuery, ScriptedAnswer::Now(0));
  sim::harness::OwnedUnicodeString parent(kView + u"\\"), component(u"ghost.txt");
  FILE_NAMES_INFORMATION names[8];
  EXPECT_EQ(FilterNormalizeNameComponentEx(nullptr, nullptr, parent.get(), 0, component.get(),
                                           names, sizeof(names), 0, nullptr),
            STATUS_NO_SUCH_FILE);
}

// On a thread whose top-level IRP is set the Filter Manager names nothing;
// the driver still decides the creates of the view from the file object's
// name, so nothing reaches the view's folder on disk.
TEST_F(ServedOperationsTest, CreatesWithATopLevelIrpAreStillDecided) {
  IoSetTopLevelIrp(reinterpret_cast<PIRP>(FSRTL_FSP_TOP_LEVEL_IRP));
  OpenResult virtualOpen = Open(kServerFile, FILE_READ_ATTRIBUTES, FILE_OPEN);
  OpenResult created = Open(InView(u"\\new.txt"), GENERIC_WRITE, FILE_CREATE);
  IoSetTopLevelIrp(nullptr);
  EXPECT_EQ(virtualOpen.status, STATUS_SUCCESS);
  EXPECT_NE(EntryOf(kServerFile), nullptr);
  EXPECT_EQ(created.status, STATUS_SUCCESS);
  EXPECT_FALSE(VolumeHas(u"\\Users\\ann\\Tavo\\new.txt"));
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\new.txt"));
  Close(virtualOpen);
  Close(created);

  // Relative to a server folder that was itself opened relative to the
  // root: the folder is named from its entry, not from its own (relative)
  // file name.
  AddServerItem(InView(u"\\Projects\\plan.txt"), {false, "the plan"});
  OpenResult root = Opened(kView, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_OPEN);
  OpenResult folder = OpenRelative(root, u"Projects", FILE_LIST_DIRECTORY);
  ASSERT_EQ(folder.status, STATUS_SUCCESS);
  IoSetTopLevelIrp(reinterpret_cast<PIRP>(FSRTL_FSP_TOP_LEVEL_IRP));
  OpenResult plan = OpenRelative(folder, u"plan.txt", FILE_READ_ATTRIBUTES);
  IoSetTopLevelIrp(nullptr);
  EXPECT_EQ(plan.status, STATUS_SUCCESS);
  Close(plan);
  Close(folder);
  Close(root);
}

// What a filter above gets when the name cannot be made: a name of the view
// whose full device path would not fit a counted string, and pool running
// out at any allocation of the create (the name is then right or refused).
TEST_F(ServedOperationsTest, NamesThatCannotBeMadeFailTheQuery) {
  sim::harness::name_querier::Query query;
  query.post = false;
  query.options = FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT;
  sim::harness::Driver* querier = sim::harness::name_querier::Load(400000, query);
  ASSERT_NE(querier, nullptr);
  OpenResult root = Opened(kView, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_OPEN);
  sim::harness::name_querier::TakeAnswers();
  // Relative to the root, the volume-relative name fills a counted string
  // exactly; the volume's device name in front does not fit.
  const std::size_t rootChars = kView.size() - std::char_traits<char16_t>::length(kVolumeDevice);
  const std::u16string longName(UNICODE_STRING_MAX_BYTES / 2 - rootChars - 1, u'x');
  OpenResult tooLong = OpenRelative(root, longName, FILE_READ_ATTRIBUTES);
  Close(tooLong);
  auto answers = sim::harness::name_querier::TakeAnswers();
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers.front().status, STATUS_NAME_TOO_LONG);
  Close(root);

  // The same with pool running out, for an open by full path and one
  // relative to an open server folder (named from its entry).
  using sim::faults::Site;
  const std::uint32_t tag = sim::harness::PoolTag("Tavo");
  AddServerItem(InView(u"\\Projects\\plan.txt"), {false, "the plan"});
  OpenResult folder = Opened(kServerFolder, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_OPEN);
  const struct {
    const char* what;
    std::u16string name;
    std::function<OpenResult()> open;
  } opens[] = {
      {"full path", kServerFile, [&] { return Open(kServerFile, FILE_READ_ATTRIBUTES, FILE_OPEN); }},
      {"relative to a server folder", InView(u"\\Projects\\plan.txt"),
       [&] { return OpenRelative(folder, u"plan.txt", FILE_READ_ATTRIBUTES); }},
  };
  for (const auto& open : opens) {
    bool refused = false;
    SweepAllocations(Site::PoolAllocation, tag, [&](std::uint64_t nth) {
      OpenResult opened = open.open();
      if (nth == 0) {
        EXPECT_EQ(opened.status, STATUS_SUCCESS) << open.what;
      } else {
        sim::faults::Clear();  // the close may allocate as it likes
      }
      if (opened.status == STATUS_SUCCESS) Close(opened);
      for (const auto& answer : sim::harness::name_querier::TakeAnswers()) {
        if (nth == 0) continue;
        if (answer.status == STATUS_INSUFFICIENT_RESOURCES) {
          refused = true;
          continue;
        }
        ASSERT_EQ(answer.status, STATUS_SUCCESS) << open.what << " " << nth;
        EXPECT_EQ(sim::harness::ToUtf8(answer.name), sim::harness::ToUtf8(open.name)) << nth;
      }
    });
    EXPECT_TRUE(refused) << open.what;
  }
  Close(folder);
  EXPECT_EQ(sim::harness::UnloadDriver(querier, true), STATUS_SUCCESS);
}

// A filter above naming the open of a rename target's parent (marked by the
// I/O manager) gets the parent's name when the client does not know the
// target; an ordinary create that asks for the same access is named as
// itself.
TEST_F(ServedOperationsTest, OnlyATargetParentOpenIsNamedAsTheParent) {
  sim::harness::name_querier::Query query;
  query.post = false;
  query.options = FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT;
  sim::harness::Driver* querier = sim::harness::name_querier::Load(400000, query);
  ASSERT_NE(querier, nullptr);
  struct Case {
    const char* what;
    ULONG flags;  // of the driver-issued create
    std::u16string name;
  };
  const Case cases[] = {
      {"target parent", IO_OPEN_TARGET_DIRECTORY, InView(u"\\Projects\\")},
      {"ordinary create", 0, InView(u"\\Projects\\moved.txt")},
  };
  for (const Case& c : cases) {
    sim::harness::OwnedUnicodeString path(InView(u"\\Projects\\moved.txt"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    const NTSTATUS status = FltCreateFileEx2(
        Globals.FilterHandle, nullptr, &handle, nullptr, SYNCHRONIZE | FILE_ADD_FILE, &attributes,
        &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, c.flags, nullptr);
    if (NT_SUCCESS(status)) FltClose(handle);
    const auto answers = sim::harness::name_querier::TakeAnswers();
    ASSERT_FALSE(answers.empty()) << c.what;
    EXPECT_EQ(sim::harness::ToUtf8(answers.front().name), sim::harness::ToUtf8(c.name)) << c.what;
  }
  EXPECT_EQ(sim::harness::UnloadDriver(querier, true), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tavo::testing
