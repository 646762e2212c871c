// Sixteen application threads open, read, list, query, rename, delete and
// close items inside the view and outside it over minutes of simulated
// time, while the client answers at once, late, out of order, refuses, or
// never answers (the waiting thread is then alerted), disconnects and
// reconnects, and the configuration and lists are reloaded. A watchdog
// fails the run when a thread makes no progress; the run ends with every
// handle closed, the driver unloaded and nothing leaked.
//
// A longer run: test_stress --stress_operations=<per thread>.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "core/globals.h"
#include "create_path_fixture.h"
#include "fs/volume.h"
#include "harness/clock.h"
#include "harness/threads.h"

namespace tavo::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 16;
constexpr int kServerFiles = 6;
// A thread whose operation count stays still this long (real time) is
// stuck: no alert, answer or reconnection freed it.
constexpr auto kStuckBound = 60s;

std::size_t OperationsPerThread() {
  const std::string flag = "--stress_operations=";
  for (const std::string& arg : ::testing::internal::GetArgvs()) {
    if (arg.rfind(flag, 0) == 0) return std::stoul(arg.substr(flag.size()));
  }
  return 40;
}

std::u16string Numbered(const char16_t* stem, int n, const char16_t* suffix = u"") {
  return stem + std::u16string(1, static_cast<char16_t>(u'0' + n % 10)) + suffix;
}

struct Counts {
  std::atomic<std::uint64_t> operations{0}, late{0}, outOfOrder{0}, refused{0}, never{0},
      alerts{0}, reconnects{0}, reloads{0};
};

struct AppThread {
  std::atomic<PKTHREAD> self{nullptr};
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> finished{false};
  std::uint64_t seenByChaos = ~0ull;  // the chaos thread's own
  int stillRounds = 0;
  std::thread thread;
};

class StressTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    RestockServer();
    AddBackendFile(u"\\local.txt", "local copy");
    sim::fs::FileSpec outside;
    outside.path = u"\\Users\\ann\\notes.txt";
    outside.contents = "outside the view";
    ASSERT_EQ(volume_->Populate({outside}), STATUS_SUCCESS);
    for (std::uint32_t type = protocol::kRequestDownload; type <= protocol::kRequestCreatePath; ++type) {
      client_->OnRequest(type, [this](const DriverMessage& m) { return Decide(m); });
    }
  }

  // Renames and deletes take items away; the server gets them back.
  void RestockServer() {
    for (int i = 0; i < kServerFiles; ++i) AddServerItem(InView(Numbered(u"\\file", i, u".txt")), {false, "server"});
    AddServerItem(InView(u"\\Folder"), {true, {}});
  }

  std::uint32_t Random(std::uint32_t below) {
    std::lock_guard guard(randomLock_);
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(random_);
  }

  // On the pump's thread: how this request is answered.
  ScriptedAnswer Decide(const DriverMessage& message) {
    const std::uint32_t roll = Random(100);
    if (roll < 6) {
      ++counts_.refused;
      return ScriptedAnswer::Refused(static_cast<std::int32_t>(STATUS_ACCESS_DENIED));
    }
    if (roll < 12) {
      ++counts_.never;
      return ScriptedAnswer::Never();
    }
    if (roll < 40) {
      ++counts_.late;
      return ScriptedAnswer::Held();
    }
    return Serve(message);
  }

  // The fake server's answer.
  ScriptedAnswer Serve(const DriverMessage& message) {
    switch (message.type) {
      case protocol::kRequestItemQuery: return AnswerItemQuery(message);
      case protocol::kRequestDeleteItem: return AnswerDelete(message);
      case protocol::kRequestCreatePath: return ScriptedAnswer::Now(0, {protocol::kCreatePathPrepared});
      case protocol::kRequestRenameItem: {
        const SentRequest sent{message.type, message.payload};
        const std::uint32_t oldLength = sent.U32(8);
        const bool moved = MoveServerItem(sent.Name(8, protocol::kRenameNamesOffset),
                                          sent.Name(12, protocol::kRenameNamesOffset + oldLength));
        const std::uint32_t answer = moved ? protocol::kRenameDone : protocol::kRenameNoAnswer;
        return ScriptedAnswer::Now(moved ? 0 : STATUS_OBJECT_NAME_NOT_FOUND, Bytes(&answer, 4));
      }
      case protocol::kRequestDirectoryListing:
        if (PurposeOf(message) == protocol::kDirectoryQueryDeleteCheck) {
          return ScriptedAnswer::Now(0, {protocol::kDeleteCheckMayDelete});
        }
        return ScriptedAnswer::Now(STATUS_NO_MORE_FILES);
      default:  // downloads: the server is read-only for this run
        return ScriptedAnswer::Now(STATUS_ACCESS_DENIED);
    }
  }
  static std::uint32_t PurposeOf(const DriverMessage& message) {
    return SentRequest{message.type, message.payload}.U32(8);
  }

  // One operation of an application thread; statuses vary with the
  // client's mood and are not checked here, the end state is.
  void Operate(int thread, std::mt19937& random) {
    const int n = static_cast<int>(random() % kServerFiles);
    const std::u16string file = InView(Numbered(u"\\file", n, u".txt"));
    switch (random() % 8) {
      case 0: {
        OpenResult opened = Open(file, FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (NT_SUCCESS(opened.status)) {
          FILE_BASIC_INFORMATION basic{};
          IO_STATUS_BLOCK iosb{};
          sim::harness::RunAs(opened.processId, [&] {
            return NtQueryInformationFile(opened.handle, &iosb, &basic, sizeof(basic), FileBasicInformation);
          });
        }
        Close(opened);
        break;
      }
      case 1: {
        OpenResult opened = Open(file, GENERIC_READ, FILE_OPEN);
        if (NT_SUCCESS(opened.status)) ReadAll(opened);
        Close(opened);
        break;
      }
      case 2: {
        OpenResult opened = Open(random() % 2 ? kView : InView(u"\\Folder"), FILE_LIST_DIRECTORY,
                                 FILE_OPEN, FILE_DIRECTORY_FILE);
        if (NT_SUCCESS(opened.status)) {
          std::array<std::uint8_t, 512> buffer{};
          IO_STATUS_BLOCK iosb{};
          sim::harness::RunAs(opened.processId, [&] {
            return NtQueryDirectoryFile(opened.handle, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                        buffer.size(), FileNamesInformation, FALSE, nullptr, TRUE);
          });
        }
        Close(opened);
        break;
      }
      case 3: {
        OpenResult opened = Open(file, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (NT_SUCCESS(opened.status)) {
          const std::u16string target = InView(Numbered(u"\\renamed", thread, u".txt"));
          std::vector<std::uint8_t> info(sizeof(FILE_RENAME_INFORMATION) + target.size() * 2, 0);
          auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(info.data());
          rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
          std::memcpy(rename->FileName, target.data(), target.size() * 2);
          IO_STATUS_BLOCK iosb{};
          sim::harness::RunAs(opened.processId, [&] {
            return NtSetInformationFile(opened.handle, &iosb, info.data(), static_cast<ULONG>(info.size()),
                                        FileRenameInformation);
          });
        }
        Close(opened);
        break;
      }
      case 4: {
        OpenResult opened = Open(file, DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE);
        Close(opened);
        break;
      }
      case 5: {
        OpenResult opened = Open(InView(u"\\local.txt"), GENERIC_READ, FILE_OPEN);
        if (NT_SUCCESS(opened.status)) ReadAll(opened);
        Close(opened);
        break;
      }
      case 6: {
        OpenResult opened = Open(std::u16string(kVolumeDevice) + u"\\Users\\ann\\notes.txt", GENERIC_READ, FILE_OPEN);
        if (NT_SUCCESS(opened.status)) ReadAll(opened);
        Close(opened);
        break;
      }
      default: {
        OpenResult opened = Open(InView(Numbered(u"\\new", thread, u".txt")), GENERIC_WRITE, FILE_OPEN_IF);
        Close(opened);
        break;
      }
    }
  }

  // One round of the client's bad days, on the chaos thread: the clock
  // moves, late answers arrive (a batch in reverse order), threads waiting
  // since the last round are alerted, and now and then the client
  // reconnects or reloads the configuration and lists.
  void ChaosRound(std::array<AppThread, kThreads>& threads, std::mt19937& random) {
    sim::harness::AdvanceClock(5s);
    std::vector<DriverMessage> held = client_->TakeHeld();
    if (held.size() > 1) {
      ++counts_.outOfOrder;
      std::reverse(held.begin(), held.end());
    }
    for (const DriverMessage& request : held) {
      const ScriptedAnswer answer = Serve(request);
      client_->Channel().Answer(request, answer.status, answer.data.data(),
                                static_cast<std::uint32_t>(answer.data.size()));
    }
    for (AppThread& app : threads) {
      const std::uint64_t done = app.done.load();
      app.stillRounds = done == app.seenByChaos ? app.stillRounds + 1 : 0;
      app.seenByChaos = done;
      PKTHREAD self = app.self.load();
      if (app.stillRounds >= 2 && self != nullptr && !app.finished && sim::harness::IsThreadWaiting(self)) {
        sim::harness::AlertThread(self);
        ++counts_.alerts;
      }
    }
    switch (random() % 40) {
      case 0:
        client_->Disconnect();
        ASSERT_EQ(client_->Connect(), S_OK);
        ++counts_.reconnects;
        break;
      case 1:
        client_->Channel().Configure(1, kMergedViewRoot, kBackendRoot, kSecondaryViewRoot);
        client_->Channel().SendAllowList({{u"explorer.exe", u""}});
        client_->Channel().SendBlockList({{u"indexer.exe", u""}, {u"backup.exe", u".txt"}});
        ++counts_.reloads;
        break;
      case 2:
        RestockServer();
        break;
      default:
        break;
    }
  }

  std::mutex randomLock_;
  std::mt19937 random_{19};
  Counts counts_;
};

TEST_F(StressTest, SixteenThreadsAgainstAMoodyClient) {
  const std::size_t perThread = OperationsPerThread();
  std::array<AppThread, kThreads> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads[i].thread = std::thread([this, i, perThread, &app = threads[i]] {
      app.self = KeGetCurrentThread();
      std::mt19937 random(static_cast<std::uint32_t>(i));
      for (std::size_t op = 0; op < perThread; ++op) {
        Operate(i, random);
        ++app.done;
        ++counts_.operations;
      }
      app.finished = true;
    });
  }

  // The chaos thread runs until every application thread is done; the
  // watchdog looks on from here.
  std::atomic<bool> stop{false};
  std::thread chaos([&] {
    std::mt19937 random(7);
    while (!stop) {
      ChaosRound(threads, random);
      std::this_thread::sleep_for(2ms);
    }
  });
  std::array<std::uint64_t, kThreads> lastDone{};
  std::array<std::chrono::steady_clock::time_point, kThreads> since;
  since.fill(std::chrono::steady_clock::now());
  for (bool allDone = false; !allDone;) {
    std::this_thread::sleep_for(20ms);
    allDone = true;
    for (int i = 0; i < kThreads; ++i) {
      if (threads[i].finished) continue;
      allDone = false;
      const std::uint64_t done = threads[i].done;
      const auto now = std::chrono::steady_clock::now();
      if (done != lastDone[i]) {
        lastDone[i] = done;
        since[i] = now;
      } else if (now - since[i] > kStuckBound) {
        std::fprintf(stderr, "stress: thread %d stuck after %llu operations\n", i,
                     static_cast<unsigned long long>(done));
        std::abort();  // a stuck thread cannot be joined: fail the whole run
      }
    }
  }
  stop = true;
  chaos.join();
  for (AppThread& app : threads) app.thread.join();

  std::printf("stress: %llu operations; faults: %llu late (%llu batches out of order), %llu refused, "
              "%llu never answered, %llu alerts, %llu reconnections, %llu reloads\n",
              static_cast<unsigned long long>(counts_.operations.load()),
              static_cast<unsigned long long>(counts_.late.load()),
              static_cast<unsigned long long>(counts_.outOfOrder.load()),
              static_cast<unsigned long long>(counts_.refused.load()),
              static_cast<unsigned long long>(counts_.never.load()),
              static_cast<unsigned long long>(counts_.alerts.load()),
              static_cast<unsigned long long>(counts_.reconnects.load()),
              static_cast<unsigned long long>(counts_.reloads.load()));
  EXPECT_EQ(counts_.operations.load(), perThread * kThreads);

  // Every handle is closed: nothing is open on the volume, no server item
  // is left in the table, nothing was made in the view's folder on disk,
  // and the driver unloads without being forced and without a leak (the
  // fixture's check).
  EXPECT_EQ(RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE), nullptr);
  EXPECT_EQ(volume_->OpenFileObjectCount(), 0u);
  const std::string tree = volume_->DumpTree({false, false});
  EXPECT_EQ(tree.find("\\Users\\ann\\Tavo\\new"), std::string::npos) << tree;
  client_.reset();
  EXPECT_EQ(Unload(/*mandatory=*/false), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tavo::testing
