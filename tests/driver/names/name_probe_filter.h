// A small minifilter loaded below the driver in the name tests: its
// pre-create runs a hook the test sets, so the driver's name routines can be
// called with a real create's callback data. It can act as a name provider
// that answers its own "current provider" queries with a fixed name, or
// fails them.
#pragma once

#include <functional>

#include <fltKernel.h>

#include "fs/volume.h"
#include "harness/machine.h"

namespace tavo::testing {

enum class ProbeProvider { None, Answers, Fails };

// What the probe filter's provider answers when it answers.
inline constexpr char16_t kProviderName[] = u"\\Device\\HarddiskVolume3\\named-by-provider";

using CreateHook = std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)>;

// Loads the probe filter (below the driver); every create it sees runs the
// hook while one is set.
sim::harness::Driver* LoadNameProbe(ProbeProvider provider);
void UnloadNameProbe(sim::harness::Driver* driver);
void SetCreateHook(CreateHook hook);

// Opens a path (relative to `root` when given) for reading attributes and
// closes it again; the create's status.
NTSTATUS OpenAndClose(const std::u16string& path, HANDLE root = nullptr);
// A handle to the folder \??\C:\work\dir (created with a.txt in it), for
// creates relative to it; the caller closes it.
HANDLE CreateWorkFolder(sim::fs::Volume& volume);

}  // namespace tavo::testing
