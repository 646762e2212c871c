// Scenario fixture of the create path: the driver loaded and configured, a
// scripted client that plays a server (item information, downloads into the
// backend folder, create-path and delete answers), and opens made through
// the user-mode NT API as a chosen process.
#pragma once

#include <ntapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "request_payloads.h"

namespace tavo::testing {

const std::u16string kView = kMergedViewRoot;    // \Device\HarddiskVolume3\Users\ann\Tavo
const std::u16string kBackend = kBackendRoot;    // ...\AppData\Local\Tavo\cache
const std::u16string kSecondary = kSecondaryViewRoot;
// The backend root relative to its volume.
const std::u16string kBackendOnVolume = u"\\Users\\ann\\AppData\\Local\\Tavo\\cache";

// An item the fake server holds.
struct ServerItem {
  bool directory = false;
  std::string contents;
};

// A request payload with a name at `nameOffset`, decoded.
struct SentRequest {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> payload;
  std::uint32_t U32(std::size_t offset) const {
    std::uint32_t value = 0;
    if (offset + 4 <= payload.size()) std::memcpy(&value, payload.data() + offset, 4);
    return value;
  }
  // The NUL-terminated name whose length field is at `lengthOffset`.
  std::u16string Name(std::size_t lengthOffset, std::size_t nameOffset) const;
};

struct OpenResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  HANDLE handle = nullptr;
  std::uint32_t processId = 0;  // whose handle table holds the handle
};

class CreatePathTest : public DriverTest {
 protected:
  void SetUp() override;

  // The fake server, keyed by merged-view path (in any case).
  void AddServerItem(const std::u16string& viewPath, ServerItem item);
  bool ServerHas(const std::u16string& viewPath);
  // Renames a server item (and what lies below it); false when absent.
  bool MoveServerItem(const std::u16string& from, const std::u16string& to);
  // A local copy under the backend root, made directly on the volume.
  void AddBackendFile(const std::u16string& relative, const std::string& contents = "local");
  void AddBackendDirectory(const std::u16string& relative);

  // Answers the client gives (defaults: download 1 and made available,
  // create-path 1, delete 1).
  void SetDownloadAnswer(std::uint8_t answer) { downloadAnswer_ = answer; }
  void SetCreatePathAnswer(std::uint8_t answer) { createPathAnswer_ = answer; }
  void SetDeleteAnswer(std::uint8_t answer) { deleteAnswer_ = answer; }

  // Opens `path` (a full device path) with NtCreateFile as `processId`.
  OpenResult Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition,
                  ULONG options = 0, std::uint32_t processId = 0);
  // Open() of an item the test expects to open.
  OpenResult Opened(const std::u16string& path, ACCESS_MASK access, ULONG disposition = FILE_OPEN,
                    ULONG options = 0, std::uint32_t processId = 0) {
    OpenResult opened = Open(path, access, disposition, options, processId);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << sim::harness::ToUtf8(path);
    return opened;
  }
  // Opens `name` relative to the open directory `dir`, as its process.
  OpenResult OpenRelative(const OpenResult& dir, const std::u16string& name, ACCESS_MASK access,
                          ULONG disposition = FILE_OPEN, ULONG options = 0);
  // Handle operations, made as the process that opened the handle.
  std::string ReadAll(const OpenResult& opened);
  static void Close(OpenResult& opened);

  // Requests of one type the client received, in order.
  std::vector<SentRequest> Sent(std::uint32_t type) const;
  std::size_t ItemQueries() const;
  // Whether the volume has the path (volume-relative).
  bool VolumeHas(const std::u16string& path);

  std::uint32_t explorer_ = 0;
  std::uint32_t indexer_ = 0;  // on the block list

  // How the fake server answers, for tests that hold some answers back.
  ScriptedAnswer AnswerItemQuery(const DriverMessage& message);
  ScriptedAnswer AnswerDelete(const DriverMessage& message);

 private:
  OpenResult OpenUnder(HANDLE root, const std::u16string& name, ACCESS_MASK access,
                       ULONG disposition, ULONG options, std::uint32_t processId);
  sim::fs::FileSpec BackendSpec(const std::u16string& viewPath, const ServerItem& item) const;
  ScriptedAnswer AnswerDownload(const DriverMessage& message);
  ScriptedAnswer AnswerCreatePath(const DriverMessage& message);

  // Names on the server are case-insensitive, as in the view.
  struct IgnoringCase {
    static char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }
    bool operator()(const std::u16string& a, const std::u16string& b) const {
      return std::lexicographical_compare(
          a.begin(), a.end(), b.begin(), b.end(),
          [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
    }
  };
  std::mutex serverLock_;
  std::map<std::u16string, ServerItem, IgnoringCase> server_;
  std::uint8_t downloadAnswer_ = 1;
  std::uint8_t createPathAnswer_ = 1;
  std::uint8_t deleteAnswer_ = 1;
};

// The name of a path relative to the merged view.
inline std::u16string InView(const std::u16string& relative) {
  return kView + relative;
}

}  // namespace tavo::testing

#include <algorithm>

#include "create/open_handle_table.h"
#include "harness/debug_log.h"

namespace tavo::testing {

// The entry of a merged-view path in OpenHandleTable, or null.
inline OpenHandleEntry* EntryOf(const std::u16string& path) {
  sim::harness::OwnedUnicodeString name(path);
  OpenHandleEntry* entry = nullptr;
  UCHAR created = 0;
  return NT_SUCCESS(FindOrAddOpenHandleEntry(nullptr, name.get(), &entry, &created, 0)) ? entry
                                                                                          : nullptr;
}

inline std::size_t OpenerCount(const OpenHandleEntry* entry) {
  std::size_t count = 0;
  for (PLIST_ENTRY link = entry->Opens.Openers.Flink; link != &entry->Opens.Openers; link = link->Flink) ++count;
  return count;
}

// Whether a debug line since the last call contains `text`.
inline bool Printed(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace tavo::testing
