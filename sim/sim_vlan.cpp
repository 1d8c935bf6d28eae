#include "sim_vlan.h"

#include "sim_frame.h"

namespace zsim {

uint16_t vlan_id_of_slot(const sim_port& port, uint8_t slot) {
  if (slot == 0 || slot > VLAN_SLOTS) return 0;
  return uint16_t(port.fiber.reg(FIBER_VLAN_FIRST + slot - 1u) >> 32) & VLAN_ID_MASK;
}

uint32_t vlan_ip_of_slot(const sim_port& port, uint8_t slot) {
  if (slot == 0 || slot > VLAN_SLOTS) return 0;
  return uint32_t(port.fiber.reg(FIBER_VLAN_FIRST + slot - 1u));
}

int vlan_slot_of(const sim_port& port, uint16_t vlan_id) {
  if (vlan_id == 0) return 0;
  for (uint8_t slot = 1; slot <= VLAN_SLOTS; ++slot)
    if (vlan_id_of_slot(port, slot) == vlan_id) return slot;
  return -1;
}

}  // namespace zsim
