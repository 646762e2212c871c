// The tavo command: runs the simulated machine with the driver for people.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "demo.h"
#ifdef TAVO_HAVE_MOUNT
#include "run_mount.h"
#endif
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
    "             --verbose      also print the driver's debug output\n"
    "  mount    serve the merged view as a folder for Linux programs (FUSE):\n"
    "             tavo mount MOUNTPOINT --server DIR [--cache DIR]\n"
    "               [--block NAME[:EXT,...]]... [--allow NAME]... [--no-listing NAME]...\n"
    "               [--trace]\n"
    "             --server DIR       the host folder the agent serves\n"
    "             --cache DIR        a host folder for the local copies, read at start\n"
    "                                and written back at unmount\n"
    "             --block NAME:EXT   NAME may not download, except files with EXT;\n"
    "                                blocked programs also see empty listings\n"
    "             --allow NAME       only allowed programs download\n"
    "             --no-listing NAME  NAME sees empty listings (and is blocked)\n"
    "             --trace            print every operation and port message\n";

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

#ifdef TAVO_HAVE_MOUNT
int Mount(int argc, char** argv) {
  std::string error;
  const auto options =
      tavo::tool::ParseMountOptions(std::vector<std::string>(argv + 2, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "tavo mount: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  sim::kernel::ResetMachine();
  return tavo::tool::RunMount(*options, std::cout);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
      std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "demo") == 0) return Demo(argc, argv);
#ifdef TAVO_HAVE_MOUNT
  if (std::strcmp(argv[1], "mount") == 0) return Mount(argc, argv);
#endif
  std::fprintf(stderr, "tavo: unknown command '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
