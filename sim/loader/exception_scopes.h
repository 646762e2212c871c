// Structured exception handling inside a loaded driver image. A routine
// that guards a region (the driver's copy of client buffers) says so in its
// unwind data: its RUNTIME_FUNCTION's UNWIND_INFO carries the exception-
// handler flag, names the kernel's __C_specific_handler, and that handler's
// data is a scope table of {BeginAddress, EndAddress, HandlerAddress,
// JumpTarget} entries (image-relative; a HandlerAddress of 1 is the filter
// EXCEPTION_EXECUTE_HANDLER). On Windows an access violation inside such a
// scope is dispatched to the handler, which unwinds to the jump target with
// the exception code in eax.
//
// The loader reads those scopes once, at load time; the fault handler
// (privileged_instructions.cpp) does for them what the dispatcher and
// __C_specific_handler do. Only what it can do exactly is read: a scope
// whose filter is EXECUTE_HANDLER, with a jump target, inside the body of a
// routine that is not chained and whose handler is the kernel's. A fault
// anywhere else (a filter routine, a termination handler, a callee of the
// guarded routine) stays a crash, as an unhandled kernel-mode exception
// stops Windows. The simulation cannot tell a client's address from the
// kernel's, so every access violation inside a scope is dispatched; on
// Windows one on an invalid kernel address may stop the machine instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::loader {

struct GuardedScope {
  std::uint32_t begin;       // first guarded instruction (image-relative)
  std::uint32_t end;         // first instruction past the scope
  std::uint32_t bodyBegin;   // the routine's first instruction after its prologue
  std::uint32_t jumpTarget;  // where the handler continues
  std::uint8_t frameRegister;  // the routine's frame register, 0 for none
  std::uint8_t frameOffset;    // its offset from the establisher frame, in 16-byte units
};

// The guarded scopes of an image mapped at `image` (`size` bytes, imports
// already bound), read from its exception directory. `cSpecificHandler` is
// what the simulation binds __C_specific_handler to; a routine whose
// handler leads elsewhere contributes nothing. Every read is bounds-checked:
// damaged unwind data contributes nothing either.
std::vector<GuardedScope> ReadGuardedScopes(const std::uint8_t* image, std::size_t size,
                                            std::uint32_t directoryRva,
                                            std::uint32_t directorySize,
                                            const void* cSpecificHandler);

}  // namespace sim::loader
