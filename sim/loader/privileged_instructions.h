// Two privileged instructions a driver image contains, emulated where the
// image runs in user mode: the IRQL read through CR8 that the DDK's inline
// KeGetCurrentIrql compiles to ("mov rXX, cr8"), which returns the
// simulated thread's IRQL, and __fastfail ("int 0x29", code in ECX), which
// ends the run the way Windows bug-checks (KERNEL_SECURITY_CHECK_FAILURE).
// Also the kernel's shared data page at its fixed kernel address, which the
// DDK's inline KeQuerySystemTime reads: 64-bit loads of SystemTime and
// InterruptTime there get the simulation's clock.
//
// Both fault in user mode. A handler for SIGSEGV and SIGILL decodes the
// faulting instruction only when it lies in a registered image's code and
// is exactly one of those forms.
//
// The same handler dispatches an access violation inside one of an image's
// guarded scopes (exception_scopes.h) the way Windows does: the routine
// continues at the scope's jump target, its stack pointer back at the
// establisher frame, with STATUS_ACCESS_VIOLATION in eax. A guarded copy
// ("rep movsb") that faults on a hostile client's buffers (the ports'
// hostile mode, whose pages are open only to guarded copies) is first
// offered to that mode, which completes the copy or reports the client's
// pages gone.
//
// Any other fault goes to the handler that was there before (the
// sanitizer's, or the default), so it stays a crash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "loader/exception_scopes.h"

namespace sim::loader {

// Code of a loaded image, [begin, end), owned by the image at `owner`.
// Installs the handler on first use. A bounded number of ranges is kept
// (enough for a few images loaded at once); more is a fatal error.
void RegisterImageCode(std::uintptr_t owner, std::uintptr_t begin, std::uintptr_t end);
void UnregisterImageCode(std::uintptr_t owner);

// The guarded scopes of the image mapped at `base` (`scopes` outlives the
// registration, which UnregisterImageCode(base) ends). Installs the handler
// on first use; a bounded number of images is kept.
void RegisterGuardedScopes(std::uintptr_t base, const GuardedScope* scopes, std::size_t count);

}  // namespace sim::loader
