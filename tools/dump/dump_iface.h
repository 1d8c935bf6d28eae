// Interface names of zorv_dump's -i options: "kvel<N>" or "kvel_<HEX>_<N>", with an
// optional VLAN suffix, accepted only when the -d device reports a port of that name.
#pragma once

namespace zdump {

// True when the name has one of the two forms with a port number of 0 or more.
bool iface_name_form(const char* name);
// The port index under which the device at dev_path reports the name, or -1.
int iface_port(const char* dev_path, const char* name);

}  // namespace zdump
