// The in-memory registry and RtlQueryRegistryValues on it, in the direct
// form drivers use to read their settings: values stored into the caller's
// variables (RTL_QUERY_REGISTRY_DIRECT), with defaults, REQUIRED and
// TYPECHECK, on an absolute path. Query routines, subkeys, key handles and
// the relative roots are not simulated: a table or path that needs them is
// a verifier violation and gets STATUS_NOT_IMPLEMENTED.
//
// Choices where the documentation is silent or contradicts itself:
//   * RTL_QUERY_REGISTRY_REQUIRED fails a missing value with
//     STATUS_OBJECT_NAME_NOT_FOUND even when the entry has a default (the
//     DefaultType and DefaultData descriptions use the default only "if the
//     REQUIRED flag is not specified");
//   * with RTL_REGISTRY_OPTIONAL a missing key makes the call succeed
//     without processing the table;
//   * RTL_QUERY_REGISTRY_TYPECHECK compares the stored value's type only: a
//     default is delivered as given;
//   * DIRECT for non-string data longer than a ULONG follows the documented
//     signed-LONG-size-header rule; a header of 0 (a caller that did not set
//     it) gives STATUS_BUFFER_TOO_SMALL;
//   * DIRECT for REG_MULTI_SZ without RTL_QUERY_REGISTRY_NOEXPAND (which the
//     documentation requires) and DIRECT without TYPECHECK outside the
//     system hives (a bug check on Windows) are verifier violations;
//   * a string read through DIRECT gets Length without the terminating NUL;
//     a buffer the routine allocates comes from paged pool with the tag
//     "Strg", the tag of every Rtl string allocation, and is freed with
//     RtlFreeUnicodeString (STATUS_NO_MEMORY when the pool fails);
//   * REG_EXPAND_SZ is delivered unexpanded: expansion uses only the
//     Environment block passed in (there is no process environment in the
//     kernel), and a call that passes one is not simulated.
#include "kernel/registry_store.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "kernel/upcase_table.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "nt/registry.h"
#include "verifier/verifier.h"

// The x64 layouts drivers compile against.
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56);
static_assert(FIELD_OFFSET(RTL_QUERY_REGISTRY_TABLE, DefaultData) == 40);

namespace sim::kernel::registry {
namespace {

constexpr ULONG kStringPoolTag = 0x67727453;  // "Strg", as RtlFreeUnicodeString expects

struct Key {
  std::u16string path;  // full path as first created
  std::vector<Value> values;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upcased name
};
using KeyPtr = std::shared_ptr<Key>;

std::u16string Upcase(std::u16string_view text) {
  std::u16string upper(text);
  for (char16_t& c : upper) c = static_cast<char16_t>(UpcaseChar(static_cast<WCHAR>(c)));
  return upper;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && Upcase(a) == Upcase(b);
}

// Splits "A\B\C" into its components; a trailing backslash is allowed, an
// empty component inside is not (nothing: invalid).
std::optional<std::vector<std::u16string_view>> SplitComponents(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t next = path.find(u'\\', pos);
    if (next == std::u16string_view::npos) next = path.size();
    if (next == pos) return std::nullopt;
    parts.push_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  return parts;
}

// Walks from `from` through `parts`, creating missing keys when asked.
// Caller holds the store lock.
KeyPtr WalkLocked(KeyPtr from, const std::vector<std::u16string_view>& parts, bool create) {
  KeyPtr key = std::move(from);
  for (std::u16string_view part : parts) {
    const std::u16string upper = Upcase(part);
    auto it = key->subkeys.find(upper);
    if (it == key->subkeys.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<Key>();
      child->path = (key->path == u"\\" ? key->path : key->path + u"\\") + std::u16string(part);
      it = key->subkeys.emplace(upper, std::move(child)).first;
    }
    key = it->second;
  }
  return key;
}

struct Store {
  std::mutex lock;
  KeyPtr root;  // the root ("\"), whose only child is REGISTRY
};

void BootLocked(Store& store) {
  store.root = std::make_shared<Key>();
  store.root->path = u"\\";
  for (std::u16string_view path :
       {u"REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
        u"REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control",
        u"REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        u"REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", u"REGISTRY\\USER"}) {
    WalkLocked(store.root, *SplitComponents(path), /*create=*/true);
  }
}

Store& GetStore() {
  static Store* store = [] {
    auto* fresh = new Store;
    BootLocked(*fresh);
    return fresh;
  }();
  return *store;
}

// Resolves an absolute path. Sets *status on failure.
KeyPtr ResolveLocked(std::u16string_view path, bool create, NTSTATUS* status) {
  if (path.empty() || path[0] != u'\\') {
    *status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    return nullptr;
  }
  auto parts = SplitComponents(path.substr(1));
  if (!parts) {
    *status = STATUS_OBJECT_NAME_INVALID;
    return nullptr;
  }
  if (parts->empty() || !NamesEqual((*parts)[0], u"REGISTRY")) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  KeyPtr key = WalkLocked(GetStore().root, *parts, create);
  *status = key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  return key;
}

Value* FindValueLocked(Key& key, std::u16string_view name) {
  for (Value& value : key.values) {
    if (NamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}


ResetHookRegistration resetRegistry(ResetOrder::Kernel, [] {
  Store& store = GetStore();
  std::lock_guard guard(store.lock);
  BootLocked(store);
});

void CheckIrql(const char* routine) {
  if (CurrentThread().irql > PASSIVE_LEVEL) {
    verifier::Report(verifier::Check::Irql, std::string(routine) + " called above PASSIVE_LEVEL");
  }
}

std::u16string FromTerminated(const WCHAR* s) {
  return s == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(s));
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

NTSTATUS StoreDirect(PVOID context, ULONG type, const std::vector<std::uint8_t>& data) {
  if (IsStringType(type)) {
    auto* target = static_cast<UNICODE_STRING*>(context);
    std::size_t length = data.size() & ~std::size_t{1};
    const bool terminated =
        length >= sizeof(WCHAR) && data[length - 1] == 0 && data[length - 2] == 0;
    if (terminated) length -= sizeof(WCHAR);
    const std::size_t needed = length + sizeof(WCHAR);
    if (needed > UNICODE_STRING_MAX_BYTES + sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      target->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, needed, kStringPoolTag));
      if (target->Buffer == nullptr) return STATUS_NO_MEMORY;
      target->MaximumLength = static_cast<USHORT>(needed);
    } else if (length > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (length != 0) std::memcpy(target->Buffer, data.data(), length);
    if (target->MaximumLength >= length + sizeof(WCHAR))
      target->Buffer[length / sizeof(WCHAR)] = L'\0';
    target->Length = static_cast<USHORT>(length);
    return STATUS_SUCCESS;
  }
  if (data.size() <= sizeof(ULONG)) {
    // An empty default (no DefaultData, length 0) leaves the variable as is.
    if (!data.empty()) std::memmove(context, data.data(), data.size());
    return STATUS_SUCCESS;
  }
  LONG header;
  std::memcpy(&header, context, sizeof(header));
  if (header < 0) {
    const std::size_t capacity = static_cast<std::size_t>(-static_cast<long long>(header));
    if (data.size() > capacity) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(context, data.data(), data.size());
    return STATUS_SUCCESS;
  }
  const std::size_t capacity = static_cast<std::size_t>(header);
  if (data.size() + 2 * sizeof(ULONG) > capacity) return STATUS_BUFFER_TOO_SMALL;
  const ULONG prefix[2] = {static_cast<ULONG>(data.size()), type};
  std::memcpy(context, prefix, sizeof(prefix));
  std::memmove(static_cast<std::uint8_t*>(context) + sizeof(prefix), data.data(), data.size());
  return STATUS_SUCCESS;
}

// Stores one value (or default) into the entry's variable.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type,
                 const std::vector<std::uint8_t>& data) {
  if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    verifier::Report(verifier::Check::Registry,
                     "RtlQueryRegistryValues: REG_MULTI_SZ value read with "
                     "RTL_QUERY_REGISTRY_DIRECT needs RTL_QUERY_REGISTRY_NOEXPAND");
    return STATUS_INVALID_PARAMETER;
  }
  return StoreDirect(entry.EntryContext, type, data);
}

NTSTATUS NotSimulated(const char* what) {
  verifier::Report(verifier::Check::Registry,
                   std::string("RtlQueryRegistryValues: ") + what + " is not simulated");
  return STATUS_NOT_IMPLEMENTED;
}

std::vector<std::uint8_t> DefaultData(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type) {
  const auto* bytes = static_cast<const std::uint8_t*>(entry.DefaultData);
  std::size_t length = entry.DefaultLength;
  if (length == 0 && bytes != nullptr && IsStringType(type)) {
    const auto* text = static_cast<const char16_t*>(entry.DefaultData);
    std::size_t units = 0;
    if (type == REG_MULTI_SZ) {
      while (text[units] != u'\0') units += std::char_traits<char16_t>::length(text + units) + 1;
    } else {
      units = std::char_traits<char16_t>::length(text);
    }
    length = (units + 1) * sizeof(char16_t);
  }
  if (bytes == nullptr) return {};
  return std::vector<std::uint8_t>(bytes, bytes + length);
}

bool IsSystemHive(const std::u16string& path) {
  const std::u16string upper = Upcase(path) + u"\\";
  for (std::u16string_view hive :
       {u"\\REGISTRY\\MACHINE\\HARDWARE\\", u"\\REGISTRY\\MACHINE\\SOFTWARE\\",
        u"\\REGISTRY\\MACHINE\\SYSTEM\\", u"\\REGISTRY\\MACHINE\\SECURITY\\",
        u"\\REGISTRY\\MACHINE\\SAM\\"}) {
    if (upper.compare(0, hive.size(), hive) == 0) return true;
  }
  return false;
}

constexpr ULONG kNotSimulatedFlags = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                     RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_DELETE;

NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                     PVOID environment) {
  if (table == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG base = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
  if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  if (relativeTo & RTL_REGISTRY_HANDLE) return NotSimulated("a key handle");
  if (base != RTL_REGISTRY_ABSOLUTE) return NotSimulated("a relative path");
  if (environment != nullptr) return NotSimulated("an environment block");
  if (path == nullptr) return STATUS_INVALID_PARAMETER;

  std::vector<Value> values;
  {
    NTSTATUS status;
    std::lock_guard guard(GetStore().lock);
    KeyPtr key = ResolveLocked(FromTerminated(path), /*create=*/false, &status);
    if (!key) {
      const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
      return optional && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
    }
    values = key->values;
  }
  const bool systemHive = IsSystemHive(FromTerminated(path));

  for (PRTL_QUERY_REGISTRY_TABLE entry = table;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    const ULONG flags = entry->Flags;
    if (!(flags & RTL_QUERY_REGISTRY_DIRECT)) return NotSimulated("a query routine");
    if (flags & kNotSimulatedFlags) return NotSimulated("a subkey, novalue or delete entry");
    if (entry->Name == nullptr || entry->EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if (!(flags & RTL_QUERY_REGISTRY_TYPECHECK) && !systemHive) {
      verifier::Report(verifier::Check::Registry,
                       "RtlQueryRegistryValues: RTL_QUERY_REGISTRY_DIRECT without "
                       "RTL_QUERY_REGISTRY_TYPECHECK "
                       "outside the system hives (a bug check on Windows)");
    }

    const std::u16string name = FromTerminated(entry->Name);
    const auto found = std::find_if(values.begin(), values.end(),
                                    [&](const Value& v) { return NamesEqual(v.name, name); });
    NTSTATUS status = STATUS_SUCCESS;
    if (found != values.end()) {
      if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        const ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (found->type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
      }
      status = Deliver(*entry, found->type, found->data);
    } else if (flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (const ULONG defaultType = entry->DefaultType & 0xFF; defaultType != REG_NONE) {
      status = Deliver(*entry, defaultType, DefaultData(*entry, defaultType));
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Store operations (for the harness)

NTSTATUS CreateKey(std::u16string_view path) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  ResolveLocked(path, /*create=*/true, &status);
  return status;
}

NTSTATUS DeleteKey(std::u16string_view path) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  auto parts = SplitComponents(path.empty() ? path : path.substr(1));
  KeyPtr key = ResolveLocked(path, /*create=*/false, &status);
  if (!key) return status;
  if (parts->size() <= 1) return STATUS_CANNOT_DELETE;  // \Registry itself
  auto last = parts->back();
  parts->pop_back();
  KeyPtr parent = WalkLocked(GetStore().root, *parts, /*create=*/false);
  parent->subkeys.erase(Upcase(last));
  return STATUS_SUCCESS;
}

NTSTATUS SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                  std::vector<std::uint8_t> data) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  KeyPtr key = ResolveLocked(keyPath, /*create=*/true, &status);
  if (!key) return status;
  if (Value* existing = FindValueLocked(*key, name)) {
    existing->type = type;
    existing->data = std::move(data);
  } else {
    key->values.push_back(Value{std::u16string(name), type, std::move(data)});
  }
  return STATUS_SUCCESS;
}

}  // namespace sim::kernel::registry

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID, PVOID Environment) {
  sim::kernel::registry::CheckIrql("RtlQueryRegistryValues");
  return sim::kernel::registry::QueryValues(RelativeTo, Path, QueryTable, Environment);
}
