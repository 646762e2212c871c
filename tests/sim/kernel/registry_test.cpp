// The simulated registry: RtlQueryRegistryValues (direct and callback
// forms, defaults, REQUIRED, type checks, subkeys), ZwOpenKey and
// ZwQueryValueKey, and the harness that fills the registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness/registry.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "nt/ntstatus.h"
#include "nt/ob.h"
#include "nt/registry.h"
#include "nt/rtl.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace {

using namespace sim::harness;

constexpr char kParameters[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tavo\\Parameters";
constexpr ULONG kSentinel = 0xA5A5A5A5;

PWSTR W(const char16_t* text) {
  return const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text));
}

std::u16string Utf16(const char* text) {
  return FromUtf8(text);
}

// RtlQueryRegistryValues on ...\Services\Tavo\Parameters.
NTSTATUS QueryParameters(PRTL_QUERY_REGISTRY_TABLE table, PVOID context = nullptr,
                         PVOID environment = nullptr) {
  return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, W(u"Tavo\\Parameters"), table, context,
                                environment);
}

RTL_QUERY_REGISTRY_TABLE DirectDword(const char16_t* name, ULONG* target, ULONG flags = 0) {
  RTL_QUERY_REGISTRY_TABLE entry{};
  entry.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK | flags;
  entry.Name = W(name);
  entry.EntryContext = target;
  entry.DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
  return entry;
}

struct DwordCase {
  const char* name;
  bool keyExists;
  bool valueExists;
  ULONG flags;            // besides DIRECT | TYPECHECK
  bool withDefault;       // DefaultType REG_DWORD, DefaultData 7
  ULONG relativeToFlags;  // e.g. RTL_REGISTRY_OPTIONAL
  NTSTATUS expectedStatus;
  ULONG expectedValue;
};

TEST(RtlQueryRegistryValues, DirectDwordMissingKeyMissingValueDefaultsAndRequired) {
  const DwordCase cases[] = {
      {"present", true, true, 0, false, 0, STATUS_SUCCESS, 42},
      {"present beats default", true, true, 0, true, 0, STATUS_SUCCESS, 42},
      {"missing value takes default", true, false, 0, true, 0, STATUS_SUCCESS, 7},
      {"missing value, no default: skipped", true, false, 0, false, 0, STATUS_SUCCESS, kSentinel},
      {"missing required value", true, false, RTL_QUERY_REGISTRY_REQUIRED, false, 0,
       STATUS_OBJECT_NAME_NOT_FOUND, kSentinel},
      {"missing required value with default", true, false, RTL_QUERY_REGISTRY_REQUIRED, true, 0,
       STATUS_OBJECT_NAME_NOT_FOUND, kSentinel},
      {"present required", true, true, RTL_QUERY_REGISTRY_REQUIRED, false, 0, STATUS_SUCCESS, 42},
      {"missing key", false, false, 0, true, 0, STATUS_OBJECT_NAME_NOT_FOUND, kSentinel},
      {"missing optional key", false, false, 0, true, RTL_REGISTRY_OPTIONAL, STATUS_SUCCESS,
       kSentinel},
  };
  for (const DwordCase& c : cases) {
    sim::kernel::ResetMachine();
    if (c.keyExists) CreateRegistryKey(kParameters);
    if (c.valueExists) SetRegistryDword(kParameters, "Level", 42);

    ULONG value = kSentinel;
    ULONG fallback = 7;
    RTL_QUERY_REGISTRY_TABLE table[2] = {DirectDword(u"Level", &value, c.flags), {}};
    if (c.withDefault) {
      table[0].DefaultType |= REG_DWORD;
      table[0].DefaultData = &fallback;
      table[0].DefaultLength = sizeof(fallback);
    }
    const std::u16string path = Utf16(kParameters);
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | c.relativeToFlags,
                               reinterpret_cast<PCWSTR>(path.c_str()), table, nullptr, nullptr),
        c.expectedStatus)
        << c.name;
    EXPECT_EQ(value, c.expectedValue) << c.name;
  }
}

TEST(RtlQueryRegistryValues, RequiredFailureStopsTheTable) {
  CreateRegistryKey(kParameters);
  SetRegistryDword(kParameters, "After", 5);
  ULONG missing = kSentinel, after = kSentinel;
  RTL_QUERY_REGISTRY_TABLE table[3] = {
      DirectDword(u"Missing", &missing, RTL_QUERY_REGISTRY_REQUIRED),
      DirectDword(u"After", &after),
      {}};
  EXPECT_EQ(QueryParameters(table), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(after, kSentinel);
}

TEST(RtlQueryRegistryValues, TypeCheckRefusesAStoredValueOfAnotherType) {
  SetRegistryString(kParameters, "Level", "high");
  ULONG value = kSentinel;
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectDword(u"Level", &value), {}};
  const std::u16string path = Utf16(kParameters);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(path.c_str()),
                                   table, nullptr, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(value, kSentinel);
}

TEST(RtlQueryRegistryValues, DirectStringsIntoCallerBufferWithExpansion) {
  SetRegistryString(kParameters, "Root", "\\Device\\Share");
  SetRegistryString(kParameters, "Cache", "%SystemRoot%\\Tavo\\%Missing%", REG_EXPAND_SZ);

  WCHAR rootBuffer[14];  // exactly the 13 characters and their NUL
  rootBuffer[13] = L'x';
  UNICODE_STRING root = {0, sizeof(rootBuffer), rootBuffer};
  WCHAR expandedBuffer[64];
  UNICODE_STRING expanded = {0, sizeof(expandedBuffer), expandedBuffer};
  WCHAR rawBuffer[64];
  UNICODE_STRING raw = {0, sizeof(rawBuffer), rawBuffer};
  WCHAR tinyBuffer[4];
  UNICODE_STRING tiny = {0, sizeof(tinyBuffer), tinyBuffer};

  auto entry = [](const char16_t* name, UNICODE_STRING* target, ULONG type, ULONG flags = 0) {
    RTL_QUERY_REGISTRY_TABLE e{};
    e.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK | flags;
    e.Name = W(name);
    e.EntryContext = target;
    e.DefaultType = type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return e;
  };
  const char16_t environment[] = u"OTHER=x\0SYSTEMROOT=C:\\Windows\0";
  RTL_QUERY_REGISTRY_TABLE table[4] = {
      entry(u"Root", &root, REG_SZ),
      entry(u"Cache", &expanded, REG_EXPAND_SZ),
      entry(u"Cache", &raw, REG_EXPAND_SZ, RTL_QUERY_REGISTRY_NOEXPAND),
      {}};
  ASSERT_EQ(QueryParameters(table, nullptr, const_cast<char16_t*>(environment)), STATUS_SUCCESS);
  EXPECT_EQ(ToU16(root), u"\\Device\\Share");
  EXPECT_EQ(root.Length, 13 * sizeof(WCHAR));
  EXPECT_EQ(rootBuffer[13], L'\0');
  EXPECT_EQ(ToU16(expanded), u"C:\\Windows\\Tavo\\%Missing%");
  EXPECT_EQ(ToU16(raw), u"%SystemRoot%\\Tavo\\%Missing%");

  RTL_QUERY_REGISTRY_TABLE tooSmall[2] = {entry(u"Root", &tiny, REG_SZ), {}};
  EXPECT_EQ(QueryParameters(tooSmall), STATUS_BUFFER_TOO_SMALL);
}

TEST(RtlQueryRegistryValues, DirectStringWithoutBufferIsAllocatedForRtlFreeUnicodeString) {
  SetRegistryString(kParameters, "Root", "\\Device\\Share");
  auto query = [](UNICODE_STRING* target) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {{}, {}};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = W(u"Root");
    table[0].EntryContext = target;
    table[0].DefaultType = REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return QueryParameters(table);
  };
  UNICODE_STRING root = {0, 0, nullptr};
  ASSERT_EQ(query(&root), STATUS_SUCCESS);
  ASSERT_NE(root.Buffer, nullptr);
  EXPECT_EQ(ToU16(root), u"\\Device\\Share");
  EXPECT_EQ(root.MaximumLength, root.Length + sizeof(WCHAR));
  RtlFreeUnicodeString(&root);  // the pool checks the tag and the end of the test checks for leaks

  sim::faults::FailNth(sim::faults::Site::PoolAllocation,
                       sim::faults::CallCount(sim::faults::Site::PoolAllocation) + 1);
  UNICODE_STRING failed = {0, 0, nullptr};
  EXPECT_EQ(query(&failed), STATUS_NO_MEMORY);
  EXPECT_EQ(failed.Buffer, nullptr);
}

TEST(RtlQueryRegistryValues, DirectDataLongerThanAUlongUsesTheSizeHeader) {
  SetRegistryQword(kParameters, "Big", 0x1122334455667788ull);
  const std::u16string path = Utf16(kParameters);
  auto query = [&](void* target) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {{}, {}};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = W(u"Big");
    table[0].EntryContext = target;
    table[0].DefaultType = REG_QWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(path.c_str()),
                                  table, nullptr, nullptr);
  };

  // Negative size: the data only.
  ULONGLONG dataOnly = static_cast<ULONGLONG>(static_cast<LONG>(-8)) & 0xFFFFFFFFull;
  EXPECT_EQ(query(&dataOnly), STATUS_SUCCESS);
  EXPECT_EQ(dataOnly, 0x1122334455667788ull);

  // Positive size: length, type, then data.
  ULONG withHeader[4] = {sizeof(withHeader), 0, 0, 0};
  EXPECT_EQ(query(withHeader), STATUS_SUCCESS);
  EXPECT_EQ(withHeader[0], 8u);
  EXPECT_EQ(withHeader[1], static_cast<ULONG>(REG_QWORD));
  EXPECT_EQ(withHeader[2], 0x55667788u);
  EXPECT_EQ(withHeader[3], 0x11223344u);

  // Too small for header and data, and a header the caller forgot.
  ULONG small[3] = {sizeof(small), 0, 0};
  EXPECT_EQ(query(small), STATUS_BUFFER_TOO_SMALL);
  ULONGLONG unset = 0;
  EXPECT_EQ(query(&unset), STATUS_BUFFER_TOO_SMALL);
}

struct Call {
  std::u16string name;
  ULONG type;
  std::vector<std::uint8_t> data;
};

struct Recorder {
  std::vector<Call> calls;
  NTSTATUS answer = STATUS_SUCCESS;

  static NTSTATUS NTAPI Routine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                          PVOID Context, PVOID EntryContext) {
    auto* self = static_cast<Recorder*>(Context);
    EXPECT_EQ(EntryContext, &self->calls);
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    self->calls.push_back(
        Call{ValueName ? ToU16(ValueName) : u"<null>", ValueType,
             std::vector<std::uint8_t>(bytes, bytes + (bytes ? ValueLength : 0))});
    return self->answer;
  }
};

RTL_QUERY_REGISTRY_TABLE Callback(Recorder& recorder, const char16_t* name, ULONG flags = 0) {
  RTL_QUERY_REGISTRY_TABLE e{};
  e.QueryRoutine = &Recorder::Routine;
  e.Flags = flags;
  e.Name = name ? W(name) : nullptr;
  e.EntryContext = &recorder.calls;
  return e;
}

std::vector<std::uint8_t> Bytes(const std::u16string& text) {
  std::vector<std::uint8_t> data((text.size() + 1) * 2, 0);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  return data;
}

TEST(RtlQueryRegistryValues, QueryRoutineSeesEachStringOfAMultiStringUnlessNoExpand) {
  SetRegistryMultiString(kParameters, "Exclude", {"a.txt", "dir\\b"});
  Recorder recorder;
  RTL_QUERY_REGISTRY_TABLE table[3] = {Callback(recorder, u"Exclude"),
                                       Callback(recorder, u"Exclude", RTL_QUERY_REGISTRY_NOEXPAND),
                                       {}};
  ASSERT_EQ(QueryParameters(table, &recorder), STATUS_SUCCESS);
  ASSERT_EQ(recorder.calls.size(), 3u);
  EXPECT_EQ(recorder.calls[0].type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(recorder.calls[0].data, Bytes(u"a.txt"));
  EXPECT_EQ(recorder.calls[1].data, Bytes(u"dir\\b"));
  EXPECT_EQ(recorder.calls[1].name, u"Exclude");
  EXPECT_EQ(recorder.calls[2].type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_EQ(recorder.calls[2].data.size(), (6 + 6 + 1) * sizeof(WCHAR));
}

TEST(RtlQueryRegistryValues, DeleteFlagRemovesTheValueAfterTheQuery) {
  SetRegistryDword(kParameters, "Once", 1);
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectDword(u"Once", &value, RTL_QUERY_REGISTRY_DELETE), {}};
  EXPECT_EQ(QueryParameters(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_FALSE(GetRegistryValue(kParameters, "Once").has_value());
}

TEST(RtlQueryRegistryValues, VerifierFlagsDirectMisuse) {
  // REG_MULTI_SZ through DIRECT needs NOEXPAND.
  SetRegistryMultiString(kParameters, "List", {"a"});
  WCHAR buffer[16];
  UNICODE_STRING target = {0, sizeof(buffer), buffer};
  RTL_QUERY_REGISTRY_TABLE table[2] = {{}, {}};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = W(u"List");
  table[0].EntryContext = &target;
  table[0].DefaultType = REG_MULTI_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
  EXPECT_EQ(QueryParameters(table), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Registry).size(), 1u);

  // DIRECT without TYPECHECK: fine in a system hive, a violation elsewhere.
  const char kUserKey[] = "\\Registry\\User\\S-1-5-21\\Software\\Tavo";
  SetRegistryDword(kParameters, "Plain", 1);
  SetRegistryDword(kUserKey, "Plain", 1);
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE plain[2] = {DirectDword(u"Plain", &value), {}};
  plain[0].Flags &= ~RTL_QUERY_REGISTRY_TYPECHECK;
  plain[0].DefaultType = REG_NONE;
  EXPECT_EQ(QueryParameters(plain), STATUS_SUCCESS);
  EXPECT_TRUE(sim::verifier::TakeViolations(sim::verifier::Check::Registry).empty());
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                   W(u"\\Registry\\User\\S-1-5-21\\Software\\Tavo"), plain, nullptr,
                                   nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Registry).size(), 1u);
}

TEST(RtlQueryRegistryValues, MalformedTablesAreInvalidParameters) {
  CreateRegistryKey(kParameters);
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE noRoutine[2] = {{}, {}};
  noRoutine[0].Name = W(u"X");  // neither a QueryRoutine nor DIRECT
  EXPECT_EQ(QueryParameters(noRoutine), STATUS_INVALID_PARAMETER);
  RTL_QUERY_REGISTRY_TABLE directNoName[2] = {DirectDword(u"X", &value), {}};
  directNoName[0].Name = nullptr;
  directNoName[0].QueryRoutine = &Recorder::Routine;  // keeps the entry from ending the table
  EXPECT_EQ(QueryParameters(directNoName), STATUS_INVALID_PARAMETER);
  RTL_QUERY_REGISTRY_TABLE fine[2] = {DirectDword(u"X", &value), {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_MAXIMUM, W(u"Tavo"), fine, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// ZwOpenKey / ZwQueryValueKey

HANDLE OpenKey(const char* path, NTSTATUS* status) {
  OwnedUnicodeString name{std::string_view(path)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE handle = nullptr;
  *status = ZwOpenKey(&handle, KEY_READ, &attributes);
  return handle;
}

TEST(ZwQueryValueKey, PartialInformationBufferSizes) {
  SetRegistryDword(kParameters, "Level", 0x01020304);
  NTSTATUS status;
  HANDLE key = OpenKey(kParameters, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  OwnedUnicodeString name{std::string_view("level")};

  const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG needed = fixed + sizeof(ULONG);
  alignas(8) std::uint8_t buffer[64];
  ULONG result = 0;

  std::memset(buffer, 0xCC, sizeof(buffer));
  EXPECT_EQ(
      ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, fixed - 1, &result),
      STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, needed);
  EXPECT_EQ(buffer[0], 0xCC);

  EXPECT_EQ(
      ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, needed - 1, &result),
      STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, needed);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(info->DataLength, sizeof(ULONG));

  EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, needed, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, needed);
  ULONG data;
  std::memcpy(&data, info->Data, sizeof(data));
  EXPECT_EQ(data, 0x01020304u);

  OwnedUnicodeString missing{std::string_view("Nope")};
  EXPECT_EQ(ZwQueryValueKey(key, missing.get(), KeyValuePartialInformation, buffer, sizeof(buffer),
                            &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(ZwOpenKey, MissingKeysRelativeOpensAndDeletedKeys) {
  CreateRegistryKey(kParameters);
  NTSTATUS status;
  OpenKey("\\Registry\\Machine\\SYSTEM\\Nope", &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  OpenKey("Registry\\Machine", &status);
  EXPECT_EQ(status, STATUS_OBJECT_PATH_SYNTAX_BAD);

  HANDLE services = OpenKey("\\REGISTRY\\machine\\system\\currentcontrolset\\services", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  OwnedUnicodeString relative{std::string_view("Tavo\\Parameters")};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, relative.get(), OBJ_KERNEL_HANDLE, services, nullptr);
  HANDLE parameters = nullptr;
  ASSERT_EQ(ZwOpenKey(&parameters, KEY_READ, &attributes), STATUS_SUCCESS);
  OwnedUnicodeString absolute{std::string_view("\\Tavo")};  // a relative name has no leading '\'
  attributes.ObjectName = absolute.get();
  HANDLE refused = nullptr;
  EXPECT_EQ(ZwOpenKey(&refused, KEY_READ, &attributes), STATUS_OBJECT_PATH_SYNTAX_BAD);

  // RTL_REGISTRY_HANDLE queries the open key.
  SetRegistryDword(kParameters, "Level", 4);
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectDword(u"Level", &value), {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(parameters), table,
                                   nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 4u);

  EXPECT_TRUE(DeleteRegistryKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tavo"));
  EXPECT_FALSE(RegistryKeyExists(kParameters));
  OwnedUnicodeString name{std::string_view("Level")};
  ULONG result;
  std::uint8_t buffer[32];
  EXPECT_EQ(ZwQueryValueKey(parameters, name.get(), KeyValuePartialInformation, buffer,
                            sizeof(buffer), &result),
            STATUS_KEY_DELETED);
  EXPECT_EQ(ZwClose(parameters), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(services), STATUS_SUCCESS);
}

TEST(ZwOpenKey, KeyHandleLeftOpenIsReported) {
  CreateRegistryKey(kParameters);
  NTSTATUS status;
  HANDLE key = OpenKey(kParameters, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  sim::kernel::RunEndOfTestChecks();
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Registry);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("1 registry key handle"), std::string::npos);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(RegistryHarness, ValuesAndKeys) {
  SetRegistryBinary(kParameters, "Blob", {1, 2, 3});
  auto blob = GetRegistryValue(kParameters, "BLOB");
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(blob->type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(blob->data, (std::vector<std::uint8_t>{1, 2, 3}));
  SetRegistryDword(kParameters, "blob", 5);  // replaces, whatever the case
  EXPECT_EQ(GetRegistryValue(kParameters, "Blob")->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_TRUE(DeleteRegistryValue(kParameters, "Blob"));
  EXPECT_FALSE(DeleteRegistryValue(kParameters, "Blob"));
  EXPECT_FALSE(DeleteRegistryKey("\\Registry\\Machine\\SOFTWARE\\Nope"));
  EXPECT_FALSE(DeleteRegistryKey("\\Registry"));  // the root cannot go
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Registry).size(), 1u);
  EXPECT_TRUE(RegistryKeyExists(kParameters));

  // The machine boots with the standard roots, and a reset forgets the rest.
  EXPECT_TRUE(RegistryKeyExists("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
  sim::kernel::ResetMachine();
  EXPECT_FALSE(RegistryKeyExists(kParameters));
  EXPECT_TRUE(RegistryKeyExists("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
}

}  // namespace
