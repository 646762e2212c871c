#include "name_probe_filter.h"

#include <gtest/gtest.h>

#include <mutex>

#include "driver_fixture.h"
#include "harness/strings.h"
#include <ntapi.h>

namespace tavo::testing {
namespace {

constexpr ULONG kProbeAltitude = 360000;  // the driver registers at 370000

PFLT_FILTER gFilter;
ProbeProvider gProvider;
std::mutex gHookLock;
CreateHook gHook;

FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                           PVOID*) {
  CreateHook hook;
  {
    std::lock_guard guard(gHookLock);
    hook = gHook;
  }
  if (hook) hook(data, objects);
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS) {
  FltUnregisterFilter(gFilter);
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI Generate(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CALLBACK_DATA, FLT_FILE_NAME_OPTIONS,
                         PBOOLEAN cache, PFLT_NAME_CONTROL name) {
  if (gProvider == ProbeProvider::Fails) return STATUS_NOT_SUPPORTED;
  std::u16string text = kProviderName;
  UNICODE_STRING fixed = sim::harness::MakeUnicodeString(text);
  NTSTATUS status = FltCheckAndGrowNameControl(name, fixed.Length);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyUnicodeString(&name->Name, &fixed);
  *cache = FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI Normalize(PFLT_INSTANCE, PCUNICODE_STRING, USHORT, PCUNICODE_STRING,
                          PFILE_NAMES_INFORMATION, ULONG, FLT_NORMALIZE_NAME_FLAGS, PVOID*) {
  return STATUS_NOT_SUPPORTED;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, PreCreate, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

NTSTATUS FLTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(FLT_REGISTRATION);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.OperationRegistration = kOperations;
  registration.FilterUnloadCallback = Unload;
  if (gProvider != ProbeProvider::None) {
    registration.GenerateFileNameCallback = Generate;
    registration.NormalizeNameComponentCallback = Normalize;
  }
  NTSTATUS status = FltRegisterFilter(driver, &registration, &gFilter);
  if (!NT_SUCCESS(status)) return status;
  status = FltStartFiltering(gFilter);
  if (!NT_SUCCESS(status)) FltUnregisterFilter(gFilter);
  return status;
}

}  // namespace

sim::harness::Driver* LoadNameProbe(ProbeProvider provider) {
  gProvider = provider;
  sim::harness::DriverOptions options;
  options.serviceName = u"NameProbe";
  options.altitude = kProbeAltitude;
  sim::harness::Driver* driver = nullptr;
  EXPECT_EQ(sim::harness::LoadDriver(ProbeEntry, options, &driver), STATUS_SUCCESS);
  return driver;
}

void UnloadNameProbe(sim::harness::Driver* driver) {
  SetCreateHook(nullptr);
  if (driver != nullptr && driver->loaded) {
    EXPECT_EQ(sim::harness::UnloadDriver(driver, true), STATUS_SUCCESS);
  }
}

void SetCreateHook(CreateHook hook) {
  std::lock_guard guard(gHookLock);
  gHook = std::move(hook);
}

namespace {
NTSTATUS Open(const std::u16string& path, HANDLE root, ULONG options, HANDLE* handle) {
  return CreateFileHandle(path, root, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options, handle);
}
}  // namespace

NTSTATUS OpenAndClose(const std::u16string& path, HANDLE root) {
  HANDLE handle = nullptr;
  const NTSTATUS status = Open(path, root, FILE_NON_DIRECTORY_FILE, &handle);
  if (NT_SUCCESS(status)) NtClose(handle);
  return status;
}

HANDLE CreateWorkFolder(sim::fs::Volume& volume) {
  EXPECT_EQ(volume.Populate({DirSpec(u"\\work\\dir"), FileSpecOf(u"\\work\\dir\\a.txt")}),
            STATUS_SUCCESS);
  HANDLE handle = nullptr;
  EXPECT_EQ(Open(u"\\??\\C:\\work\\dir", nullptr, FILE_DIRECTORY_FILE, &handle), STATUS_SUCCESS);
  return handle;
}

}  // namespace tavo::testing
