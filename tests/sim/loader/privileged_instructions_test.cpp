// The privileged instructions of a driver image, emulated only inside
// registered image code: the CR8 read returns the simulated IRQL into the
// instruction's destination register, loads from the shared data page give
// the simulated clock, int 0x29 ends the run as __fastfail, an access
// violation inside a guarded scope continues at the scope's jump target
// with the status in eax, and everything else (another privileged
// instruction or field, a fault outside a scope, these outside an image)
// stays a crash.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <ntifs.h>

#include "loader/privileged_instructions.h"

namespace {

// One page of machine code, executable, optionally registered as image code.
class CodePage {
 public:
  CodePage(std::vector<std::uint8_t> code, bool registered,
           std::vector<sim::loader::GuardedScope> scopes = {})
      : registered_(registered), scopes_(std::move(scopes)) {
    page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memcpy(page_, code.data(), code.size());
    mprotect(page_, 4096, PROT_READ | PROT_EXEC);
    const auto at = reinterpret_cast<std::uintptr_t>(page_);
    if (registered_) sim::loader::RegisterImageCode(at, at, at + code.size());
    if (registered_) sim::loader::RegisterGuardedScopes(at, scopes_.data(), scopes_.size());
  }
  ~CodePage() {
    if (registered_) sim::loader::UnregisterImageCode(reinterpret_cast<std::uintptr_t>(page_));
    munmap(page_, 4096);
  }
  std::uint64_t Run() const { return reinterpret_cast<std::uint64_t (*)()>(page_)(); }
  std::uint64_t Run(const void* argument) const {
    return reinterpret_cast<std::uint64_t (*)(const void*)>(page_)(argument);
  }

 private:
  void* page_;
  bool registered_;
  std::vector<sim::loader::GuardedScope> scopes_;
};

struct Cr8Row {
  const char* what;
  std::vector<std::uint8_t> code;  // ends with the value in rax and ret
};

TEST(PrivilegedInstructions, Cr8ReadGivesTheIrqlInItsDestinationRegister) {
  const Cr8Row rows[] = {
      {"rax", {0x44, 0x0F, 0x20, 0xC0, 0xC3}},
      {"rdx", {0x44, 0x0F, 0x20, 0xC2, 0x48, 0x89, 0xD0, 0xC3}},
      {"r9 (REX.B)", {0x45, 0x0F, 0x20, 0xC1, 0x4C, 0x89, 0xC8, 0xC3}},
      {"with REX.W", {0x4C, 0x0F, 0x20, 0xC0, 0xC3}},
  };
  for (const Cr8Row& row : rows) {
    // A stale high half must not survive: the read writes all 64 bits.
    std::vector<std::uint8_t> code = {0x48, 0xC7, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF};  // rax = -1
    code.insert(code.end(), row.code.begin(), row.code.end());
    CodePage page(code, /*registered=*/true);
    EXPECT_EQ(page.Run(), PASSIVE_LEVEL) << row.what;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const std::uint64_t atDispatch = page.Run();
    KeLowerIrql(old);
    EXPECT_EQ(atDispatch, DISPATCH_LEVEL) << row.what;
  }
}

TEST(PrivilegedInstructions, SharedDataReadsGiveTheSimulatedClock) {
  const std::vector<std::uint8_t> systemTime = {0x14, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF};
  const std::vector<std::uint8_t> pageBase = {0x00, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF};
  auto with = [](std::vector<std::uint8_t> head, const std::vector<std::uint8_t>& address,
                 std::vector<std::uint8_t> tail) {
    head.insert(head.end(), address.begin(), address.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  const Cr8Row rows[] = {
      {"mov rax, [moffs64]", with({0x48, 0xA1}, systemTime, {0xC3})},
      {"mov rdx, [rax]", with({0x48, 0xB8}, systemTime, {0x48, 0x8B, 0x10, 0x48, 0x89, 0xD0, 0xC3})},
      {"mov rcx, [rax + 14h]",
       with({0x48, 0xB8}, pageBase, {0x48, 0x8B, 0x48, 0x14, 0x48, 0x89, 0xC8, 0xC3})},
  };
  for (const Cr8Row& row : rows) {
    EXPECT_EQ(CodePage(row.code, /*registered=*/true).Run(),
              static_cast<std::uint64_t>(now.QuadPart))
        << row.what;
  }
  EXPECT_EQ(CodePage(with({0x48, 0xA1}, {0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF}, {0xC3}),
                     /*registered=*/true)
                .Run(),
            KeQueryInterruptTime());
}

// Routines that read a byte at their argument inside a guarded scope and
// return 0, or the exception code from the jump target. Each changes the
// stack pointer after the establisher frame was set, so a dispatch that
// does not restore it returns to the wrong place.
struct ScopeRow {
  const char* what;
  std::vector<std::uint8_t> code;
  sim::loader::GuardedScope scope;
};

const ScopeRow kScopeRows[] = {
    {"no frame register",
     {0x56,              // 0: push rsi (prologue)
      0x8A, 0x07,        // 1: mov al, [rdi]  (guarded)
      0x31, 0xC0,        // 3: xor eax, eax
      0x5E, 0xC3,        // 5: pop rsi; ret
      0xEB, 0xFC},       // 7: jump target: jmp 5
     {1, 3, 1, 7, 0, 0}},
    {"rbp as frame register, stack moved in the body",
     {0x55,                    // 0: push rbp
      0x48, 0x89, 0xE5,        // 1: mov rbp, rsp (prologue ends)
      0x50,                    // 4: push rax
      0x8A, 0x07,              // 5: mov al, [rdi]  (guarded)
      0x31, 0xC0,              // 7: xor eax, eax
      0x48, 0x89, 0xEC,        // 9: mov rsp, rbp
      0x5D, 0xC3,              // c: pop rbp; ret
      0xEB, 0xF9},             // e: jump target: jmp 9
     {5, 7, 4, 14, 5, 0}},
};

TEST(PrivilegedInstructions, AccessViolationInAGuardedScopeReachesItsJumpTarget) {
  void* gone = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  const std::uint8_t readable = 1;
  for (const ScopeRow& row : kScopeRows) {
    CodePage page(row.code, /*registered=*/true, {row.scope});
    EXPECT_EQ(page.Run(&readable), 0u) << row.what;
    EXPECT_EQ(page.Run(gone), static_cast<std::uint32_t>(STATUS_ACCESS_VIOLATION)) << row.what;
  }
  munmap(gone, 4096);
}

TEST(PrivilegedInstructionsDeathTest, FastFailEndsTheRunWithItsCode) {
  CodePage page({0xB9, 0x07, 0x00, 0x00, 0x00, 0xCD, 0x29}, /*registered=*/true);  // ecx=7; int 29h
  EXPECT_DEATH(page.Run(), "__fastfail: code 0x7 ");
}

TEST(PrivilegedInstructionsDeathTest, AnythingElseStaysACrash) {
  const std::vector<std::uint8_t> cr8Read = {0x44, 0x0F, 0x20, 0xC0, 0xC3};
  const std::vector<std::uint8_t> cr8Write = {0x44, 0x0F, 0x22, 0xC0, 0xC3};  // mov cr8, rax
  const std::vector<std::uint8_t> int2e = {0xCD, 0x2E, 0xC3};
  // TickCount in the shared data page: a field the simulation does not give.
  const std::vector<std::uint8_t> tickCount = {0x48, 0xA1, 0x20, 0x03, 0x00, 0x00,
                                               0x80, 0xF7, 0xFF, 0xFF, 0xC3};
  EXPECT_DEATH(CodePage(cr8Read, /*registered=*/false).Run(), "");
  EXPECT_DEATH(CodePage(cr8Write, /*registered=*/true).Run(), "");
  EXPECT_DEATH(CodePage(int2e, /*registered=*/true).Run(), "");
  EXPECT_DEATH(CodePage(tickCount, /*registered=*/true).Run(), "");
  // A fault just past a scope, and one in a scope of code not registered.
  sim::loader::GuardedScope beforeTheRead = kScopeRows[0].scope;
  beforeTheRead.end = beforeTheRead.begin;
  EXPECT_DEATH(CodePage(kScopeRows[0].code, /*registered=*/true, {beforeTheRead}).Run(nullptr), "");
  EXPECT_DEATH(CodePage(kScopeRows[0].code, /*registered=*/false, {kScopeRows[0].scope}).Run(nullptr),
               "");
}

}  // namespace
