// The tavo command: runs the simulated machine with the driver for people.
#include <cstdio>
#include <cstring>

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
    "  demo     walk through the merged view on a simulated machine (arrives with the agent)\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
      std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "demo") == 0) {
    std::fputs("tavo demo: the demo needs the driver and the agent, which are not built yet.\n\n",
               stdout);
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "tavo: unknown command '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
