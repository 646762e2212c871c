#include "create_path_fixture.h"

#include "fs/volume.h"

namespace tavo::testing {

using protocol::kRequestCreatePath;
using protocol::kRequestDeleteItem;
using protocol::kRequestDownload;
using protocol::kRequestItemQuery;

std::u16string SentRequest::Name(std::size_t lengthOffset, std::size_t nameOffset) const {
  const std::uint32_t length = U32(lengthOffset);
  if (length < 2 || nameOffset + length > payload.size()) return u"<malformed>";
  return TextOf(payload, nameOffset, length - 2);
}

void CreatePathTest::SetUp() {
  DriverTest::SetUp();
  explorer_ = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\explorer.exe");
  indexer_ = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\indexer.exe");
  ASSERT_EQ(volume_->Populate({DirSpec(kBackendOnVolume), DirSpec(u"\\Users\\ann\\Tavo"),
                               DirSpec(u"\\Users\\ann\\OneTavo")}),
            STATUS_SUCCESS);
  ConnectAndConfigure();
  ASSERT_EQ(client_->Channel().SendBlockList({{u"indexer.exe", u""}}).hresult, S_OK);
  client_->OnRequest(kRequestItemQuery, [this](const DriverMessage& m) { return AnswerItemQuery(m); });
  client_->OnRequest(kRequestDownload, [this](const DriverMessage& m) { return AnswerDownload(m); });
  client_->OnRequest(kRequestCreatePath,
                     [this](const DriverMessage& m) { return AnswerCreatePath(m); });
  client_->OnRequest(kRequestDeleteItem, [this](const DriverMessage& m) { return AnswerDelete(m); });
}

void CreatePathTest::AddServerItem(const std::u16string& viewPath, ServerItem item) {
  std::lock_guard guard(serverLock_);
  server_[viewPath] = std::move(item);
}

bool CreatePathTest::ServerHas(const std::u16string& viewPath) {
  std::lock_guard guard(serverLock_);
  return server_.count(viewPath) != 0;
}

bool CreatePathTest::MoveServerItem(const std::u16string& from, const std::u16string& to) {
  std::lock_guard guard(serverLock_);
  if (server_.count(from) == 0) return false;
  std::map<std::u16string, ServerItem, IgnoringCase> moved;
  for (auto it = server_.begin(); it != server_.end();) {
    const std::u16string& name = it->first;
    const bool below = name.size() > from.size() && name[from.size()] == u'\\' &&
                       !IgnoringCase()(name.substr(0, from.size()), from) &&
                       !IgnoringCase()(from, name.substr(0, from.size()));
    if (below || (!IgnoringCase()(name, from) && !IgnoringCase()(from, name))) {
      moved[to + name.substr(from.size())] = it->second;
      it = server_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [name, item] : moved) server_[name] = item;
  return true;
}

void CreatePathTest::AddBackendFile(const std::u16string& relative, const std::string& contents) {
  ASSERT_EQ(volume_->Populate({FileSpecOf(kBackendOnVolume + relative, contents)}), STATUS_SUCCESS);
}

void CreatePathTest::AddBackendDirectory(const std::u16string& relative) {
  ASSERT_EQ(volume_->Populate({DirSpec(kBackendOnVolume + relative)}), STATUS_SUCCESS);
}

OpenResult CreatePathTest::Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition,
                                ULONG options, std::uint32_t processId) {
  return OpenUnder(nullptr, path, access, disposition, options,
                   processId == 0 ? explorer_ : processId);
}

OpenResult CreatePathTest::OpenRelative(const OpenResult& dir, const std::u16string& name,
                                        ACCESS_MASK access, ULONG disposition, ULONG options) {
  return OpenUnder(dir.handle, name, access, disposition, options, dir.processId);
}

OpenResult CreatePathTest::OpenUnder(HANDLE root, const std::u16string& path, ACCESS_MASK access,
                                     ULONG disposition, ULONG options, std::uint32_t processId) {
  return sim::harness::RunAs(processId, [&] {
    OpenResult result;
    result.processId = processId;
    result.status = CreateFileHandle(
        path, root, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, &result.handle, &result.information);
    if (!NT_SUCCESS(result.status)) result.handle = nullptr;
    return result;
  });
}

std::string CreatePathTest::ReadAll(const OpenResult& opened) {
  return sim::harness::RunAs(opened.processId, [&] {
    std::string data(4096, '\0');
    IO_STATUS_BLOCK ioStatus{};
    LARGE_INTEGER offset{};
    const NTSTATUS status = NtReadFile(opened.handle, nullptr, nullptr, nullptr, &ioStatus,
                                       data.data(), static_cast<ULONG>(data.size()), &offset, nullptr);
    if (!NT_SUCCESS(status)) return std::string("<read failed>");
    data.resize(ioStatus.Information);
    return data;
  });
}

void CreatePathTest::Close(OpenResult& opened) {
  if (opened.handle == nullptr) return;
  sim::harness::RunAs(opened.processId, [&] { NtClose(opened.handle); });
  opened.handle = nullptr;
}

std::vector<SentRequest> CreatePathTest::Sent(std::uint32_t type) const {
  std::vector<SentRequest> sent;
  for (const auto& message : client_->Requests()) {
    if (message.type == type) sent.push_back({message.type, message.payload});
  }
  return sent;
}

std::size_t CreatePathTest::ItemQueries() const {
  std::size_t count = 0;
  for (const auto& request : Sent(kRequestItemQuery)) {
    if (request.U32(4) == protocol::kQueryItemInfo) ++count;
  }
  return count;
}

bool CreatePathTest::VolumeHas(const std::u16string& path) {
  const std::string tree = volume_->DumpTree({false, false});
  const std::string wanted = sim::harness::ToUtf8(path);
  std::size_t start = 0;
  while (start < tree.size()) {
    const std::size_t end = tree.find('\n', start);
    const std::string line = tree.substr(start, end - start);
    if (line.compare(0, wanted.size(), wanted) == 0 &&
        (line.size() == wanted.size() || line[wanted.size()] == ' ' || line[wanted.size()] == '\\')) {
      return true;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

sim::fs::FileSpec CreatePathTest::BackendSpec(const std::u16string& viewPath,
                                              const ServerItem& item) const {
  const std::u16string onVolume = kBackendOnVolume + viewPath.substr(kView.size());
  return item.directory ? DirSpec(onVolume) : FileSpecOf(onVolume, item.contents);
}

ScriptedAnswer CreatePathTest::AnswerItemQuery(const DriverMessage& message) {
  SentRequest request{message.type, message.payload};
  if (request.U32(4) != protocol::kQueryItemInfo) {
    return ScriptedAnswer::Now(STATUS_OBJECT_NAME_NOT_FOUND);
  }
  const std::u16string name = request.Name(8, protocol::kItemInfoNameOffset);
  std::lock_guard guard(serverLock_);
  auto it = server_.find(name);
  if (it == server_.end()) return ScriptedAnswer::Now(STATUS_OBJECT_NAME_NOT_FOUND);
  protocol::ItemInfoReply reply{};
  reply.CreationTime = 0x01DB000000000000;
  reply.LastWriteTime = 0x01DB000000001000;
  reply.EndOfFile = static_cast<std::int64_t>(it->second.contents.size());
  reply.AllocationSize = (reply.EndOfFile + 4095) / 4096 * 4096;
  reply.FileAttributes = it->second.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  return ScriptedAnswer::Now(STATUS_SUCCESS, Bytes(&reply, sizeof(reply)));
}

// Like an agent: an allowed download copies the server file into the
// backend folder before the answer.
ScriptedAnswer CreatePathTest::AnswerDownload(const DriverMessage& message) {
  SentRequest request{message.type, message.payload};
  const std::u16string name = request.Name(532, protocol::kDownloadNameOffset);
  if (downloadAnswer_ == 1 && request.U32(4) == 0) {
    std::lock_guard guard(serverLock_);
    auto it = server_.find(name);
    if (it != server_.end()) volume_->Populate({BackendSpec(name, it->second)});
  }
  return ScriptedAnswer::Now(STATUS_SUCCESS, {downloadAnswer_});
}

ScriptedAnswer CreatePathTest::AnswerCreatePath(const DriverMessage& message) {
  SentRequest request{message.type, message.payload};
  const std::u16string name = request.Name(12, protocol::kCreatePathNameOffset);
  if (createPathAnswer_ == 1 && request.U32(4) == 1) {
    std::lock_guard guard(serverLock_);
    server_[name] = ServerItem{true, {}};
  }
  return ScriptedAnswer::Now(STATUS_SUCCESS, {createPathAnswer_});
}

ScriptedAnswer CreatePathTest::AnswerDelete(const DriverMessage& message) {
  SentRequest request{message.type, message.payload};
  const std::u16string name = request.Name(8, protocol::kDeleteNameOffset);
  if (deleteAnswer_ == 1) {
    std::lock_guard guard(serverLock_);
    server_.erase(name);
  }
  return ScriptedAnswer::Now(STATUS_SUCCESS, {deleteAnswer_});
}

}  // namespace tavo::testing
