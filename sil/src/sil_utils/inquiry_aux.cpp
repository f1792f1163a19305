// The auxiliary tables: -geometry (do_geometry_display) and -spc2 (do_spc2_display).
#include "inquiry_identity.h"

// Temporary bodies: print nothing until the reports are written.
int do_geometry_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_spc2_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
