// `tavo mount`: boots the simulated machine with the driver and the agent
// over the server folder, and serves the merged view at the mount point
// through FUSE until it is unmounted or the process is interrupted; then it
// closes what Linux programs left open, stops the agent, unloads the driver
// and writes the local copies back to the cache folder.
#pragma once

#include <ostream>

#include "mount_options.h"

namespace tavo::tool {

// Returns the process's exit code: 0 after a clean unmount and unload.
int RunMount(const MountOptions& options, std::ostream& out);

}  // namespace tavo::tool
