// The high-end array's WWN reports (-kor_wwn, -sid_wwn, -kordev), get_korv_wwn and the -identifier report.
#include "inquiry_identity.h"

// Temporary bodies: print nothing until the reports are written.
int do_kor_wwn_dev_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_kor_wwn_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int do_identifier_display(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*) { return 0; }
int get_korv_wwn(const char*, std::uint32_t, std::uint8_t*) { return -1; }
