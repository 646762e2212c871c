// Operation callbacks whose handling is not built yet: each passes its
// operation through untouched, so the registration never changes shape as
// the handling arrives.
#include "../core/callbacks.h"

namespace tavo {
namespace {

FLT_PREOP_CALLBACK_STATUS PassThrough(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID* context) {
  *context = nullptr;
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreNetworkQueryOpenOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FilterPreQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_POSTOP_CALLBACK_STATUS FilterPostQueryInformationOperationCallback(PFLT_CALLBACK_DATA,
                                                                       PCFLT_RELATED_OBJECTS, PVOID,
                                                                       FLT_POST_OPERATION_FLAGS) {
  return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS FilterPreShutdownOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FilterPreQuerySecurityOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FilterPreVolumeOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FilterPreDeviceControlOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FilterUnHandledOperation(PFLT_CALLBACK_DATA Data,
                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID* CompletionContext) {
  return PassThrough(Data, FltObjects, CompletionContext);
}

}  // namespace tavo
