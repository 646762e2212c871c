// The opt-in request time-out, with a client that acknowledges every request
// and answers none: each place that waits for the client gives up when the
// limit passes on the simulated clock (not a moment before), fails as it
// fails without an answer, frees its record and keeps no table lock.
#include <atomic>
#include <thread>

#include "harness/clock.h"
#include "harness/registry.h"
#include "harness/threads.h"
#include "setinfo_fixture.h"

namespace tavo::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLimitSeconds = 30;

enum class Place { Create, ShortNameWalk, LastCloseOfDeletedItem, Listing, Rename };

struct WaitRow {
  const char* what;
  Place place;
  std::uint32_t hungType;  // the request the client never answers
  NTSTATUS expected;       // what the operation returns
  bool serverKeepsFile;    // the file is still on the server afterwards
};

class BoundedWaitTest : public SetInfoTest, public ::testing::WithParamInterface<WaitRow> {
 protected:
  void SetUp() override {
    sim::harness::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo",
                                   "RequestTimeoutSeconds", kLimitSeconds);
    SetInfoTest::SetUp();
    AddServerItem(file_, {false, "twelve bytes"});
    AddServerItem(folder_, {true, {}});
  }

  NTSTATUS Act(Place place) {
    switch (place) {
      case Place::Create:
        return Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status;
      case Place::ShortNameWalk:
        return Open(InView(u"\\REPORT~1.DOC"), FILE_READ_ATTRIBUTES, FILE_OPEN).status;
      case Place::LastCloseOfDeletedItem: {
        OpenResult opened = Open(file_, DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE);
        if (opened.status != STATUS_SUCCESS) return opened.status;
        Close(opened);
        return STATUS_SUCCESS;
      }
      case Place::Listing: {
        OpenResult opened = Open(folder_, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
        if (opened.status != STATUS_SUCCESS) return opened.status;
        const NTSTATUS status = sim::harness::RunAs(opened.processId, [&] {
          IO_STATUS_BLOCK iosb{};
          std::uint8_t buffer[512];
          return NtQueryDirectoryFile(opened.handle, nullptr, nullptr, nullptr, &iosb, buffer,
                                      sizeof(buffer), FileDirectoryInformation, FALSE, nullptr,
                                      TRUE);
        });
        Close(opened);
        return status;
      }
      case Place::Rename: {
        OpenResult opened = Open(file_, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (opened.status != STATUS_SUCCESS) return opened.status;
        const NTSTATUS status = Rename(opened, u"memo.docx").status;
        Close(opened);
        return status;
      }
    }
    return STATUS_INVALID_PARAMETER;
  }

  // The first request of `type` the client received, waiting for it (real time).
  std::optional<DriverMessage> WaitForRequestOf(std::uint32_t type) {
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms)) {
      for (const DriverMessage& request : client_->Requests())
        if (request.type == type) return request;
    }
    return std::nullopt;
  }

  const std::u16string file_ = InView(u"\\report.docx");
  const std::u16string folder_ = InView(u"\\Projects");
};

TEST_P(BoundedWaitTest, UnansweredRequestEndsAtTheLimit) {
  const WaitRow& row = GetParam();
  // Only the first request of the type hangs: the short-name walk's
  // failure is followed by an item query that the server answers.
  std::atomic<bool> hung{false};
  client_->OnRequest(row.hungType, [&](const DriverMessage& message) {
    if (!hung.exchange(true)) return ScriptedAnswer::Never();
    return row.hungType == protocol::kRequestItemQuery ? AnswerItemQuery(message)
                                                       : ScriptedAnswer::Never();
  });
  std::atomic<PKTHREAD> thread{nullptr};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread actor([&] {
    thread = KeGetCurrentThread();
    status = Act(row.place);
  });
  const std::optional<DriverMessage> request = WaitForRequestOf(row.hungType);
  ASSERT_TRUE(request.has_value());
  ASSERT_TRUE(sim::harness::WaitUntilThreadWaits(thread));

  sim::harness::AdvanceClock(std::chrono::seconds(kLimitSeconds - 1));
  EXPECT_TRUE(sim::harness::WaitUntilThreadWaits(thread));  // still within the limit
  EXPECT_EQ(status.load(), STATUS_PENDING);
  sim::harness::AdvanceClock(1s);
  actor.join();
  EXPECT_EQ(status.load(), row.expected);
  EXPECT_EQ(ServerHas(file_), row.serverKeepsFile);

  // The late answer finds nothing to deliver to and is acknowledged.
  const std::uint32_t late = 1;
  EXPECT_EQ(client_->Channel().Answer(*request, 0, &late, sizeof(late)).hresult, S_OK);
  // No record, lock or open item is left: an ordinary unload goes through
  // (the fixture's pool check then finds nothing of the driver's).
  EXPECT_EQ(Unload(/*mandatory=*/false), STATUS_SUCCESS);
}

const WaitRow kRows[] = {
    {"create asking for item information", Place::Create, protocol::kRequestItemQuery,
     STATUS_OBJECT_NAME_NOT_FOUND, true},
    {"short name walk", Place::ShortNameWalk, protocol::kRequestItemQuery,
     STATUS_OBJECT_NAME_NOT_FOUND, true},
    {"last close of a deleted item", Place::LastCloseOfDeletedItem, protocol::kRequestDeleteItem,
     STATUS_SUCCESS, true},
    {"listing", Place::Listing, protocol::kRequestDirectoryListing, STATUS_IO_TIMEOUT, true},
    {"rename of a server item", Place::Rename, protocol::kRequestRenameItem,
     STATUS_ACCESS_DENIED, true},
};

INSTANTIATE_TEST_SUITE_P(Places, BoundedWaitTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return RowName(info); });

}  // namespace
}  // namespace tavo::testing
