// Commands and mapping offsets of the card's kernel driver.
#pragma once
#include <cstdint>

namespace kvel {

// ioctl numbers, Linux encoding: direction in bits 31..30 (1 write, 2 read),
// argument size in bits 29..16. Arguments are always passed by pointer.
constexpr unsigned long KVEL_DEV_PROBE = 0x4206;
constexpr unsigned long KVEL_DEV_PORT_NAME = 0xC040420A;
constexpr unsigned long KVEL_DEV_ENABLE_KERNEL_ETH = 0x420B;
constexpr unsigned long KVEL_ETH_CARRIER_ON = 0x4500;
constexpr unsigned long KVEL_ETH_CARRIER_OFF = 0x4501;
constexpr unsigned long KVEL_TSC_KHZ = 0x80045400;
constexpr unsigned long KVEL_ALLOC_CONSOLE_BLOCK = 0x40045704;
constexpr unsigned long KVEL_GET_GLOBAL_BLOCK = 0x40045705;
constexpr unsigned long KVEL_ALLOC_BLOCK = 0x40045706;
constexpr unsigned long KVEL_SET_TIME_ADDR = 0x400C5709;
constexpr unsigned long KVEL_ALLOC_DUMP_BLOCK = 0x4008570A;
constexpr unsigned long KVEL_GET_FIBER = 0xC004570D;
constexpr unsigned long KVEL_ALLOC_UDP_SESSION = 0x40045710;
constexpr unsigned long KVEL_ALLOC_ETH_SESSION = 0x40045711;
constexpr unsigned long KVEL_ALLOC_TCP_SESSION = 0x40045712;
constexpr unsigned long KVEL_UDP_RX_FILTER = 0x40185711;
constexpr unsigned long KVEL_TCP_SESSION_SETUP = 0x402C5712;
constexpr unsigned long KVEL_TCP_LISTEN = 0x400C4541;
constexpr unsigned long KVEL_TCP_TRIGGER_RST_ON_RELEASE = 0x40044542;
constexpr unsigned long KVEL_TCP_TTL_RST_ON_RELEASE = 0x40014543;
constexpr unsigned long KVEL_DUMP_DMA = 0xC0104400;

constexpr unsigned ioc_dir(unsigned long cmd) { return (cmd >> 30) & 3u; }
constexpr unsigned ioc_size(unsigned long cmd) { return (cmd >> 16) & 0x3FFFu; }
constexpr unsigned IOC_DIR_WRITE = 1;  // caller -> driver
constexpr unsigned IOC_DIR_READ = 2;   // driver -> caller

// Block types of KVEL_ALLOC_BLOCK and friends.
constexpr int KVEL_BLOCK_GLOBAL = 1;
constexpr int KVEL_BLOCK_TIME = 66;
constexpr int KVEL_BLOCK_DUMP = 96;
constexpr int KVEL_BLOCK_CONSOLE = 133;

// mmap offsets: each selects a region of the descriptor, not a file position.
constexpr long KVEL_MMAP_REGS = 0x0;
constexpr long KVEL_MMAP_TX_PIO = 0x3000;
constexpr long KVEL_MMAP_RX_RING = 0x4000;
constexpr long KVEL_MMAP_TX_FEEDBACK = 0x6000;
constexpr long KVEL_MMAP_FIBER_CONF = 0x9000;
constexpr long KVEL_MMAP_BLOCK_REGS = 0xA000;
constexpr long KVEL_MMAP_TX_TIMESTAMPS = 0xC000;
constexpr long KVEL_MMAP_LISTEN_STATUS = 0xD000;
constexpr long KVEL_MMAP_DUMP_DMA = 0xE000;

constexpr unsigned long KVEL_PAGE_SIZE = 4096;
constexpr unsigned long KVEL_TX_PIO_SIZE = 16384;
constexpr unsigned long KVEL_DUMP_DMA_SIZE = 1u << 20;
constexpr int KVEL_MAX_PORTS = 16;

}  // namespace kvel
