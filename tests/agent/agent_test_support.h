// Shared pieces of the agent's tests: payload builders for every request
// and notification the driver sends, and a fixture with a mounted volume
// (no driver), an in-memory server and a request handler whose short names
// come from a predictable generator.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/strings.h"
#include "memory_server_store.h"
#include "nt_local_files.h"
#include "request_handler.h"
#include "payload_builders.h"
#include "request_payloads.h"

namespace tavo::agent::testing {

inline constexpr char16_t kVolume[] = u"\\Device\\HarddiskVolume3";
inline constexpr char16_t kView[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\Tavo";
inline constexpr char16_t kBackend[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Cache";
inline constexpr char16_t kStaging[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Staging";
inline constexpr char16_t kSecondary[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\TavoSecondary";

inline std::u16string View(std::u16string_view rest) {
  return std::u16string(kView) + u"\\" + std::u16string(rest);
}
inline std::u16string Backend(std::u16string_view rest) {
  return std::u16string(kBackend) + u"\\" + std::u16string(rest);
}

inline std::uint8_t ByteAnswer(const AgentAnswer& answer) {
  return answer.data.size() == 1 ? answer.data[0] : 0xEE;
}

inline std::uint32_t WordAnswer(const AgentAnswer& answer) {
  std::uint32_t value = 0xEEEEEEEE;
  if (answer.data.size() == 4) std::memcpy(&value, answer.data.data(), 4);
  return value;
}

// Short names "N~<k>" style: the k-th name of a call becomes the first five
// letters of the name, '~' and its number (distinct within a call).
std::optional<std::vector<std::u16string>> FakeShortNames(const std::vector<std::u16string>& names);

// A fresh folder of its own under the host's temporary folder (mkdtemp),
// for tests that write or delete host files.
std::filesystem::path MakeSandbox();

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  AgentAnswer Ask(std::uint32_t type, const Bytes& payload) {
    return handler_->Handle(type, payload);
  }
  // A file on the local volume (path below the backend root).
  void PutLocal(std::u16string_view rest, std::string contents = "local");
  std::string ReadLocal(const std::u16string& path);

  std::shared_ptr<sim::fs::Volume> volume_;
  MemoryServerStore server_;
  std::unique_ptr<NtLocalFiles> local_;
  AgentState state_;
  std::unique_ptr<RequestHandler> handler_;
  int shortNameCalls_ = 0;
};

}  // namespace tavo::agent::testing
