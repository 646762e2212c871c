// The in-memory registry and the kernel routines on it:
// RtlQueryRegistryValues, ZwOpenKey and ZwQueryValueKey.
//
// Choices where the documentation is silent or contradicts itself:
//   * RTL_QUERY_REGISTRY_REQUIRED fails a missing value with
//     STATUS_OBJECT_NAME_NOT_FOUND even when the entry has a default (the
//     DefaultType and DefaultData descriptions use the default only "if the
//     REQUIRED flag is not specified");
//   * with RTL_REGISTRY_OPTIONAL a missing key makes the call succeed
//     without processing the table;
//   * a missing RTL_QUERY_REGISTRY_SUBKEY key (without REQUIRED) acts as an
//     empty key for the entries that follow it; a SUBKEY entry (whose Name
//     is the subkey) with a QueryRoutine has it called for every value of
//     the subkey; a TOPKEY entry moves the focus back and is then processed
//     like any other entry (a TOPKEY entry with neither routine nor name
//     would end the table);
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
//   * REG_EXPAND_SZ expansion uses only the Environment block passed in
//     (there is no process environment in the kernel); an unknown %name% is
//     left as it is;
//   * ZwQueryValueKey with a buffer that holds the fixed part but not the
//     name or data writes the fixed part only (STATUS_BUFFER_OVERFLOW); the
//     Full class places the data right after the name (DataOffset), as its
//     documentation describes.
#include "kernel/registry_store.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "kernel/upcase_table.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "nt/registry.h"
#include "verifier/verifier.h"

// The x64 layouts drivers compile against.
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56);
static_assert(FIELD_OFFSET(RTL_QUERY_REGISTRY_TABLE, DefaultData) == 40);
static_assert(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);

namespace sim::kernel::registry {
namespace {

constexpr ULONG kStringPoolTag = 0x67727453;  // "Strg", as RtlFreeUnicodeString expects

struct Key {
  std::u16string path;  // full path as first created
  std::vector<Value> values;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upcased name
  bool deleted = false;
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

void DeleteTreeLocked(Key& key) {
  key.deleted = true;
  for (auto& [name, child] : key.subkeys) DeleteTreeLocked(*child);
  key.subkeys.clear();
  key.values.clear();
}

// Open key handles, for the end-of-test check (a set, so that objects a
// test leaked before a reset are not counted again).
std::mutex& OpenKeysLock() {
  static std::mutex lock;
  return lock;
}
std::set<const void*>& OpenKeys() {
  static std::set<const void*> keys;
  return keys;
}

ResetHookRegistration resetRegistry(ResetOrder::Kernel, [] {
  {
    Store& store = GetStore();
    std::lock_guard guard(store.lock);
    BootLocked(store);
  }
  std::lock_guard guard(OpenKeysLock());
  OpenKeys().clear();
});

EndOfTestCheckRegistration checkOpenKeys([] {
  std::size_t open;
  {
    std::lock_guard guard(OpenKeysLock());
    open = OpenKeys().size();
  }
  if (open != 0) {
    verifier::Report(
        verifier::Check::Registry,
        std::to_string(open) + " registry key handle(s) still open at the end of the test");
  }
});

// A key handle's object.
class KeyObject final : public KernelObject {
 public:
  explicit KeyObject(KeyPtr key) : key(std::move(key)) {
    RegisterObjectBody(this);
    std::lock_guard guard(OpenKeysLock());
    OpenKeys().insert(this);
  }
  ~KeyObject() override {
    std::lock_guard guard(OpenKeysLock());
    OpenKeys().erase(this);
  }
  const char* TypeName() const override { return "Key"; }
  void* Body() override { return &body_; }

  const KeyPtr key;

 private:
  std::uint64_t body_ = 0;
};

// The key behind a handle, or null with the failure status.
KeyPtr KeyFromHandle(HANDLE handle, NTSTATUS* status) {
  KernelObject* object = ReferenceHandle(handle, KernelMode);
  if (object == nullptr) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  auto* keyObject = dynamic_cast<KeyObject*>(object);
  KeyPtr key = keyObject ? keyObject->key : nullptr;
  object->Dereference();
  if (!key) *status = STATUS_OBJECT_TYPE_MISMATCH;
  return key;
}

void CheckIrql(const char* routine) {
  if (CurrentThread().irql > PASSIVE_LEVEL) {
    verifier::Report(verifier::Check::Irql, std::string(routine) + " called above PASSIVE_LEVEL");
  }
}

std::u16string FromCounted(const UNICODE_STRING* s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string FromTerminated(const WCHAR* s) {
  return s == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(s));
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string DataAsText(const std::vector<std::uint8_t>& data) {
  std::u16string text(data.size() / sizeof(char16_t), u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
  const std::size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return text;
}

std::vector<std::uint8_t> TextAsData(const std::u16string& text) {
  std::vector<std::uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
  return data;
}

// Expands %name% references from an environment block ("NAME=value\0...\0").
std::u16string ExpandFromEnvironment(const std::u16string& text, const WCHAR* environment) {
  std::u16string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find(u'%', pos);
    const std::size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string::npos) {
      out.append(text, pos, std::u16string::npos);
      break;
    }
    out.append(text, pos, open - pos);
    const std::u16string name = text.substr(open + 1, close - open - 1);
    bool found = false;
    for (auto* entry = reinterpret_cast<const char16_t*>(environment); entry && *entry != u'\0';
         entry += std::char_traits<char16_t>::length(entry) + 1) {
      std::u16string_view item(entry);
      const std::size_t equals = item.find(u'=', 1);
      if (equals != std::u16string_view::npos && NamesEqual(item.substr(0, equals), name)) {
        out.append(item.substr(equals + 1));
        found = true;
        break;
      }
    }
    if (found) {
      pos = close + 1;
    } else {
      out.append(text, open, close - open);  // keep "%name" and look again from the closing '%'
      pos = close;
    }
  }
  return out;
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

struct Query {
  PRTL_QUERY_REGISTRY_TABLE entry;
  PVOID context;
  const WCHAR* environment;
};

// Hands one value (or default) to the entry: stores it (DIRECT) or calls the
// QueryRoutine, once per string of a REG_MULTI_SZ unless NOEXPAND.
NTSTATUS Deliver(const Query& q, std::u16string name, ULONG type, std::vector<std::uint8_t> data) {
  const ULONG flags = q.entry->Flags;
  const bool noExpand = (flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
  if (type == REG_EXPAND_SZ && !noExpand) {
    data = TextAsData(ExpandFromEnvironment(DataAsText(data), q.environment));
    type = REG_SZ;
  }
  if (flags & RTL_QUERY_REGISTRY_DIRECT) {
    if (type == REG_MULTI_SZ && !noExpand) {
      verifier::Report(
          verifier::Check::Registry,
          "RtlQueryRegistryValues: REG_MULTI_SZ value read with RTL_QUERY_REGISTRY_DIRECT "
          "needs RTL_QUERY_REGISTRY_NOEXPAND");
      return STATUS_INVALID_PARAMETER;
    }
    return StoreDirect(q.entry->EntryContext, type, data);
  }

  auto call = [&](ULONG valueType, std::vector<std::uint8_t>& bytes) {
    const NTSTATUS status = q.entry->QueryRoutine(
        reinterpret_cast<PWSTR>(name.data()), valueType, bytes.empty() ? nullptr : bytes.data(),
        static_cast<ULONG>(bytes.size()), q.context, q.entry->EntryContext);
    return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
  };
  if (type == REG_MULTI_SZ && !noExpand) {
    std::u16string all(data.size() / sizeof(char16_t), u'\0');
    if (!all.empty()) std::memcpy(all.data(), data.data(), all.size() * sizeof(char16_t));
    std::size_t pos = 0;
    while (pos < all.size() && all[pos] != u'\0') {
      std::size_t end = all.find(u'\0', pos);
      if (end == std::u16string::npos) end = all.size();
      auto piece = TextAsData(all.substr(pos, end - pos));
      const NTSTATUS status = call(REG_SZ, piece);
      if (!NT_SUCCESS(status)) return status;
      pos = end + 1;
    }
    return STATUS_SUCCESS;
  }
  return call(type, data);
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

// The values of a key, copied so that query routines run without the lock.
std::vector<Value> SnapshotValues(const KeyPtr& key) {
  if (!key) return {};
  std::lock_guard guard(GetStore().lock);
  return key->deleted ? std::vector<Value>{} : key->values;
}

void DeleteValueOf(const KeyPtr& key, std::u16string_view name) {
  std::lock_guard guard(GetStore().lock);
  auto& values = key->values;
  values.erase(std::remove_if(values.begin(), values.end(),
                              [&](const Value& v) { return NamesEqual(v.name, name); }),
               values.end());
}

std::u16string RelativeRoot(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_SERVICES:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
      return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
      return u"\\Registry\\User\\CurrentUser";
    default:
      return u"";
  }
}

NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                     PVOID environment) {
  if (table == nullptr) return STATUS_INVALID_PARAMETER;
  const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
  const ULONG base = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);

  KeyPtr top;
  NTSTATUS status = STATUS_SUCCESS;
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    top = KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), &status);
    if (!top) return status;
  } else {
    if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string full;
    if (base == RTL_REGISTRY_ABSOLUTE) {
      if (path == nullptr) return STATUS_INVALID_PARAMETER;
      full = FromTerminated(path);
    } else {
      full = RelativeRoot(base);
      if (path != nullptr && *path != L'\0') full += u"\\" + FromTerminated(path);
    }
    std::lock_guard guard(GetStore().lock);
    top = ResolveLocked(full, /*create=*/false, &status);
  }
  if (!top) return optional && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;

  KeyPtr current = top;  // null: a SUBKEY entry named a missing key
  const auto* env = static_cast<const WCHAR*>(environment);
  for (PRTL_QUERY_REGISTRY_TABLE entry = table;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    const ULONG flags = entry->Flags;
    const Query q{entry, context, env};
    const bool required = (flags & RTL_QUERY_REGISTRY_REQUIRED) != 0;
    const bool direct = (flags & RTL_QUERY_REGISTRY_DIRECT) != 0;

    if (flags & RTL_QUERY_REGISTRY_TOPKEY) current = top;
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
      const std::u16string subkey = FromTerminated(entry->Name);
      auto parts = SplitComponents(subkey);
      if (!parts) return STATUS_OBJECT_NAME_INVALID;
      {
        std::lock_guard guard(GetStore().lock);
        current = top->deleted ? nullptr : WalkLocked(top, *parts, /*create=*/false);
      }
      if (!current && required) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr || direct) continue;
      for (Value& value : SnapshotValues(current)) {
        status = Deliver(q, value.name, value.type, std::move(value.data));
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }

    if (direct) {
      if (entry->Name == nullptr || entry->EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
      if (!(flags & RTL_QUERY_REGISTRY_TYPECHECK) && current && !IsSystemHive(current->path)) {
        verifier::Report(verifier::Check::Registry,
                         "RtlQueryRegistryValues: RTL_QUERY_REGISTRY_DIRECT without "
                         "RTL_QUERY_REGISTRY_TYPECHECK "
                         "outside the system hives (a bug check on Windows)");
      }
    } else if (entry->QueryRoutine == nullptr) {
      return STATUS_INVALID_PARAMETER;
    }

    if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      if (direct) return STATUS_INVALID_PARAMETER;
      std::u16string name = FromTerminated(entry->Name);
      status = entry->QueryRoutine(entry->Name ? reinterpret_cast<PWSTR>(name.data()) : nullptr,
                                   REG_NONE, nullptr, 0, context, entry->EntryContext);
      if (!NT_SUCCESS(status) && status != STATUS_BUFFER_TOO_SMALL) return status;
      continue;
    }

    if (entry->Name == nullptr) {  // every value of the current key
      std::vector<Value> values = SnapshotValues(current);
      if (values.empty() && required) return STATUS_OBJECT_NAME_NOT_FOUND;
      for (Value& value : values) {
        std::u16string name = value.name;
        status = Deliver(q, name, value.type, std::move(value.data));
        if (!NT_SUCCESS(status)) return status;
        if (flags & RTL_QUERY_REGISTRY_DELETE) DeleteValueOf(current, name);
      }
      continue;
    }

    const std::u16string name = FromTerminated(entry->Name);
    std::optional<Value> found;
    for (Value& value : SnapshotValues(current)) {
      if (NamesEqual(value.name, name)) {
        found = std::move(value);
        break;
      }
    }
    if (found) {
      if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        const ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (found->type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
      }
      status = Deliver(q, name, found->type, std::move(found->data));
      if (!NT_SUCCESS(status)) return status;
      if (flags & RTL_QUERY_REGISTRY_DELETE) DeleteValueOf(current, name);
      continue;
    }
    if (required) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG defaultType = entry->DefaultType & 0xFF;
    if (defaultType == REG_NONE) continue;
    status = Deliver(q, name, defaultType, DefaultData(*entry, defaultType));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// ZwQueryValueKey

NTSTATUS QueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                       PULONG resultLength) {
  NTSTATUS status = STATUS_SUCCESS;
  KeyPtr key = KeyFromHandle(keyHandle, &status);
  if (!key) return status;
  Value value;
  {
    std::lock_guard guard(GetStore().lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    const Value* found = FindValueLocked(*key, FromCounted(valueName));
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    value = *found;
  }
  const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());

  ULONG fixed;
  ULONG total;
  switch (infoClass) {
    case KeyValueBasicInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      total = fixed + nameBytes;
      break;
    case KeyValueFullInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      total = fixed + nameBytes + dataBytes;
      break;
    case KeyValuePartialInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      total = fixed + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (resultLength != nullptr) *resultLength = total;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

  auto* out = static_cast<std::uint8_t*>(buffer);
  const bool complete = length >= total;
  switch (infoClass) {
    case KeyValueBasicInformation: {
      auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      if (complete) std::memcpy(out + fixed, value.name.data(), nameBytes);
      break;
    }
    case KeyValueFullInformation: {
      auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = fixed + nameBytes;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (complete) {
        std::memcpy(out + fixed, value.name.data(), nameBytes);
        if (dataBytes != 0) std::memcpy(out + fixed + nameBytes, value.data.data(), dataBytes);
      }
      break;
    }
    default: {
      auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (complete && dataBytes != 0) std::memcpy(out + fixed, value.data.data(), dataBytes);
      break;
    }
  }
  return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS OpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes) {
  if (keyHandle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const std::u16string name = FromCounted(attributes->ObjectName);
  NTSTATUS status = STATUS_SUCCESS;
  KeyPtr key;
  if (attributes->RootDirectory != nullptr) {
    KeyPtr root = KeyFromHandle(attributes->RootDirectory, &status);
    if (!root) return status;
    if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    auto parts = SplitComponents(name);
    if (!parts) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard guard(GetStore().lock);
    if (root->deleted) return STATUS_KEY_DELETED;
    key = WalkLocked(root, *parts, /*create=*/false);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  } else {
    std::lock_guard guard(GetStore().lock);
    key = ResolveLocked(name, /*create=*/false, &status);
    if (!key) return status;
  }
  auto* object = new KeyObject(std::move(key));
  *keyHandle =
      InsertHandle(object, desiredAccess, (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
  object->Dereference();  // the handle holds the object now
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
  DeleteTreeLocked(*key);
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

NTSTATUS DeleteValue(std::u16string_view keyPath, std::u16string_view name) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  KeyPtr key = ResolveLocked(keyPath, /*create=*/false, &status);
  if (!key) return status;
  if (FindValueLocked(*key, name) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto& values = key->values;
  values.erase(std::remove_if(values.begin(), values.end(),
                              [&](const Value& v) { return NamesEqual(v.name, name); }),
               values.end());
  return STATUS_SUCCESS;
}

std::optional<Value> GetValue(std::u16string_view keyPath, std::u16string_view name) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  KeyPtr key = ResolveLocked(keyPath, /*create=*/false, &status);
  if (!key) return std::nullopt;
  const Value* value = FindValueLocked(*key, name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

bool KeyExists(std::u16string_view path) {
  NTSTATUS status;
  std::lock_guard guard(GetStore().lock);
  return ResolveLocked(path, /*create=*/false, &status) != nullptr;
}

}  // namespace sim::kernel::registry

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
  sim::kernel::registry::CheckIrql("RtlQueryRegistryValues");
  return sim::kernel::registry::QueryValues(RelativeTo, Path, QueryTable, Context, Environment);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
  sim::kernel::registry::CheckIrql("ZwOpenKey");
  return sim::kernel::registry::OpenKey(KeyHandle, DesiredAccess, ObjectAttributes);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  sim::kernel::registry::CheckIrql("ZwQueryValueKey");
  return sim::kernel::registry::QueryValueKey(KeyHandle, ValueName, KeyValueInformationClass,
                                              KeyValueInformation, Length, ResultLength);
}
