// The card's console block as the driver offers it: allocated on a descriptor of the
// device node, its register page mapped read-write and shared. Registers are 64-bit
// words at byte 8 + 2 x index from the page start.
#pragma once
#include <cstdint>

namespace wrterm {

constexpr int CONSOLE_BLOCK_TYPE = 133;

enum console_reg : unsigned {
  CONSOLE_STATUS = 0,     // bit 1 set while the transmitter is busy
  CONSOLE_TRANSMIT = 16,  // a character written here is sent
  CONSOLE_RECEIVE = 20,   // bit 8: a character is present, bits 7..0; each read takes one
};
constexpr uint64_t CONSOLE_TX_BUSY = 1u << 1;
constexpr uint64_t CONSOLE_RX_PRESENT = 1u << 8;

struct console_block {
  int fd;
  void* map;  // the register page
  volatile char* regs;  // map + 8
};

// Null with errno from the call that failed; nothing is left open then.
console_block* open_console(const char* path, int block_type);
uint64_t console_read(const console_block* block, unsigned index);
void console_write(console_block* block, unsigned index, uint64_t value);
// Unmaps the page, closes the descriptor and frees the block.
void close_console(console_block* block);

}  // namespace wrterm
