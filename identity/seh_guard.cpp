#include "identity/seh_guard.h"

// The guarded call is written in assembly because the compiler cannot emit an
// exception registration of its own: on i686 a record in the fs:0 chain, on
// x86_64 an unwind entry naming ZrvdGuardHandler. Both keep the caller's
// non-volatile registers, and both land on ZrvdGuardLanding, which returns 0.

extern "C" {
int ZrvdGuardedCall(void (*body)(void*), void* context, DWORD* exception_code);
void ZrvdGuardLanding();
EXCEPTION_DISPOSITION ZrvdGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                       void* dispatcher);
}

#if defined(__i386__)

// Registration record as the call lays it out on its stack.
struct GuardRecord {
  void* next;
  void* handler;
  DWORD ebp;
  DWORD* exception_code;
};

__asm__(
    ".text\n"
    ".globl _ZrvdGuardedCall\n"
    ".def _ZrvdGuardedCall; .scl 2; .type 32; .endef\n"
    "_ZrvdGuardedCall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl 16(%ebp)\n"             // exception_code
    "  pushl %ebp\n"                 // the frame pointer to land with
    "  pushl $_ZrvdGuardHandler\n"
    "  pushl %fs:0\n"
    "  movl %esp, %fs:0\n"           // the record is at -28(%ebp)
    "  andl $-16, %esp\n"
    "  subl $12, %esp\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  leal -28(%ebp), %esp\n"
    "  movl $1, %eax\n"
    "  jmp 1f\n"
    ".globl _ZrvdGuardLanding\n"
    "_ZrvdGuardLanding:\n"           // esp = the record, ebp restored
    "  xorl %eax, %eax\n"
    "1:\n"
    "  movl (%esp), %ecx\n"
    "  movl %ecx, %fs:0\n"
    "  addl $16, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

extern "C" EXCEPTION_DISPOSITION ZrvdGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                  CONTEXT*, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  GuardRecord* guard = static_cast<GuardRecord*>(frame);
  if (guard->exception_code) *guard->exception_code = record->ExceptionCode;
  // Lets the inner frames clean up and leaves our record at the chain's head.
  RtlUnwind(frame, nullptr, record, nullptr);
  __asm__ volatile(
      "movl %0, %%esp\n\t"
      "movl %1, %%ebp\n\t"
      "jmp *%2"
      :
      : "a"(frame), "c"(guard->ebp), "d"(&ZrvdGuardLanding)
      : "memory");
  __builtin_unreachable();
}

#elif defined(__x86_64__)

// The establisher frame is rsp after the prologue; the exception code slot
// sits above the callee's 32-byte home area.
constexpr size_t kCodeSlotOffset = 32;

__asm__(
    ".text\n"
    ".globl ZrvdGuardedCall\n"
    ".def ZrvdGuardedCall; .scl 2; .type 32; .endef\n"
    ".seh_proc ZrvdGuardedCall\n"
    "ZrvdGuardedCall:\n"
    "  pushq %rbp\n"
    "  .seh_pushreg %rbp\n"
    "  subq $48, %rsp\n"
    "  .seh_stackalloc 48\n"
    "  .seh_endprologue\n"
    "  .seh_handler ZrvdGuardHandler, @except\n"
    "  movq %r8, 32(%rsp)\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  call *%rax\n"
    "  movl $1, %eax\n"
    "  jmp 1f\n"
    ".globl ZrvdGuardLanding\n"
    "ZrvdGuardLanding:\n"
    "  xorl %eax, %eax\n"
    "1:\n"
    "  addq $48, %rsp\n"
    "  popq %rbp\n"
    "  ret\n"
    ".seh_endproc\n");

extern "C" EXCEPTION_DISPOSITION ZrvdGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                  CONTEXT* context, void* dispatcher) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  DWORD* code = *reinterpret_cast<DWORD**>(static_cast<char*>(frame) + kCodeSlotOffset);
  if (code) *code = record->ExceptionCode;
  RtlUnwindEx(frame, reinterpret_cast<void*>(&ZrvdGuardLanding), record, nullptr, context,
              static_cast<DISPATCHER_CONTEXT*>(dispatcher)->HistoryTable);
  return ExceptionContinueSearch;  // not reached: the unwind resumes at the landing
}

#else
#error "the exception guard is written for i686 and x86_64"
#endif

bool RunGuarded(void (*body)(void* context), void* context, DWORD* exception_code) {
  return ZrvdGuardedCall(body, context, exception_code) != 0;
}
