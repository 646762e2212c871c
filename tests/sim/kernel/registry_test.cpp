// The simulated registry: RtlQueryRegistryValues in its direct form
// (defaults, REQUIRED, type checks, strings, data with a size header) and
// what it refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness/registry.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "nt/ntstatus.h"
#include "nt/registry.h"
#include "nt/rtl.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace {

using namespace sim::harness;

constexpr char kParameters[] = "\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo";
constexpr ULONG kSentinel = 0xA5A5A5A5;

PWSTR W(const char16_t* text) {
  return const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text));
}

RTL_QUERY_REGISTRY_TABLE Direct(const char16_t* name, void* target, ULONG type, ULONG flags = 0) {
  RTL_QUERY_REGISTRY_TABLE entry{};
  entry.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK | flags;
  entry.Name = W(name);
  entry.EntryContext = target;
  entry.DefaultType = type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
  return entry;
}

NTSTATUS Query(RTL_QUERY_REGISTRY_TABLE entry, const char* path = kParameters,
               ULONG relativeTo = RTL_REGISTRY_ABSOLUTE) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {entry, {}};
  const std::u16string wide = FromUtf8(path);
  return RtlQueryRegistryValues(relativeTo, reinterpret_cast<PCWSTR>(wide.c_str()), table, nullptr,
                                nullptr);
}

TEST(RtlQueryRegistryValues, DirectDwordMissingKeyMissingValueDefaultsAndRequired) {
  struct Case {
    const char* name;
    bool keyExists, valueExists;
    ULONG flags;      // besides DIRECT | TYPECHECK
    bool withDefault;  // DefaultType REG_DWORD, DefaultData 7
    ULONG relativeToFlags;
    NTSTATUS expectedStatus;
    ULONG expectedValue;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    sim::kernel::ResetMachine();
    if (c.keyExists) CreateRegistryKey(kParameters);
    if (c.valueExists) SetRegistryDword(kParameters, "level", 42);
    ULONG value = kSentinel;
    ULONG fallback = 7;
    RTL_QUERY_REGISTRY_TABLE entry = Direct(u"Level", &value, REG_DWORD, c.flags);
    if (c.withDefault) {
      entry.DefaultType |= REG_DWORD;
      entry.DefaultData = &fallback;
      entry.DefaultLength = sizeof(fallback);
    }
    EXPECT_EQ(Query(entry, kParameters, RTL_REGISTRY_ABSOLUTE | c.relativeToFlags),
              c.expectedStatus)
        << c.name;
    EXPECT_EQ(value, c.expectedValue) << c.name;
  }
}

TEST(RtlQueryRegistryValues, RequiredFailureAndTypeMismatchStopTheTable) {
  SetRegistryDword(kParameters, "After", 5);
  SetRegistryString(kParameters, "Text", "high");
  ULONG first = kSentinel, after = kSentinel;
  for (const char16_t* name : {u"Missing", u"Text"}) {
    RTL_QUERY_REGISTRY_TABLE table[3] = {
        Direct(name, &first, REG_DWORD, RTL_QUERY_REGISTRY_REQUIRED),
        Direct(u"After", &after, REG_DWORD), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                     W(u"\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo"), table,
                                     nullptr, nullptr),
              name[0] == u'M' ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(first, kSentinel);
    EXPECT_EQ(after, kSentinel);
  }
}

TEST(RtlQueryRegistryValues, DirectStringsIntoCallerOrAllocatedBuffers) {
  SetRegistryString(kParameters, "Root", "\\Device\\Share");
  WCHAR exact[14];  // exactly the 13 characters and their NUL
  exact[13] = L'x';
  UNICODE_STRING root = {0, sizeof(exact), exact};
  ASSERT_EQ(Query(Direct(u"Root", &root, REG_SZ)), STATUS_SUCCESS);
  EXPECT_EQ(ToU16(root), u"\\Device\\Share");
  EXPECT_EQ(exact[13], L'\0');

  WCHAR tinyBuffer[4];
  UNICODE_STRING tiny = {0, sizeof(tinyBuffer), tinyBuffer};
  EXPECT_EQ(Query(Direct(u"Root", &tiny, REG_SZ)), STATUS_BUFFER_TOO_SMALL);

  UNICODE_STRING allocated = {0, 0, nullptr};
  ASSERT_EQ(Query(Direct(u"Root", &allocated, REG_SZ)), STATUS_SUCCESS);
  EXPECT_EQ(ToU16(allocated), u"\\Device\\Share");
  EXPECT_EQ(allocated.MaximumLength, allocated.Length + sizeof(WCHAR));
  RtlFreeUnicodeString(&allocated);  // the pool checks the tag, the end of the test for leaks

  sim::faults::FailNth(sim::faults::Site::PoolAllocation,
                       sim::faults::CallCount(sim::faults::Site::PoolAllocation) + 1);
  UNICODE_STRING failed = {0, 0, nullptr};
  EXPECT_EQ(Query(Direct(u"Root", &failed, REG_SZ)), STATUS_NO_MEMORY);
  EXPECT_EQ(failed.Buffer, nullptr);
}

TEST(RtlQueryRegistryValues, DirectDataLongerThanAUlongUsesTheSizeHeader) {
  const std::vector<std::uint8_t> qword = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  SetRegistryValue(kParameters, "Big", REG_QWORD, qword);
  auto query = [](void* target) { return Query(Direct(u"Big", target, REG_QWORD)); };

  // Negative size: the data only.
  ULONGLONG dataOnly = static_cast<ULONGLONG>(static_cast<LONG>(-8)) & 0xFFFFFFFFull;
  EXPECT_EQ(query(&dataOnly), STATUS_SUCCESS);
  EXPECT_EQ(dataOnly, 0x1122334455667788ull);

  // Positive size: length, type, then data.
  ULONG withHeader[4] = {sizeof(withHeader), 0, 0, 0};
  EXPECT_EQ(query(withHeader), STATUS_SUCCESS);
  EXPECT_EQ(withHeader[0], 8u);
  EXPECT_EQ(withHeader[1], static_cast<ULONG>(REG_QWORD));
  EXPECT_EQ(withHeader[3], 0x11223344u);

  // Too small for header and data, and a header the caller forgot.
  ULONG small[3] = {sizeof(small), 0, 0};
  EXPECT_EQ(query(small), STATUS_BUFFER_TOO_SMALL);
  ULONGLONG unset = 0;
  EXPECT_EQ(query(&unset), STATUS_BUFFER_TOO_SMALL);
}

NTSTATUS NTAPI IgnoreValue(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) {
  return STATUS_SUCCESS;
}

TEST(RtlQueryRegistryValues, MisuseAndWhatIsNotSimulated) {
  const char kUserKey[] = "\\Registry\\User\\S-1-5-21\\Software\\Tavo";
  SetRegistryDword(kParameters, "Plain", 1);
  SetRegistryDword(kUserKey, "Plain", 1);
  SetRegistryValue(kParameters, "List", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
  ULONG value = 0;
  WCHAR buffer[16];
  UNICODE_STRING text = {0, sizeof(buffer), buffer};
  RTL_QUERY_REGISTRY_TABLE plain = Direct(u"Plain", &value, REG_NONE);
  plain.Flags &= ~RTL_QUERY_REGISTRY_TYPECHECK;
  RTL_QUERY_REGISTRY_TABLE routine{};
  routine.QueryRoutine = &IgnoreValue;
  routine.Name = W(u"Plain");
  RTL_QUERY_REGISTRY_TABLE unnamed = Direct(u"Plain", &value, REG_DWORD);
  unnamed.Name = nullptr;
  unnamed.QueryRoutine = &IgnoreValue;  // keeps the entry from ending the table

  struct Case {
    const char* name;
    RTL_QUERY_REGISTRY_TABLE entry;
    const char* path;
    ULONG relativeTo;
    NTSTATUS expected;
    size_t violations;
  };
  const Case cases[] = {
      {"multi-string without NOEXPAND", Direct(u"List", &text, REG_MULTI_SZ), kParameters,
       RTL_REGISTRY_ABSOLUTE, STATUS_INVALID_PARAMETER, 1},
      {"multi-string with NOEXPAND",
       Direct(u"List", &text, REG_MULTI_SZ, RTL_QUERY_REGISTRY_NOEXPAND), kParameters,
       RTL_REGISTRY_ABSOLUTE, STATUS_SUCCESS, 0},
      {"no TYPECHECK in a system hive", plain, kParameters, RTL_REGISTRY_ABSOLUTE, STATUS_SUCCESS,
       0},
      {"no TYPECHECK elsewhere", plain, kUserKey, RTL_REGISTRY_ABSOLUTE, STATUS_SUCCESS, 1},
      {"direct without a name", unnamed, kParameters, RTL_REGISTRY_ABSOLUTE,
       STATUS_INVALID_PARAMETER, 0},
      {"unknown relative root", plain, kParameters, RTL_REGISTRY_MAXIMUM, STATUS_INVALID_PARAMETER,
       0},
      {"query routine", routine, kParameters, RTL_REGISTRY_ABSOLUTE, STATUS_NOT_IMPLEMENTED, 1},
      {"subkey entry", Direct(u"Plain", &value, REG_DWORD, RTL_QUERY_REGISTRY_SUBKEY), kParameters,
       RTL_REGISTRY_ABSOLUTE, STATUS_NOT_IMPLEMENTED, 1},
      {"relative root", plain, "Tavo", RTL_REGISTRY_SERVICES, STATUS_NOT_IMPLEMENTED, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Query(c.entry, c.path, c.relativeTo), c.expected) << c.name;
    EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Registry).size(), c.violations)
        << c.name;
  }
}

}  // namespace
