#include "harness.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "core/globals.h"
#include "fs/volume.h"
#include "harness/debug_log.h"
#include "harness/lock_order.h"
#include "harness/machine.h"
#include "harness/pool.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "harness/threads.h"
#include "kernel/lifecycle.h"
#include "request_payloads.h"
#include "setinfo/item_info_cache.h"
#include "tables/short_name_cache.h"
#include "verifier/verifier.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tavo::fuzz {

const std::u16string kViewRoot = u"\\Device\\HarddiskVolume3\\Users\\ann\\Tavo";
const std::u16string kBackendRoot = u"\\Device\\HarddiskVolume3\\Users\\ann\\AppData\\Local\\Tavo\\cache";

namespace {

constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume3";
constexpr char16_t kSecondaryRoot[] = u"\\Device\\HarddiskVolume3\\Users\\ann\\OneTavo";
constexpr std::uint32_t kTavoTag = sim::harness::PoolTag("Tavo");

// Requests the pump received, for Run and EndInput to answer.
std::mutex queueLock;
std::condition_variable queueChanged;
std::deque<client::DriverMessage> queue;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz harness: %s\n", what.c_str());
  std::abort();
}

// The last component of the NUL-terminated name at `offset` of a payload.
std::u16string LastComponent(const std::vector<std::uint8_t>& payload, std::size_t offset,
                             std::uint32_t length) {
  if (length < 2 || offset + length > payload.size()) return {};
  std::u16string name(length / 2 - 1, u'\0');
  std::memcpy(name.data(), payload.data() + offset, name.size() * 2);
  const std::size_t slash = name.rfind(u'\\');
  return slash == std::u16string::npos ? name : name.substr(slash + 1);
}

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::uint32_t U32At(const std::vector<std::uint8_t>& payload, std::size_t offset) {
  std::uint32_t value = 0;
  if (offset + 4 <= payload.size()) std::memcpy(&value, payload.data() + offset, 4);
  return value;
}

// A server that knows every name: "Dir..." is a folder, "Missing..." does
// not exist, anything else is a 12-byte file. Downloads are refused and
// listings are empty; creates, renames and deletes succeed.
void FallbackAnswer(client::DriverChannel& channel, const client::DriverMessage& request) {
  using namespace protocol;
  std::vector<std::uint8_t> data;
  std::int32_t status = STATUS_SUCCESS;
  switch (request.type) {
    case kRequestItemQuery: {
      const std::u16string name =
          LastComponent(request.payload, kItemInfoNameOffset, U32At(request.payload, 8));
      if (U32At(request.payload, 4) != kQueryItemInfo || StartsWith(name, u"Missing")) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        break;
      }
      ItemInfoReply reply{};
      reply.CreationTime = reply.LastWriteTime = 0x01DB000000000000;
      reply.EndOfFile = reply.AllocationSize = 12;
      reply.FileAttributes = StartsWith(name, u"Dir") ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      data.resize(sizeof(reply));
      std::memcpy(data.data(), &reply, sizeof(reply));
      break;
    }
    case kRequestDirectoryListing:
      if (U32At(request.payload, 8) == kDirectoryQueryDeleteCheck) {
        data = {kDeleteCheckMayDelete};
      } else {
        status = STATUS_NO_MORE_FILES;
      }
      break;
    case kRequestRenameItem: {
      const std::uint32_t done = kRenameDone;
      data.resize(4);
      std::memcpy(data.data(), &done, 4);
      break;
    }
    case kRequestCreatePath:
      data = {kCreatePathPrepared};
      break;
    case kRequestDeleteItem:
      data = {1};
      break;
    default:
      status = STATUS_ACCESS_DENIED;
      break;
  }
  channel.Answer(request, status, data.data(), static_cast<std::uint32_t>(data.size()));
}

// Answers one request from the input: each answer may carry a wrong cookie
// or code (then another answer follows), or the waiting thread is alerted
// and the answer comes late.
void AnswerFromInput(client::DriverChannel& channel, const client::DriverMessage& request,
                     Input* input, PKTHREAD requester) {
  while (input != nullptr && !input->Empty()) {
    const std::uint8_t mode = input->U8();
    if ((mode & 0x10) != 0) {
      if (requester != nullptr &&
          sim::harness::WaitUntilThreadWaits(requester, std::chrono::milliseconds(200))) {
        sim::harness::AlertThread(requester);
      }
      break;  // the late answer below finds the record abandoned, or delivers
    }
    std::uint64_t cookie = request.cookie;
    std::uint32_t code = request.type;
    switch (mode & 3) {
      case 1: cookie += static_cast<std::int8_t>(input->U8()); break;
      case 2: cookie = 0; break;
      case 3: cookie = input->U64(); break;
      default: break;
    }
    if ((mode & 4) != 0) code = input->U32();
    const auto status = static_cast<std::int32_t>(input->U32());
    const std::vector<std::uint8_t> data = input->Bytes(input->U16() % 8193);
    channel.Answer(code, cookie, status, data.data(), static_cast<std::uint32_t>(data.size()));
    if (cookie == request.cookie && code == request.type) return;  // delivered
  }
  FallbackAnswer(channel, request);
}

bool TakeRequest(client::DriverMessage* request, const std::function<bool()>& stop,
                 std::chrono::milliseconds limit) {
  std::unique_lock lock(queueLock);
  queueChanged.wait_for(lock, limit, [&] { return !queue.empty() || stop(); });
  if (queue.empty()) return false;
  *request = std::move(queue.front());
  queue.pop_front();
  return true;
}

bool RequestsPending() {
  KIRQL irql;
  KeAcquireSpinLock(&Globals.PendingRequestListLock, &irql);
  const bool pending = !IsListEmpty(&Globals.PendingRequestList);
  KeReleaseSpinLock(&Globals.PendingRequestListLock, irql);
  return pending;
}

}  // namespace

std::uint8_t Input::U8() { return offset_ < size_ ? data_[offset_++] : 0; }
std::uint16_t Input::U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
std::uint32_t Input::U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
std::uint64_t Input::U64() { return U32() | static_cast<std::uint64_t>(U32()) << 32; }

std::vector<std::uint8_t> Input::Bytes(std::size_t count) {
  const std::size_t available = offset_ < size_ ? size_ - offset_ : 0;
  if (count > available) count = available;
  std::vector<std::uint8_t> bytes(data_ + offset_, data_ + offset_ + count);
  offset_ += count;
  return bytes;
}

std::u16string InView(const std::u16string& relative) { return kViewRoot + relative; }

NTSTATUS OpenFile(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options,
                  HANDLE* handle) {
  sim::harness::OwnedUnicodeString name(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus{};
  *handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(handle, access | SYNCHRONIZE, &attributes, &ioStatus, nullptr,
                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) *handle = nullptr;
  return status;
}

void CloseFile(HANDLE handle) {
  if (handle != nullptr) NtClose(handle);
}

Machine& Machine::Get() {
  static Machine machine;
  return machine;
}

Machine::Machine() { Boot(); }

void Machine::Boot() {
  sim::kernel::ResetMachine();
  sim::verifier::TakeViolations();
  sim::fs::VolumeOptions options;
  options.deviceName = kVolumeDevice;
  auto volume = sim::fs::CreateVolume(options);
  sim::harness::MountVolume(kVolumeDevice, u'C', volume);
  const std::u16string backend = u"\\Users\\ann\\AppData\\Local\\Tavo\\cache";
  std::vector<sim::fs::FileSpec> files(5);
  files[0] = {backend, true};
  files[1] = {u"\\Users\\ann\\Tavo", true};
  files[2] = {u"\\Users\\ann\\OneTavo", true};
  files[3] = {backend + u"\\local.txt", false, "local"};
  files[4] = {backend + u"\\DirLocal", true};
  if (!NT_SUCCESS(volume->Populate(files))) {
    Fail("volume not populated");
  }
  application_ = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\explorer.exe");

  sim::harness::DeclareLockOrder({&Globals.ShortNameTableLock, &Globals.RootPathLock});
  sim::harness::DeclareLockOrder({&Globals.ReplyMutex, &Globals.PendingRequestListLock});
  sim::harness::DriverOptions driverOptions;
  driverOptions.serviceName = u"TavoDriver";
  sim::harness::Driver* driver = nullptr;
  if (sim::harness::LoadDriver(DriverEntry, driverOptions, &driver) != STATUS_SUCCESS) {
    Fail("driver not loaded");
  }
  if (FAILED(channel_.Connect())) Fail("client not connected");
  channel_.StartPump([](const client::DriverMessage&) { return 0; },
                     [](client::DriverMessage request) {
                       std::lock_guard guard(queueLock);
                       queue.push_back(std::move(request));
                       queueChanged.notify_all();
                     },
                     [](client::DriverMessage) {});
  Configure();
  bootPool_ = sim::harness::LiveAllocations(kTavoTag).size();
}

void Machine::Configure() {
  if (channel_.Configure(1, kViewRoot, kBackendRoot, kSecondaryRoot).hresult != S_OK ||
      channel_.SendAllowList({}).hresult != S_OK ||
      channel_.SendBlockList({{u"indexer.exe", u""}}).hresult != S_OK) {
    Fail("standard configuration refused");
  }
}

void Machine::Run(const std::function<void()>& operation, Input* answers) {
  std::atomic<bool> done{false};
  std::atomic<PKTHREAD> requester{nullptr};
  std::thread worker = sim::harness::StartThreadAs(application_, [&] {
    requester = KeGetCurrentThread();
    operation();
    std::lock_guard guard(queueLock);
    done = true;
    queueChanged.notify_all();
  });
  client::DriverMessage request;
  while (TakeRequest(&request, [&] { return done.load(); }, std::chrono::hours(1))) {
    AnswerFromInput(channel_, request, answers, requester);
  }
  worker.join();
}

void Machine::EndInput() {
  // Requests of deferred work, and late answers still travelling.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  client::DriverMessage request;
  while (RequestsPending()) {
    if (std::chrono::steady_clock::now() > deadline) Fail("a request stays pending");
    if (TakeRequest(&request, [] { return false; }, std::chrono::milliseconds(1))) {
      FallbackAnswer(channel_, request);
    }
  }
  EmptyItemInfoCache();
  EmptyShortNameTable();
  Configure();
  sim::harness::ClearDebugLog();  // a long run would keep every line
  const auto violations = sim::verifier::TakeViolations();
  for (const auto& v : violations) {
    const std::string_view check = sim::verifier::CheckName(v.check);
    std::fprintf(stderr, "[%.*s] %s\n", static_cast<int>(check.size()), check.data(),
                 v.message.c_str());
  }
  if (!violations.empty()) Fail("verifier violations");
  const auto live = sim::harness::LiveAllocations(kTavoTag);
  if (live.size() != bootPool_) {
    for (std::size_t i = bootPool_ < live.size() ? bootPool_ : 0; i < live.size(); ++i) {
      std::fprintf(stderr, "live: %zu bytes from %s\n", live[i].size, live[i].site.c_str());
    }
    Fail("the driver's pool differs from boot: " + std::to_string(live.size()) + " blocks, " +
         std::to_string(bootPool_) + " at boot");
  }
}

}  // namespace tavo::fuzz
