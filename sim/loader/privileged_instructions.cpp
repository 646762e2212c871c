// The fault handler behind privileged_instructions.h. It runs in signal
// context: it touches the fixed range and scope tables (atomics), the
// faulting thread's saved registers and the bytes of registered image
// code, and asks the simulation for the IRQL, the clock and the ports'
// hostile mode. The faults are synchronous (the thread is in image code,
// holding none of the simulation's own locks), so those calls cannot
// deadlock with the interrupted code.
#include "loader/privileged_instructions.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <ntifs.h>

#include "fltmgr/port_hostile.h"

namespace sim::loader {
namespace {

struct CodeRange {
  std::atomic<std::uintptr_t> owner{0};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
};
constexpr int kMaxRanges = 32;
CodeRange gRanges[kMaxRanges];
std::mutex gRangesLock;  // writers only; the handler reads the atomics

// The guarded scopes of each image, by its base.
struct ImageScopes {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<const GuardedScope*> scopes{nullptr};
  std::atomic<std::size_t> count{0};
};
constexpr int kMaxImages = 32;  // as many as code ranges: one code section each
ImageScopes gImageScopes[kMaxImages];

struct sigaction gPreviousSegv;
struct sigaction gPreviousIll;

// How many bytes of image code start at `rip`, 0 when it is not image code.
std::size_t ImageCodeAt(std::uintptr_t rip) {
  for (CodeRange& r : gRanges) {
    const std::uintptr_t begin = r.begin.load(std::memory_order_acquire);
    const std::uintptr_t end = r.end.load(std::memory_order_acquire);
    if (begin != 0 && rip >= begin && rip < end) return end - rip;
  }
  return 0;
}

// Saved-register index of an x86-64 register number (rax=0 ... r15=15).
constexpr int kRegisterSlot[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                   REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                   REG_R12, REG_R13, REG_R14, REG_R15};

// "mov r64, cr8": a REX prefix with R set (CR8 is control register 0 + 8),
// 0F 20, and a ModRM byte with mod 11 and reg 000. Returns the destination
// register number, or -1.
int Cr8ReadDestination(const std::uint8_t* code, std::size_t available) {
  if (available < 4) return -1;
  const std::uint8_t rex = code[0];
  if ((rex & 0xF0) != 0x40 || (rex & 0x04) == 0) return -1;  // REX.R
  if (code[1] != 0x0F || code[2] != 0x20) return -1;
  const std::uint8_t modrm = code[3];
  if ((modrm & 0xC0) != 0xC0 || (modrm & 0x38) != 0) return -1;
  return (modrm & 7) | ((rex & 0x01) ? 8 : 0);  // REX.B extends the destination
}

// The kernel's shared data page, which x64 kernel code reads at a fixed
// address (the DDK's inline KeQuerySystemTime reads SystemTime there). In
// user mode that address faults; two fields are answered from the
// simulation's clock.
constexpr std::uint64_t kSharedUserData = 0xFFFFF78000000000ull;
constexpr std::uint64_t kInterruptTimeOffset = 0x08;
constexpr std::uint64_t kSystemTimeOffset = 0x14;

bool SharedDataValue(std::uint64_t address, std::uint64_t* value) {
  if (address == kSharedUserData + kSystemTimeOffset) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    *value = static_cast<std::uint64_t>(now.QuadPart);
    return true;
  }
  if (address == kSharedUserData + kInterruptTimeOffset) {
    *value = KeQueryInterruptTime();
    return true;
  }
  return false;
}

// A load from the shared data page: "mov rax, [moffs64]" (REX.W A1) or
// "mov r, [base]" / "[base + disp8]" / "[base + disp32]" (REX.W 8B, no
// SIB, not RIP-relative). Only 64-bit loads of a known field are answered.
bool EmulateSharedDataRead(greg_t* regs, const std::uint8_t* code, std::size_t available) {
  if (available < 3 || (code[0] & 0xF8) != 0x48) return false;  // REX with W
  const std::uint8_t rex = code[0];
  std::uint64_t address = 0;
  int destination = 0;
  std::size_t length = 0;
  if (code[1] == 0xA1 && available >= 10) {
    std::memcpy(&address, code + 2, 8);
    length = 10;
  } else if (code[1] == 0x8B) {
    const std::uint8_t modrm = code[2];
    const int mod = modrm >> 6;
    const int rm = modrm & 7;
    if (mod == 3 || rm == 4 || (mod == 0 && rm == 5)) return false;
    destination = ((modrm >> 3) & 7) | ((rex & 0x04) ? 8 : 0);
    address = static_cast<std::uint64_t>(regs[kRegisterSlot[rm | ((rex & 0x01) ? 8 : 0)]]);
    length = 3;
    if (mod == 1) {
      if (available < 4) return false;
      address += static_cast<std::int8_t>(code[3]);
      length = 4;
    } else if (mod == 2) {
      if (available < 7) return false;
      std::int32_t displacement;
      std::memcpy(&displacement, code + 3, 4);
      address += displacement;
      length = 7;
    }
  } else {
    return false;
  }
  std::uint64_t value;
  if (!SharedDataValue(address, &value)) return false;
  regs[kRegisterSlot[destination]] = static_cast<greg_t>(value);
  regs[REG_RIP] += static_cast<greg_t>(length);
  return true;
}

bool Emulate(ucontext_t* context) {
  greg_t* regs = context->uc_mcontext.gregs;
  const auto rip = static_cast<std::uintptr_t>(regs[REG_RIP]);
  const std::size_t available = ImageCodeAt(rip);
  if (available == 0) return false;
  const auto* code = reinterpret_cast<const std::uint8_t*>(rip);

  const int destination = Cr8ReadDestination(code, available);
  if (destination >= 0) {
    regs[kRegisterSlot[destination]] = static_cast<greg_t>(KeGetCurrentIrql());
    regs[REG_RIP] = static_cast<greg_t>(rip + 4);
    return true;
  }
  if (available >= 2 && code[0] == 0xCD && code[1] == 0x29) {
    // Continue in __fastfail(ECX) as if called from here: it reports the
    // code and ends the run, so nothing returns to the image. The stack
    // pointer is set as at a call's entry, above the signal frame.
    regs[REG_RDI] = static_cast<greg_t>(regs[REG_RCX] & 0xFFFFFFFF);
    regs[REG_RSP] = static_cast<greg_t>((regs[REG_RSP] & ~greg_t{15}) - 8);
    regs[REG_RIP] = reinterpret_cast<greg_t>(&__fastfail);
    return true;
  }
  return EmulateSharedDataRead(regs, code, available);
}

// The scope covering `rip`, with the image's base, or null.
const GuardedScope* CoveringScope(std::uintptr_t rip, std::uintptr_t* base) {
  for (ImageScopes& image : gImageScopes) {
    const std::uintptr_t b = image.base.load(std::memory_order_acquire);
    if (b == 0 || rip < b) continue;
    const GuardedScope* scopes = image.scopes.load(std::memory_order_acquire);
    const std::size_t count = image.count.load(std::memory_order_acquire);
    const std::uintptr_t rva = rip - b;
    for (std::size_t i = 0; i < count; ++i) {
      const GuardedScope& s = scopes[i];
      if (rva >= s.begin && rva < s.end && rva >= s.bodyBegin) {
        *base = b;
        return &s;
      }
    }
  }
  return nullptr;
}

// An access violation inside a guarded scope. The fault lies in the
// routine's own body (a scope never covers its prologue), so the frame is
// the one the routine set up: the establisher frame is the stack pointer,
// or the frame register less its offset, and the nonvolatile registers
// still hold what the routine's code put there, which is what unwinding to
// a target in the same frame restores.
bool DispatchToScope(ucontext_t* context) {
  greg_t* regs = context->uc_mcontext.gregs;
  const auto rip = static_cast<std::uintptr_t>(regs[REG_RIP]);
  std::uintptr_t base = 0;
  const GuardedScope* scope = CoveringScope(rip, &base);
  if (scope == nullptr) return false;

  NTSTATUS code = STATUS_ACCESS_VIOLATION;
  const auto* instruction = reinterpret_cast<const std::uint8_t*>(rip);
  constexpr greg_t kDirectionFlag = 0x400;
  if (ImageCodeAt(rip) >= 2 && instruction[0] == 0xF3 && instruction[1] == 0xA4 &&
      (regs[REG_EFL] & kDirectionFlag) == 0) {
    // rep movsb on a hostile client's closed pages: the hostile mode
    // completes the copy (the instruction ends as it would have) or says
    // the client's pages are gone.
    const auto length = static_cast<std::size_t>(regs[REG_RCX]);
    auto* destination = reinterpret_cast<void*>(regs[REG_RDI]);
    const auto* source = reinterpret_cast<const void*>(regs[REG_RSI]);
    NTSTATUS status;
    if (fltmgr::ports::HostileGuardedCopy(destination, source, length, &status)) {
      if (NT_SUCCESS(status)) {
        regs[REG_RDI] += static_cast<greg_t>(length);
        regs[REG_RSI] += static_cast<greg_t>(length);
        regs[REG_RCX] = 0;
        regs[REG_RIP] = static_cast<greg_t>(rip + 2);
        return true;
      }
      code = status;
    }
  }
  const std::uintptr_t establisher =
      scope->frameRegister == 0
          ? static_cast<std::uintptr_t>(regs[REG_RSP])
          : static_cast<std::uintptr_t>(regs[kRegisterSlot[scope->frameRegister]]) -
                16u * scope->frameOffset;
  regs[REG_RSP] = static_cast<greg_t>(establisher);
  regs[REG_RIP] = static_cast<greg_t>(base + scope->jumpTarget);
  regs[REG_RAX] = static_cast<greg_t>(static_cast<std::uint32_t>(code));
  return true;
}

void Forward(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = signal == SIGSEGV ? gPreviousSegv : gPreviousIll;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // Back to the default action; returning re-runs the faulting
    // instruction, which now ends the process as it would have.
    sigaction(signal, &previous, nullptr);
  }
}

void OnFault(int signal, siginfo_t* info, void* context) {
  if (Emulate(static_cast<ucontext_t*>(context))) return;
  if (signal == SIGSEGV && DispatchToScope(static_cast<ucontext_t*>(context))) return;
  Forward(signal, info, context);
}

void InstallHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &gPreviousSegv);
  sigaction(SIGILL, &action, &gPreviousIll);
}

void EnsureHandlerInstalled() {
  static std::once_flag installed;
  std::call_once(installed, InstallHandler);
}

}  // namespace

void RegisterImageCode(std::uintptr_t owner, std::uintptr_t begin, std::uintptr_t end) {
  EnsureHandlerInstalled();
  std::lock_guard<std::mutex> hold(gRangesLock);
  for (CodeRange& r : gRanges) {
    if (r.begin.load() == 0) {
      r.owner.store(owner);
      r.end.store(end, std::memory_order_release);
      r.begin.store(begin, std::memory_order_release);
      return;
    }
  }
  std::fprintf(stderr, "image loader: more than %d code ranges loaded at once\n", kMaxRanges);
  std::abort();
}

void RegisterGuardedScopes(std::uintptr_t base, const GuardedScope* scopes, std::size_t count) {
  EnsureHandlerInstalled();
  std::lock_guard<std::mutex> hold(gRangesLock);
  for (ImageScopes& image : gImageScopes) {
    if (image.base.load() == 0) {
      image.scopes.store(scopes, std::memory_order_release);
      image.count.store(count, std::memory_order_release);
      image.base.store(base, std::memory_order_release);
      return;
    }
  }
  std::fprintf(stderr, "image loader: more than %d images loaded at once\n", kMaxImages);
  std::abort();
}

void UnregisterImageCode(std::uintptr_t owner) {
  std::lock_guard<std::mutex> hold(gRangesLock);
  for (ImageScopes& image : gImageScopes) {
    if (image.base.load() == owner) {
      image.base.store(0, std::memory_order_release);
      image.count.store(0);
      image.scopes.store(nullptr);
    }
  }
  for (CodeRange& r : gRanges) {
    if (r.owner.load() == owner && r.begin.load() != 0) {
      r.begin.store(0, std::memory_order_release);
      r.end.store(0, std::memory_order_release);
      r.owner.store(0);
    }
  }
}

}  // namespace sim::loader
