// Access faults inside an export become C++ exceptions thrown at the
// faulting instruction, so the frames in between unwind as for any error:
// destructors run, monitored blocks free what they hold, and the export
// returns the fault as an error instead of the host dying.
//
// A vectored handler sees the fault first. It takes only faults raised on a
// thread that is inside an export, at an instruction of this library (code
// built with unwind tables for every instruction, see the build flags),
// and leaves all others alone: system code that probes memory under its own
// handlers, faults of other threads and host code keep their usual course.
// It does not throw itself (nothing may unwind through the dispatcher);
// it makes the faulting thread call a thrower instead, as if the faulting
// instruction had called it, and lets the thread go on.
#include <windows.h>

#include <cstdio>

#include "platform/system/system.h"

namespace vek::platform {

namespace {

thread_local int t_depth = 0;
thread_local char t_message[160];

PVOID g_handler = nullptr;
uintptr_t g_image_begin = 0, g_image_end = 0;

void FindOwnImage() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&FindOwnImage), &self))
    return;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(self);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const uint8_t*>(self) +
                                                             dos->e_lfanew);
  g_image_begin = reinterpret_cast<uintptr_t>(self);
  g_image_end = g_image_begin + nt->OptionalHeader.SizeOfImage;
}

}  // namespace

}  // namespace vek::platform

// Called in place of the faulting instruction, on the faulting thread.
extern "C" [[noreturn]] __attribute__((used)) void vek_throw_access_fault() {
  throw vek::platform::AccessFault(vek::platform::t_message);
}

// The thrower's caller as the unwinder sees it: the faulting frame, whose
// return address the handler set one byte past the faulting instruction (so
// "return address - 1", where unwinders look, is that instruction). The stub
// keeps a frame pointer so that the stack it aligns for the thrower unwinds
// back to exactly the faulting frame's.
extern "C" void vek_fault_trampoline();
#if defined(__x86_64__)
asm(R"(
  .text
  .globl vek_fault_trampoline
  .def vek_fault_trampoline; .scl 2; .type 32; .endef
  .seh_proc vek_fault_trampoline
vek_fault_trampoline:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  call vek_throw_access_fault
  int3
  .seh_endproc
)");
#elif defined(__i386__)
asm(R"(
  .text
  .globl _vek_fault_trampoline
_vek_fault_trampoline:
  .cfi_startproc
  pushl %ebp
  .cfi_def_cfa_offset 8
  .cfi_offset %ebp, -8
  movl %esp, %ebp
  .cfi_def_cfa_register %ebp
  andl $-16, %esp
  call _vek_throw_access_fault
  int3
  .cfi_endproc
)");
#else
#error "access fault trampoline: unknown processor"
#endif

#if defined(__i386__)
// libgcc's lookup of the unwind entry that covers an address.
struct DwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases);
#endif

namespace vek::platform {

namespace {

// Only code that says how to unwind it can have an exception thrown from
// it; elsewhere (assembler without unwind entries) the fault stays a fault,
// which the host may still catch itself, instead of ending the process.
bool Unwindable(uintptr_t at) {
#if defined(__x86_64__)
  DWORD64 base = 0;
  return RtlLookupFunctionEntry(at, &base, nullptr) != nullptr;
#else
  DwarfEhBases bases{};
  return _Unwind_Find_FDE(reinterpret_cast<void*>(at), &bases) != nullptr;
#endif
}

LONG CALLBACK OnFault(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* rec = info->ExceptionRecord;
  if (rec->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || (rec->ExceptionFlags & EXCEPTION_NONCONTINUABLE))
    return EXCEPTION_CONTINUE_SEARCH;
  // Our own code first: the thread-local counter of another thread may not exist yet.
  const auto at = reinterpret_cast<uintptr_t>(rec->ExceptionAddress);
  if (at < g_image_begin || at >= g_image_end || t_depth <= 0 || !Unwindable(at))
    return EXCEPTION_CONTINUE_SEARCH;
  const ULONG_PTR kind = rec->NumberParameters >= 2 ? rec->ExceptionInformation[0] : 0;
  const ULONG_PTR where = rec->NumberParameters >= 2 ? rec->ExceptionInformation[1] : 0;
  const char* verb = kind == 1 ? "Write" : kind == 8 ? "Execute" : "Read";
  std::snprintf(t_message, sizeof t_message,
                "Access violation at address %0*llX. %s of address %0*llX.",
                static_cast<int>(sizeof(void*) * 2), static_cast<unsigned long long>(at), verb,
                static_cast<int>(sizeof(void*) * 2), static_cast<unsigned long long>(where));
  CONTEXT* c = info->ContextRecord;
#if defined(__x86_64__)
  c->Rsp -= sizeof(DWORD64);
  *reinterpret_cast<DWORD64*>(c->Rsp) = c->Rip + 1;
  c->Rip = reinterpret_cast<DWORD64>(&vek_fault_trampoline);
#else
  c->Esp -= sizeof(DWORD);
  *reinterpret_cast<DWORD*>(c->Esp) = c->Eip + 1;
  c->Eip = reinterpret_cast<DWORD>(&vek_fault_trampoline);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void FaultGuardEnter() {
  if (!g_handler) {
    FindOwnImage();
    // Last in the list: handlers the host installed first still see faults first.
    g_handler = AddVectoredExceptionHandler(0, OnFault);
  }
  ++t_depth;
}

void FaultGuardLeave() {
  if (t_depth > 0) --t_depth;
}

namespace {
// The handler must not outlive the code it points to when a host unloads us.
struct HandlerRemoval {
  ~HandlerRemoval() {
    if (g_handler) RemoveVectoredExceptionHandler(g_handler);
    g_handler = nullptr;
  }
} g_handler_removal;
}  // namespace

}  // namespace vek::platform
