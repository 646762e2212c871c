#include "mount_options.h"

#include "harness/strings.h"

namespace tavo::tool {
namespace {

using sim::harness::FromUtf8;

// "grep:.log,.txt" -> one entry per extension; "grep" -> blocked for every file.
bool AddBlocked(const std::string& argument, std::vector<client::ProcessListItem>& list) {
  const std::size_t colon = argument.find(':');
  const std::string name = argument.substr(0, colon);
  if (name.empty()) return false;
  if (colon == std::string::npos) {
    list.push_back({FromUtf8(name), u""});
    return true;
  }
  const std::string extensions = argument.substr(colon + 1);
  std::size_t start = 0;
  do {
    const std::size_t comma = extensions.find(',', start);
    std::string extension = extensions.substr(start, comma - start);
    if (extension.empty()) return false;
    if (extension[0] != '.' && extension != "*") extension = "." + extension;
    list.push_back({FromUtf8(name), FromUtf8(extension)});
    start = comma == std::string::npos ? std::string::npos : comma + 1;
  } while (start != std::string::npos);
  return true;
}

}  // namespace

std::optional<MountOptions> ParseMountOptions(const std::vector<std::string>& args,
                                              std::string* error) {
  MountOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--server" && hasValue) {
      options.serverFolder = args[++i];
    } else if (arg == "--cache" && hasValue) {
      options.cacheFolder = args[++i];
    } else if (arg == "--block" && hasValue) {
      if (!AddBlocked(args[++i], options.blockList)) {
        *error = "--block wants NAME or NAME:EXT[,EXT...], not '" + args[i] + "'";
        return std::nullopt;
      }
    } else if (arg == "--no-listing" && hasValue && !args[i + 1].empty()) {
      options.blockList.push_back({FromUtf8(args[++i]), u""});
    } else if (arg == "--allow" && hasValue && !args[i + 1].empty()) {
      if (!options.allowList) options.allowList.emplace();
      options.allowList->push_back({FromUtf8(args[++i]), u""});
    } else if (!arg.empty() && arg[0] != '-' && options.mountPoint.empty()) {
      options.mountPoint = arg;
    } else {
      *error = "unknown or incomplete option '" + arg + "'";
      return std::nullopt;
    }
  }
  if (options.mountPoint.empty() || options.serverFolder.empty()) {
    *error = "a MOUNTPOINT and --server DIR are required";
    return std::nullopt;
  }
  std::error_code ignored;
  if (!std::filesystem::is_directory(options.serverFolder, ignored)) {
    *error = "the server folder " + options.serverFolder.string() + " is not a folder";
    return std::nullopt;
  }
  if (!options.cacheFolder.empty() && !std::filesystem::is_directory(options.cacheFolder, ignored)) {
    *error = "the cache folder " + options.cacheFolder.string() + " is not a folder";
    return std::nullopt;
  }
  return options;
}

}  // namespace tavo::tool
