// The name-querying filter of harness/name_querier.h.
#include "harness/name_querier.h"

#include <mutex>
#include <utility>

#include "kernel/lifecycle.h"

namespace sim::harness::name_querier {
namespace {

struct State {
  std::mutex lock;
  PFLT_FILTER filter = nullptr;
  Query query;
  std::vector<Answer> answers;
};

State& S() {
  static State state;
  return state;
}

kernel::ResetHookRegistration resetQuerier(kernel::ResetOrder::FilterManager, [] {
  std::lock_guard guard(S().lock);
  S().filter = nullptr;
  S().answers.clear();
});

void Ask(PFLT_CALLBACK_DATA data) {
  Query query;
  {
    std::lock_guard guard(S().lock);
    query = S().query;
  }
  PFLT_FILE_NAME_INFORMATION info = nullptr;
  const NTSTATUS status = FltGetFileNameInformation(data, query.options, &info);
  Answer answer{data->Iopb->MajorFunction, status, {}};
  if (info) {
    answer.name.assign(reinterpret_cast<const char16_t*>(info->Name.Buffer),
                       info->Name.Length / sizeof(WCHAR));
    FltReleaseFileNameInformation(info);
  }
  std::lock_guard guard(S().lock);
  S().answers.push_back(std::move(answer));
}

bool Wanted(PFLT_CALLBACK_DATA data, bool post) {
  std::lock_guard guard(S().lock);
  return data->Iopb->MajorFunction == S().query.major && post == S().query.post;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
  if (Wanted(data, false)) Ask(data);
  return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                       FLT_POST_OPERATION_FLAGS flags) {
  const bool draining = (flags & FLTFL_POST_OPERATION_DRAINING) != 0;
  if (!draining && NT_SUCCESS(data->IoStatus.Status) && data->IoStatus.Status != STATUS_REPARSE &&
      Wanted(data, true)) {
    Ask(data);
  }
  return FLT_POSTOP_FINISHED_PROCESSING;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS) {
  PFLT_FILTER filter;
  {
    std::lock_guard guard(S().lock);
    filter = S().filter;
    S().filter = nullptr;
  }
  FltUnregisterFilter(filter);
  return STATUS_SUCCESS;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, Pre, Post, nullptr},
    {IRP_MJ_READ, 0, Pre, Post, nullptr},
    {IRP_MJ_WRITE, 0, Pre, Post, nullptr},
    {IRP_MJ_QUERY_INFORMATION, 0, Pre, Post, nullptr},
    {IRP_MJ_SET_INFORMATION, 0, Pre, Post, nullptr},
    {IRP_MJ_DIRECTORY_CONTROL, 0, Pre, Post, nullptr},
    {IRP_MJ_CLEANUP, 0, Pre, Post, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

NTSTATUS FLTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(FLT_REGISTRATION);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.OperationRegistration = kOperations;
  registration.FilterUnloadCallback = Unload;
  PFLT_FILTER filter = nullptr;
  NTSTATUS status = FltRegisterFilter(driver, &registration, &filter);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard guard(S().lock);
    S().filter = filter;
  }
  status = FltStartFiltering(filter);
  if (!NT_SUCCESS(status)) FltUnregisterFilter(filter);
  return status;
}

}  // namespace

Driver* Load(ULONG altitude, const Query& query) {
  {
    std::lock_guard guard(S().lock);
    S().query = query;
    S().answers.clear();
  }
  DriverOptions options;
  options.serviceName = u"NameQuerier";
  options.altitude = altitude;
  Driver* driver = nullptr;
  return NT_SUCCESS(LoadDriver(DriverEntry, options, &driver)) ? driver : nullptr;
}

std::vector<Answer> TakeAnswers() {
  std::lock_guard guard(S().lock);
  return std::exchange(S().answers, {});
}

}  // namespace sim::harness::name_querier
