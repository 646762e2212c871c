// Harness access to the simulated registry.
#include "harness/registry.h"

#include <cstring>

#include "harness/strings.h"
#include "kernel/registry_store.h"
#include "nt/ntstatus.h"
#include "nt/registry.h"
#include "verifier/verifier.h"

namespace sim::harness {
namespace {

namespace store = kernel::registry;

void Check(NTSTATUS status, std::string_view what, std::string_view path) {
  if (!NT_SUCCESS(status)) {
    verifier::Report(verifier::Check::Registry,
                     "harness: " + std::string(what) + " failed for \"" + std::string(path) + "\"");
  }
}

std::vector<std::uint8_t> Utf16Bytes(const std::u16string& text) {
  std::vector<std::uint8_t> data(text.size() * sizeof(char16_t));
  if (!data.empty()) std::memcpy(data.data(), text.data(), data.size());
  return data;
}

}  // namespace

void CreateRegistryKey(std::string_view path) {
  Check(store::CreateKey(FromUtf8(path)), "creating key", path);
}

bool DeleteRegistryKey(std::string_view path) {
  const NTSTATUS status = store::DeleteKey(FromUtf8(path));
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return false;
  Check(status, "deleting key", path);
  return NT_SUCCESS(status);
}

void SetRegistryValue(std::string_view keyPath, std::string_view name, ULONG type,
                      std::vector<std::uint8_t> data) {
  Check(store::SetValue(FromUtf8(keyPath), FromUtf8(name), type, std::move(data)),
        "setting a value in", keyPath);
}

void SetRegistryDword(std::string_view keyPath, std::string_view name, std::uint32_t value) {
  std::vector<std::uint8_t> data(sizeof(value));
  std::memcpy(data.data(), &value, sizeof(value));
  SetRegistryValue(keyPath, name, REG_DWORD, std::move(data));
}

void SetRegistryString(std::string_view keyPath, std::string_view name, std::string_view text,
                       ULONG type) {
  std::u16string wide = FromUtf8(text);
  wide.push_back(u'\0');
  SetRegistryValue(keyPath, name, type, Utf16Bytes(wide));
}

}  // namespace sim::harness
