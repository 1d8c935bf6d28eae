// The port's VLAN table as the datapath reads it: fiber registers 16..30 hold VLAN
// slots 1..15, the VLAN id in bits 43..32 and the port's IPv4 address on it in 31..0.
#pragma once
#include <cstdint>

#include "sim_card.h"

namespace zsim {

constexpr uint8_t VLAN_SLOTS = 15;

// The VLAN id in a VLAN slot (1..15) of the port; 0 for an empty slot.
uint16_t vlan_id_of_slot(const sim_port& port, uint8_t slot);
// The port's address on a VLAN slot (1..15).
uint32_t vlan_ip_of_slot(const sim_port& port, uint8_t slot);
// The VLAN slot of a received frame's VLAN id: 0 untagged, -1 for a VLAN the port's
// table does not hold. The first slot holding the id wins.
int vlan_slot_of(const sim_port& port, uint16_t vlan_id);

}  // namespace zsim
