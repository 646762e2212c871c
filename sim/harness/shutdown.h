// System shutdown as the file systems and their filters see it.
#pragma once

namespace sim::harness {

// Sends IRP_MJ_SHUTDOWN to every mounted volume, as the I/O manager does when
// the system is being shut down: from a System thread at PASSIVE_LEVEL, as a
// kernel-mode request with no file object. Each volume's filter instances get
// their shutdown pre-operation (the Filter Manager takes no post-operation
// for it), then the file system completes the request with STATUS_SUCCESS.
// Volumes, drivers and handles stay as they are: the machine does not stop.
void ShutDownSystem();

}  // namespace sim::harness
