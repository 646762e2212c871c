// Shared pieces of the name-helper tests: the fixture (driver loaded, client
// connected and configured), a client that answers long-name and
// item-information queries from tables the test fills, and readers of the
// type-3 payloads the driver sends.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "harness/pool.h"
#include "harness/strings.h"
#include "request_payloads.h"

namespace tavo::testing {

using ByteList = std::vector<std::uint8_t>;

const std::u16string kRoot = kMergedViewRoot;  // \Device\HarddiskVolume3\Users\ann\Tavo
const std::uint32_t kTavoTag = sim::harness::PoolTag("Tavo");

// A type-3 request as the driver sent it.
struct QueryPayload {
  std::uint32_t sessionId = 0, queryKind = 0, nameLength = 0;
  std::u16string name;  // without the NUL
  bool terminated = false;
  std::size_t size = 0;
};

inline QueryPayload ReadQuery(const DriverMessage& message) {
  QueryPayload query;
  const auto& bytes = message.payload;
  query.size = bytes.size();
  if (bytes.size() < 12) return query;
  std::memcpy(&query.sessionId, bytes.data(), 4);
  std::memcpy(&query.queryKind, bytes.data() + 4, 4);
  std::memcpy(&query.nameLength, bytes.data() + 8, 4);
  if (query.nameLength < 2 || 12 + query.nameLength > bytes.size()) return query;
  query.name = TextOf(bytes, 12, query.nameLength - 2);
  query.terminated = bytes[12 + query.nameLength - 2] == 0 && bytes[12 + query.nameLength - 1] == 0;
  return query;
}

// UTF-16 bytes of the text followed by a NUL.
inline ByteList Utf16z(const std::u16string& text) {
  ByteList bytes((text.size() + 1) * 2, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

// An item-information answer of `size` bytes with the fields the driver reads.
inline ByteList ItemInfoAnswer(std::uint32_t attributes, std::int64_t endOfFile,
                               std::size_t size = protocol::kItemInfoReplySize) {
  protocol::ItemInfoReply reply{};
  reply.CreationTime = 0x01D0000000000001;
  reply.LastWriteTime = 0x01D0000000000002;
  reply.EndOfFile = endOfFile;
  reply.AllocationSize = (endOfFile + 4095) / 4096 * 4096;
  reply.FileAttributes = attributes;
  ByteList bytes(size, 0);
  std::memcpy(bytes.data(), &reply, std::min(size, sizeof(reply)));
  return bytes;
}

class NamesTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ConnectAndConfigure();
    client_->OnRequest(protocol::kRequestItemQuery,
                       [this](const DriverMessage& message) { return AnswerQuery(message); });
  }

  // The client's long form of a path (exact match), or no such path.
  void SetLongName(const std::u16string& shortPath, const std::u16string& longPath) {
    std::lock_guard guard(answersLock_);
    longNames_[shortPath] = Utf16z(longPath);
  }
  // A raw answer for a long-name query of the path.
  void SetLongNameAnswer(const std::u16string& shortPath, ByteList answer) {
    std::lock_guard guard(answersLock_);
    longNames_[shortPath] = std::move(answer);
  }
  void SetItemInfo(const std::u16string& path, ByteList answer) {
    std::lock_guard guard(answersLock_);
    itemInfo_[path] = std::move(answer);
  }

  // The queries of one kind the client received, in order.
  std::vector<QueryPayload> Queries(std::uint32_t kind) const {
    std::vector<QueryPayload> queries;
    for (const auto& message : client_->Requests()) {
      QueryPayload query = ReadQuery(message);
      if (message.type == protocol::kRequestItemQuery && query.queryKind == kind)
        queries.push_back(query);
    }
    return queries;
  }
  std::vector<std::u16string> LongNameQueries() const {
    std::vector<std::u16string> names;
    for (const auto& query : Queries(protocol::kQueryLongName)) names.push_back(query.name);
    return names;
  }

 private:
  ScriptedAnswer AnswerQuery(const DriverMessage& message) {
    const QueryPayload query = ReadQuery(message);
    std::lock_guard guard(answersLock_);
    const auto& table = query.queryKind == protocol::kQueryLongName ? longNames_ : itemInfo_;
    auto it = table.find(query.name);
    if (it == table.end()) return ScriptedAnswer::Now(STATUS_OBJECT_NAME_NOT_FOUND);
    return ScriptedAnswer::Now(STATUS_SUCCESS, it->second);
  }

  std::mutex answersLock_;
  std::map<std::u16string, ByteList> longNames_;
  std::map<std::u16string, ByteList> itemInfo_;
};

// A UNICODE_STRING over a test-owned copy of the text.
struct TestPath {
  explicit TestPath(std::u16string value) : text(std::move(value)) {
    string = sim::harness::MakeUnicodeString(text);
  }
  std::u16string text;
  UNICODE_STRING string;
};

}  // namespace tavo::testing
