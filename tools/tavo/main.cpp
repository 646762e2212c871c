// The tavo command: runs the simulated machine with the driver for people.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "demo.h"
#include "kernel/lifecycle.h"

namespace {

constexpr const char* kUsage =
    "usage: tavo <command> [options]\n"
    "\n"
    "TavoDriver, a Windows file-system minifilter that presents a merged view of a\n"
    "folder (local copies and server-only items), run here on a simulated Windows\n"
    "kernel, Filter Manager and NTFS-like volume.\n"
    "\n"
    "commands:\n"
    "  help     show this text\n"
    "  demo     walk through the merged view on a simulated machine:\n"
    "             --server DIR   serve this host folder (default: a sample tree in a\n"
    "                            temporary folder, removed afterwards)\n"
    "             --keep-server  keep the temporary server folder\n"
    "             --verbose      also print the driver's debug output\n";

int Demo(int argc, char** argv) {
  tavo::tool::DemoOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
    } else if (arg == "--keep-server") {
      options.keepServerFolder = true;
    } else if (arg == "--server" && i + 1 < argc) {
      options.serverFolder = argv[++i];
    } else {
      std::fprintf(stderr, "tavo demo: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  sim::kernel::ResetMachine();
  return tavo::tool::RunDemo(options, std::cout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
      std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "demo") == 0) return Demo(argc, argv);
  std::fprintf(stderr, "tavo: unknown command '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
