// The midrange array's and the virtualisation product's identity reports: -drav_wwn (single, table, -drav_file) and -olvessa_wwn.
#include "inquiry_identity.h"

// Temporary bodies: print nothing until the reports are written.
int do_drav_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_drav_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_drav_file_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_olvessa_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_olvessa_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
