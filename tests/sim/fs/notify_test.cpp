// Change notification through NtNotifyChangeDirectoryFile: which changes
// complete a request and the records they return (names, actions, the
// watched subtree), a change outside the filter leaving it pending until
// cleanup, a buffer too small, and the I/O manager's and the volume's
// refusals.
#include <functional>
#include <thread>

#include "fs_client.h"
#include "io/io_manager.h"

namespace sim::fs::testing {
namespace {

using NotifyTest = VolumeTest;

struct Request {
  IO_STATUS_BLOCK iosb{};
  alignas(8) unsigned char buffer[512] = {};
};

File OpenDirectory(Client& client, std::string_view path, bool synchronous) {
  return client.MustOpen(path, {.access = FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                .options = FILE_DIRECTORY_FILE,
                                .synchronous = synchronous});
}

NTSTATUS Notify(const File& dir, Request& r, ULONG filter, bool tree = false,
                ULONG length = sizeof(Request::buffer)) {
  return NtNotifyChangeDirectoryFile(dir.handle(), nullptr, nullptr, nullptr, &r.iosb, r.buffer,
                                     length, filter, tree);
}

// "added:name" per record.
std::vector<std::string> Records(const Request& r) {
  static const char* const actions[] = {"?", "added", "removed", "modified", "old", "new"};
  std::vector<std::string> out;
  const unsigned char* at = r.buffer;
  for (ULONG_PTR left = r.iosb.Information; left != 0;) {
    auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
    std::string name;
    for (ULONG i = 0; i < record->FileNameLength / sizeof(WCHAR); ++i)
      name += static_cast<char>(record->FileName[i]);
    out.push_back(std::string(actions[record->Action <= 5 ? record->Action : 0]) + ":" + name);
    if (record->NextEntryOffset == 0) break;
    EXPECT_EQ(record->NextEntryOffset % sizeof(ULONG), 0u);
    at += record->NextEntryOffset;
    left -= record->NextEntryOffset;
  }
  return out;
}

TEST_F(NotifyTest, ChangesCompleteAPendingRequestWithTheirRecords) {
  using Change = std::function<void(Client&, const std::string& w)>;
  struct Row {
    const char* what;
    ULONG filter;
    bool tree;
    Change change;
    std::vector<std::string> records;  // empty: the request stays pending
  };
  const Row rows[] = {
      {"file created",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       false,
       [](Client& c, const std::string& w) { c.Touch(w + "\\n"); },
       {"added:n"}},
      {"directory created, file names watched",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       false,
       [](Client& c, const std::string& w) { c.Mkdir(w + "\\d2"); },
       {}},
      {"directory created",
       FILE_NOTIFY_CHANGE_DIR_NAME,
       false,
       [](Client& c, const std::string& w) { c.Mkdir(w + "\\d2"); },
       {"added:d2"}},
      {"file deleted",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       false,
       [](Client& c, const std::string& w) {
         File f = c.MustOpen(w + "\\a", OpenArgs{DELETE});
         EXPECT_EQ(c.SetDisposition(f, true), STATUS_SUCCESS);
       },
       {"removed:a"}},
      {"renamed in place",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       false,
       [](Client& c, const std::string& w) {
         File f = c.MustOpen(w + "\\a", OpenArgs{DELETE});
         EXPECT_EQ(c.Rename(f, "b", false, true), STATUS_SUCCESS);
       },
       {"old:a", "new:b"}},
      {"moved out of a subfolder, tree watched",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       true,
       [](Client& c, const std::string& w) {
         File f = c.MustOpen(w + "\\d\\x", OpenArgs{DELETE});
         EXPECT_EQ(c.Rename(f, w + "\\a2", false), STATUS_SUCCESS);
       },
       {"removed:d\\x", "added:a2"}},
      {"subfolder change, tree not watched",
       FILE_NOTIFY_CHANGE_FILE_NAME,
       false,
       [](Client& c, const std::string& w) { c.Touch(w + "\\d\\y"); },
       {}},
      {"written",
       FILE_NOTIFY_CHANGE_LAST_WRITE,
       false,
       [](Client& c, const std::string& w) {
         File f = c.MustOpen(w + "\\a", {.access = FILE_GENERIC_WRITE});
         EXPECT_EQ(c.Write(f, "z"), STATUS_SUCCESS);
       },
       {"modified:a"}},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string w = "\\w" + std::to_string(index++);
    client_.Mkdir(w);
    client_.Touch(w + "\\a");
    client_.Mkdir(w + "\\d");
    client_.Touch(w + "\\d\\x");
    File dir = OpenDirectory(client_, w, false);
    Request r;
    ASSERT_EQ(Notify(dir, r, row.filter, row.tree), STATUS_PENDING);
    row.change(client_, w);
    if (row.records.empty()) {
      LARGE_INTEGER poll{};
      EXPECT_EQ(NtWaitForSingleObject(dir.handle(), FALSE, &poll), STATUS_TIMEOUT);
      dir.Reset();  // its cleanup completes the request
      sim::io::WaitForAsynchronousRequests();
      EXPECT_EQ(r.iosb.Status, STATUS_NOTIFY_CLEANUP);
    } else {
      EXPECT_EQ(NtWaitForSingleObject(dir.handle(), FALSE, nullptr), STATUS_SUCCESS);
      EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(Records(r), row.records);
    }
  }
}

TEST_F(NotifyTest, RefusedRequests) {
  client_.Mkdir("\\w");
  client_.Touch("\\f");
  const OpenArgs readOnly{.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE};
  struct Row {
    const char* what;
    File handle;
    ULONG filter;
    NTSTATUS status;
  } rows[] = {
      {"no filter", OpenDirectory(client_, "\\w", true), 0, STATUS_INVALID_PARAMETER},
      {"unknown filter bit", OpenDirectory(client_, "\\w", true), 0x1000,
       STATUS_INVALID_PARAMETER},
      {"no list access", client_.MustOpen("\\w", readOnly), FILE_NOTIFY_CHANGE_FILE_NAME,
       STATUS_ACCESS_DENIED},
      {"a file", client_.MustOpen("\\f", OpenArgs{FILE_LIST_DIRECTORY}),
       FILE_NOTIFY_CHANGE_FILE_NAME, STATUS_INVALID_PARAMETER},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    Request r;
    EXPECT_EQ(Notify(row.handle, r, row.filter), row.status);
  }
}

}  // namespace
}  // namespace sim::fs::testing
