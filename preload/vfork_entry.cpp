// vfork cannot return through a frame of its own: the child would unwind the frame that
// the parent then resumes in. The entry point therefore traces in an ordinary function,
// then jumps into the C library's vfork with the caller's return address in place.
#include <unistd.h>

#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "trace_log.h"

extern "C" [[gnu::used]] pid_t (*zl_vfork_target())() {
  kvel::ensure_started();
  kvel::trace_line("vfork", "\n");
  return kvel::real_vfork;
}

// The stack stays 16-byte aligned around the call; after it the stack is exactly as the
// caller left it, so the jump makes the C library's vfork return to the caller directly.
asm(R"(
  .text
  .globl vfork
  .type vfork, @function
vfork:
  subq $8, %rsp
  call zl_vfork_target
  addq $8, %rsp
  jmp *%rax
  .size vfork, .-vfork
)");
