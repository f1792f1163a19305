// The adapter reports, the HBA API library self-test, and the WWN and target-mapping tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "inquiry.h"

// inquiry_hba.cpp: the Fibre Channel adapter report (-hba, and in front of -mapinfo) and the iSCSI
// initiator report (-iscsi). Both print every record of their list on `out` and return 0.
// The adapter report's names of an adapter type and a port's type, speed and state.
const char* hba_type_name(std::uint32_t type);
const char* hba_port_type_name(std::uint32_t type);
const char* hba_port_speed_name(std::uint32_t speed);
const char* hba_port_state_name(std::uint32_t state);
int do_hba_display(std::FILE* out, const T_SIL_HBA_LIST* hbas);
int do_iscsi_display(std::FILE* out, const T_SIL_ISCSI_LIST* iscsis);

// inquiry_wwn.cpp: -wwn lists the devices the display filter shows; -mapinfo prints the adapter
// report on standard output, then every device with inquiry data with its adapter port and target
// port. Both on the library output stream; both return 0.
int do_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_mapinfo_display(const T_SIL_DEVICE_LIST* list, const T_SIL_HBA_LIST* hbas, const T_DISPLAY_OPTIONS* opts);
// The -wwn table's WWN cell of a device ("N/A" when its make's record holds none) and the -mapinfo
// table's array serial cell ("N/A" when no record names the array).
std::string device_wwn_text(const T_SIL_DEVICE& dev);
std::string device_array_serial_text(const T_SIL_DEVICE& dev);
