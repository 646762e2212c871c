// The first look at a create, before any name query: a create whose name
// cannot be at or under a configured root (MergedViewRoot,
// SecondaryViewRoot, BackendRoot) needs no decision and passes at once.
// The screen answers only when it is sure; every other create goes through
// DecideCreate, which decides it exactly as it would have without the
// screen.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Whether the create cannot name anything at or under a root. FALSE means
// "not known here", not "inside".
BOOLEAN IsCreateOutsideEveryRoot(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects);

// The same answer for an absolute open's FileName on the volume named
// `volumeName` (the part that needs no callback data).
BOOLEAN IsNameOutsideEveryRoot(PCUNICODE_STRING volumeName, PCUNICODE_STRING fileName);

// Publishes the configured roots' lengths for the screen, with the length
// in characters of the merged root's volume part. Called with RootPathLock
// held exclusive, after every change of the roots.
void PublishRootLengths(USHORT volumePrefixChars);

}  // namespace tavo
