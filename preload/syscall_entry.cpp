// syscall(): the numbers that close or duplicate descriptors go to the interposer's own
// entry points, so that a program (or an event library) that closes with
// syscall(SYS_close, fd) ends the socket's record as close would; every other number
// goes straight to the kernel with the six arguments as they came.
#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "duplicates.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "sys_calls.h"

using namespace kvel;

namespace {

// The C library's names reach the interposer's entry points (entry_points.cpp).
long taken_over(long number, const long* a) {
  switch (number) {
    case SYS_close:
      return close(int(a[0]));
    case SYS_close_range:
      return close_range(unsigned(a[0]), unsigned(a[1]), int(a[2]));
    case SYS_dup:
      return dup(int(a[0]));
    case SYS_dup2:
      return dup2(int(a[0]), int(a[1]));
    case SYS_dup3:
      return dup3(int(a[0]), int(a[1]), int(a[2]));
    default:  // SYS_fcntl with a duplicating command
      return fcntl(int(a[0]), int(a[1]), a[2]);
  }
}

bool taken_number(long number, const long* a) {
  switch (number) {
    case SYS_close:
    case SYS_close_range:
    case SYS_dup:
    case SYS_dup2:
    case SYS_dup3:
      return true;
    case SYS_fcntl:
      return duplicating_fcntl(a[1]);
    default:
      return false;
  }
}

// Before start-up only a record made by an earlier call can need the interposer: an
// allocator (jemalloc's, in redis) opens, reads and closes files with syscall() while it
// sets itself up inside malloc, and start-up, which allocates, would wait on the
// allocator's own lock.
bool needs_interposer(long number, const long* a) {
  if (!taken_number(number, a)) return false;
  if (init_done.load(std::memory_order_acquire) != 0 || number == SYS_close_range) return true;
  const bool onto = number == SYS_dup2 || number == SYS_dup3;
  return lookup_socket_record(int(a[0])) != nullptr ||
         (onto && lookup_socket_record(int(a[1])) != nullptr);
}

}  // namespace

// The numbers the entry point below hands to C: the others never leave the assembly.
static_assert(SYS_close == 3 && SYS_dup == 32 && SYS_dup2 == 33 && SYS_fcntl == 72 &&
              SYS_dup3 == 292 && SYS_close_range == 436);

// The six arguments as the registers and the stack brought them: a caller that passed
// fewer leaves values whose contents the kernel ignores for its number, exactly as
// without the interposer.
extern "C" [[gnu::used, gnu::visibility("hidden")]] long zl_syscall_taken(long number, long a0,
                                                                          long a1, long a2,
                                                                          long a3, long a4,
                                                                          long a5) {
  const long a[6] = {a0, a1, a2, a3, a4, a5};
  if (needs_interposer(number, a)) return taken_over(number, a);
  return sys_call6(number, a);
}

extern "C" [[gnu::used, gnu::visibility("hidden")]] long zl_syscall_failed(long result) {
  errno = int(-result);
  return -1;
}

// Every other number goes to the kernel at the cost of six compares, as the C library's
// syscall() sends it: the number into rax, the arguments one register down, the sixth
// from the stack, without start-up. Both exits to C are jumps with the caller's stack
// as it came, so the sixth argument stays where a seventh parameter is read from.
asm(R"(
  .text
  .globl syscall
  .type syscall, @function
syscall:
  cmpq $3, %rdi
  je 1f
  cmpq $32, %rdi
  je 1f
  cmpq $33, %rdi
  je 1f
  cmpq $72, %rdi
  je 1f
  cmpq $292, %rdi
  je 1f
  cmpq $436, %rdi
  je 1f
  movq %rdi, %rax
  movq %rsi, %rdi
  movq %rdx, %rsi
  movq %rcx, %rdx
  movq %r8, %r10
  movq %r9, %r8
  movq 8(%rsp), %r9
  syscall
  cmpq $-4095, %rax
  jae 2f
  ret
1:
  jmp zl_syscall_taken
2:
  movq %rax, %rdi
  jmp zl_syscall_failed
  .size syscall, .-syscall
)");
