// The identity reports of the other makes: -sw_wwn, -hds_wwn, -s80_wwn and the -shark_wwn, -compaq_wwn and -netapp_wwn tables.
#include "inquiry_identity.h"

// Temporary bodies: print nothing until the reports are written.
int do_sw_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_sw_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_hds_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_hds_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_s80_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_s80_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_shark_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_compaq_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_netapp_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
