// The `tavo demo` walk: boots a simulated machine with the merged view's
// volume, loads the driver, starts the reference agent over a sample server
// folder and goes through what the merged view does, as several processes,
// printing each operation with its status, the port messages the agent sees
// and, at the end, the server folder and the local copies.
#pragma once

#include <filesystem>
#include <ostream>

namespace tavo::tool {

struct DemoOptions {
  std::filesystem::path serverFolder;  // empty: a sample tree in a new temporary folder
  bool verbose = false;                // also print the driver's debug output
  bool keepServerFolder = false;       // leave the temporary server folder behind
};

// Runs the walk on the simulated machine, which must be freshly reset.
// Returns 0 when every step behaved as the merged view should.
int RunDemo(const DemoOptions& options, std::ostream& out);

}  // namespace tavo::tool
