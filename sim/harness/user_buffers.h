// Hostile programs behind the buffers of the native file API. A directory
// listing's buffer is the caller's own memory for the whole request (the
// file systems use neither buffered nor direct I/O for it), so a program
// can rewrite it while filters and the file system fill it: code that
// writes an entry and reads it back (a double fetch) sees the program's
// bytes. Query and set information use system buffers: a rewrite there
// never reaches the layers below, and is not offered.
#pragma once

#include "kernel/hostile_rewrite.h"

namespace sim::harness::user_buffers {

// `afterMicroseconds` after a user-mode NtQueryDirectoryFile is sent down,
// its buffer is overwritten with mutate(original) until the call returns.
void SetDirectoryBufferRewrite(kernel::BufferMutation mutate, unsigned afterMicroseconds = 200);
void ClearDirectoryBufferRewrite();

// While on, a user-mode NtQueryDirectoryFile's buffer is valid below the
// I/O manager only through an MDL's system mapping, as for a filter that
// runs in another process context: the request carries a user address
// whose pages cannot be touched, and a filter that dereferences
// DirectoryBuffer instead of locking and mapping it faults. The file system
// still reaches the buffer (see io/user_buffers.h).
void SetDirectoryBufferMdlOnly(bool on);

}  // namespace sim::harness::user_buffers
