// Starting, configuring and stopping a port's capture block, and showing its registers.
// zorv_dump itself never does any of this (it expects the card to be recording); these
// serve whoever sets a card up for capture.
#pragma once
#include <cstdint>

#include "capture_reader.h"

namespace zdump {

// Registers 0x00 to 0x58, one "name = 0x..." line each, on standard output.
void print_capture_regs(const dump_device* dev);
// value 0 (off) or 1 (on): 0; anything else -1, nothing written.
int set_capture_enable(dump_device* dev, uint64_t value);
// Places the ring at card addresses [low, high), both multiples of 4096 and at least
// 4096 bytes apart; bit 0 of flag is handed to the card. 0 once the card reports the
// ring configured (the device then reads the new ring), -1 after a message.
int configure_capture_memory(dump_device* dev, uint64_t low, uint64_t high, uint64_t flag);
// Capture off and the block reset: 0.
int disable_capture(dump_device* dev);
bool capture_configured(const dump_device* dev);

}  // namespace zdump
