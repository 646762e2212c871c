// SL_INDEX_SPECIFIED has no NT API form: a filter above the driver sets it
// (with FileIndex 7) on a query, as a kernel component may.
#include "create_path_fixture.h"
#include "harness/machine.h"

namespace tavo::testing {
namespace {

constexpr ULONG kAboveTheDriver = 380000;  // the driver registers at 370000
PFLT_FILTER gIndexFilter;

FLT_PREOP_CALLBACK_STATUS FLTAPI SetIndex(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
  if (data->Iopb->MinorFunction == IRP_MN_QUERY_DIRECTORY) {
    data->Iopb->OperationFlags |= SL_INDEX_SPECIFIED;
    data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileIndex = 7;
    FltSetCallbackDataDirty(data);
  }
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
NTSTATUS FLTAPI UnloadIndexFilter(FLT_FILTER_UNLOAD_FLAGS) {
  FltUnregisterFilter(gIndexFilter);
  return STATUS_SUCCESS;
}
const FLT_OPERATION_REGISTRATION kIndexOperations[] = {
    {IRP_MJ_DIRECTORY_CONTROL, 0, SetIndex, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
NTSTATUS FLTAPI IndexFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(FLT_REGISTRATION);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.OperationRegistration = kIndexOperations;
  registration.FilterUnloadCallback = UnloadIndexFilter;
  NTSTATUS status = FltRegisterFilter(driver, &registration, &gIndexFilter);
  if (NT_SUCCESS(status)) status = FltStartFiltering(gIndexFilter);
  return status;
}

std::vector<std::uint8_t> TwoNames() {
  // Two FILE_NAMES_INFORMATION entries, "a" at 0 and "b" at 16.
  std::vector<std::uint8_t> data(30, 0);
  const std::uint32_t next = 16, nameBytes = 2;
  std::memcpy(data.data(), &next, 4);
  std::memcpy(data.data() + 8, &nameBytes, 4);
  data[12] = 'a';
  std::memcpy(data.data() + 16 + 8, &nameBytes, 4);
  data[28] = 'b';
  return data;
}

class IndexSpecifiedTest : public CreatePathTest {};

TEST_F(IndexSpecifiedTest, SendsItsIndexAndAdvancesTheHandlesOwn) {
  client_->OnRequest(protocol::kRequestDirectoryListing, ScriptedAnswer::Now(STATUS_SUCCESS, TwoNames()));
  OpenResult root = Opened(kView, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
  auto list = [&] {
    sim::harness::RunAs(root.processId, [&] {
      alignas(8) std::uint8_t buffer[128];
      IO_STATUS_BLOCK iosb{};
      NtQueryDirectoryFile(root.handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                           FileNamesInformation, FALSE, nullptr, FALSE);
    });
  };
  list();  // index 2
  sim::harness::DriverOptions options;
  options.serviceName = u"IndexSetter";
  options.altitude = kAboveTheDriver;
  sim::harness::Driver* setter = nullptr;
  ASSERT_EQ(sim::harness::LoadDriver(IndexFilterEntry, options, &setter), STATUS_SUCCESS);
  list();  // sends 7; the handle's index goes from 2 to 4
  ASSERT_EQ(sim::harness::UnloadDriver(setter, true), STATUS_SUCCESS);
  list();
  const auto sent = Sent(protocol::kRequestDirectoryListing);
  ASSERT_EQ(sent.size(), 3u);
  const std::size_t start = offsetof(protocol::DirectoryQueryRequest, StartIndex);
  EXPECT_EQ(sent[0].U32(start), 0u);
  EXPECT_EQ(sent[1].U32(start), 7u);
  EXPECT_EQ(sent[2].U32(start), 4u);
  Close(root);
}

}  // namespace
}  // namespace tavo::testing
