// The command line of `tavo mount`:
//   tavo mount MOUNTPOINT --server DIR [--cache DIR] [--block NAME[:EXT,...]]...
//              [--allow NAME]... [--no-listing NAME]... [--trace]
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "driver_channel.h"

namespace tavo::tool {

struct MountOptions {
  std::filesystem::path mountPoint;
  std::filesystem::path serverFolder;
  std::filesystem::path cacheFolder;  // empty: the local copies live in memory only
  // What the agent sends the driver. A blocked name is also shown empty
  // listings: the driver keeps one block list for both.
  std::vector<client::ProcessListItem> blockList;
  std::optional<std::vector<client::ProcessListItem>> allowList;
  bool trace = false;
};

// Parses the arguments after "mount"; on a mistake returns nothing and says
// what was wrong in *error.
std::optional<MountOptions> ParseMountOptions(const std::vector<std::string>& args,
                                              std::string* error);

}  // namespace tavo::tool
