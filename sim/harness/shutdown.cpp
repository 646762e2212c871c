// System shutdown notification (harness/shutdown.h).
//
// Windows sends IRP_MJ_SHUTDOWN to the file systems registered for shutdown
// notification, not to volumes; the Filter Manager passes it to the instances
// of its volumes. Which volume an instance sees it for, and in which order,
// is not documented: here every mounted volume gets one request, in mount
// order.
#include "harness/shutdown.h"

#include <thread>

#include "io/io_manager.h"
#include "kernel/thread_state.h"

namespace sim::harness {

void ShutDownSystem() {
  std::thread sender([] {
    kernel::ThreadState& thread = kernel::CurrentThread();
    thread.processId = kernel::kSystemProcessId;
    thread.isSystemThread = true;
    for (io::Volume* volume : io::AllVolumes()) {
      io::Operation op(volume, nullptr, IRP_MJ_SHUTDOWN, 0);
      op.data.RequestorMode = KernelMode;
      io::SendOperation(op);
    }
  });
  sender.join();
}

}  // namespace sim::harness
