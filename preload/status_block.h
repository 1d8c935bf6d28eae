// The status block at the head of a log: build, C library, process, network and host.
#pragma once
#include <cstddef>

namespace kvel {

// Writes the block into buf (always terminated, cut at size); returns its length.
size_t format_status_block(char* buf, size_t size);

// Reads /proc/<own pid>/<name> into buf (at most size - 1 bytes, terminated); returns the
// bytes read, 0 with an empty text when the file cannot be opened.
size_t read_proc_file(const char* name, char* buf, size_t size);

// The ".so" tokens of a maps text, one a line, each once per run of equal tokens, in
// out of out_size bytes (terminated, cut at whole names); returns the length.
size_t list_libraries(const char* maps, char* out, size_t out_size);

}  // namespace kvel
