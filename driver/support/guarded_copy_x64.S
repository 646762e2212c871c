// TavoGuardedCopy for x64 Windows: the one place where the driver touches a
// client's buffer. mingw-w64's compiler has no __try/__except, so the guard
// is written here by hand the way the Microsoft compiler lays one out: the
// routine's unwind data names the kernel's __C_specific_handler (exported
// by ntoskrnl.exe) and carries a scope table with one entry. A fault inside
// the copy (the client unmapped or re-protected its buffer) is dispatched
// to that handler, which finds the faulting address inside the scope, sees
// EXCEPTION_EXECUTE_HANDLER (1) as the filter, and unwinds to the jump
// target with the exception code in eax.
//
//   NTSTATUS TavoGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Length)
//   rcx = Destination, rdx = Source, r8 = Length; returns STATUS_SUCCESS or
//   the exception code (bytes before the fault may have been copied).

        .text
        .globl  TavoGuardedCopy
        .def    TavoGuardedCopy; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc TavoGuardedCopy
TavoGuardedCopy:
        pushq   %rsi
        .seh_pushreg %rsi
        pushq   %rdi
        .seh_pushreg %rdi
        .seh_endprologue
        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        .long   1                       // scope count
        .rva    .Lguarded               // BeginAddress
        .rva    .Lunguarded             // EndAddress (first address past the scope)
        .long   1                       // HandlerAddress: EXCEPTION_EXECUTE_HANDLER
        .rva    .Lfaulted               // JumpTarget
        .text
        movq    %rcx, %rdi
        movq    %rdx, %rsi
        movq    %r8, %rcx
        // The direction flag is clear on entry (calling convention).
.Lguarded:
        rep movsb
.Lunguarded:
        xorl    %eax, %eax              // STATUS_SUCCESS
.Lreturn:
        popq    %rdi
        popq    %rsi
        ret
.Lfaulted:
        // Reached by unwinding: rsp is the frame's after the prologue, rdi
        // and rsi hold the values saved above, eax the exception code.
        jmp     .Lreturn
        .seh_endproc
