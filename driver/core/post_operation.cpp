// The post-operation shared by every operation that needs no post-processing.
#include "callbacks.h"

namespace tavo {

FLT_POSTOP_CALLBACK_STATUS FilterNoPostOperation(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                                 FLT_POST_OPERATION_FLAGS) {
  return FLT_POSTOP_FINISHED_PROCESSING;
}

}  // namespace tavo
