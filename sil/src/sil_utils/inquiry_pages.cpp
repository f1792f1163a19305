// The page detail reports: -page0 (with the NAS label and NAS iSCSI blocks), -page <code> and -pagec0.
#include "inquiry_identity.h"

// Temporary bodies: print nothing until the reports are written.
int do_page0_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_page_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_page_c0_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
