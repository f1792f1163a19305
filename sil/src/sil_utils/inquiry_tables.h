// The device tables: the default table and the -all, -et, -ckd, -sil, -connections, -gk and -parent tables.
#pragma once

#include "inquiry.h"

// Each table prints one line per device that filter_device accepts, in list order, on the library
// output stream (sil_out()). They only read the records and always return 0.

// inquiry_tables_default.cpp: the default table with its column options.
int do_default_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                       const T_DISPLAY_OPTIONS* opts);

// inquiry_tables_korv.cpp: the tables of the high-end array's vendor bytes.
int do_all_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts);
int do_et_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                  const T_DISPLAY_OPTIONS* opts);
int do_ckd_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts);

// inquiry_tables_sil.cpp: the compact library-field tables and the relation table.
int do_sil_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts);
int do_connections_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                           const T_DISPLAY_OPTIONS* opts);
int do_gk_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                  const T_DISPLAY_OPTIONS* opts);
int do_parent_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                      const T_DISPLAY_OPTIONS* opts);
