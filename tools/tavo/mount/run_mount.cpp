#define FUSE_USE_VERSION 35
#include "run_mount.h"

#include <fuse.h>

#include <cstring>
#include <mutex>

#include "harness/debug_log.h"
#include "harness/processes.h"
#include "kernel/lifecycle.h"
#include "verifier/verifier.h"
#include "view_fs.h"
#include "view_machine.h"

namespace tavo::tool {

int RunMount(const MountOptions& options, std::ostream& out) {
  std::mutex printLock;
  auto say = [&](const std::string& line) {
    std::lock_guard guard(printLock);
    out << line << "\n";
    out.flush();
  };
  ViewMachineOptions machineOptions;
  machineOptions.serverFolder = options.serverFolder;
  machineOptions.cacheFolder = options.cacheFolder;
  machineOptions.blockList = options.blockList;
  machineOptions.allowList = options.allowList;
  if (options.trace) machineOptions.trace = [&](const std::string& line) { say("   " + line); };

  ViewMachine machine;
  if (!machine.Boot(machineOptions, say)) {
    say("tavo mount: the driver or the agent did not start");
    return 1;
  }
  const std::uint32_t agentProcess = machine.agentProcess();
  ViewFileSystem view(options.trace ? ViewFileSystem::Trace(say) : ViewFileSystem::Trace(),
                      [&machine, agentProcess] {
                        sim::harness::RunAs(agentProcess, [&] { machine.agent().SyncNow(); });
                      });
  if (!options.trace) sim::harness::ClearDebugLog();

  const std::string program = "tavo";
  std::vector<std::string> arguments = {program, "-o", "fsname=tavo,subtype=tavo"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_operations operations = MakeViewOperations();
  fuse* session = fuse_new(&args, &operations, sizeof(operations), &view);
  int result = 1;
  if (session == nullptr) {
    say("tavo mount: libfuse refused the options");
  } else if (fuse_mount(session, options.mountPoint.c_str()) != 0) {
    say("tavo mount: cannot mount " + options.mountPoint.string());
  } else {
    say("serving the merged view at " + options.mountPoint.string());
    fuse_set_signal_handlers(fuse_get_session(session));
    fuse_loop_config loop{};
    loop.clone_fd = 0;
    loop.max_idle_threads = 10;
    // 0 after an unmount, the signal's number after an interruption (both
    // ends of service), a negative errno when the loop failed.
    const int ended = fuse_loop_mt(session, &loop);
    result = ended >= 0 ? 0 : 1;
    if (ended < 0) say("tavo mount: the FUSE loop failed: " + std::string(strerror(-ended)));
    fuse_remove_signal_handlers(fuse_get_session(session));
    fuse_unmount(session);
    say("unmounted " + options.mountPoint.string());
  }
  if (session != nullptr) fuse_destroy(session);
  fuse_opt_free_args(&args);

  view.CloseAll();
  sim::harness::RunAs(agentProcess, [&] { machine.agent().SyncNow(); });
  const NTSTATUS unloaded = machine.Stop();
  say("driver unloaded -> " + StatusText(unloaded));
  const bool saved = machine.SaveCacheFolder();
  if (!saved) say("tavo mount: the local copies could not all be written to the cache folder");
  // The verifier watched the whole session: leaks, held locks and misuse
  // fail the mount's exit code as they fail a test.
  sim::kernel::RunEndOfTestChecks();
  const auto violations = sim::verifier::TakeViolations();
  for (const auto& violation : violations)
    say("verifier: [" + std::string(sim::verifier::CheckName(violation.check)) + "] " +
        violation.message);
  return result == 0 && saved && NT_SUCCESS(unloaded) && violations.empty() ? 0 : 1;
}

}  // namespace tavo::tool
