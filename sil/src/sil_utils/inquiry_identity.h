// The array identity, page detail and auxiliary reports, and the frame every identity table shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "inquiry.h"
#include "inquiry_tables_vocab.h"

// Every report here prints on the library output stream (sil_out()) and returns 0, or -1 when it
// stopped on one of its messages. A report that needs a device and finds the list empty prints
// nothing and returns -1.

// ---- shared pieces (inquiry_identity_frame.cpp) ---------------------------------------------------
// The first device of the list, or nullptr when the list is empty.
const T_SIL_DEVICE* first_device(const T_SIL_DEVICE_LIST* list);
// Each byte as two lower-case hex digits.
void print_hex(std::FILE* out, std::span<const std::uint8_t> bytes);
// The first `length` bytes of `field` in hex: a length a device gave never reads past the field.
void print_hex_prefix(std::FILE* out, std::span<const std::uint8_t> field, std::size_t length);
// The longest device name of the whole list, at least 8, plus `extra` (the identity reports' W).
std::size_t name_column_width(const T_SIL_DEVICE_LIST* list, std::size_t extra);
// "BUG(<file>:<line>)\n" naming a place of the front end's source.
void print_bug_line(std::FILE* out, const char* source_path, int line);
#define INQ_PRINT_BUG(out) print_bug_line((out), __FILE__, __LINE__)

// One make's identity table.
struct T_IDENTITY_TABLE {
    const char* label;              // heading of the name column
    const char* columns;            // heading of the make's cells
    std::size_t dashes;             // dashes after the name column's W
    bool (*is_make)(const T_SIL_DEVICE& dev);
    bool (*has_record)(const T_SIL_DEVICE& dev);
    const char* not_make_format;    // takes the device name
    const char* missing_record;     // the missing-record message; nullptr: a BUG line
    int bug_line;                   // the line the BUG line names (with bug_source)
    const char* bug_source;
    // The make's cells after the padded name, the row's newline included.
    void (*print_cells)(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS& opts);
};
// The frame: empty line, dashes, heading, dashes; a row per device the display filter accepts;
// stops with -1 at the first accepted device of another make or without its record; else an empty
// line and 0.
int print_identity_table(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                         const T_DISPLAY_OPTIONS* opts, const T_IDENTITY_TABLE& table);

// ---- the midrange array and the virtualisation product (inquiry_identity_drav.cpp) ---------------
int do_drav_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_drav_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_drav_file_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_olvessa_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_olvessa_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);

// ---- the other makes (inquiry_identity_makes.cpp) -------------------------------------------------
int do_sw_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_sw_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_hds_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_hds_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_s80_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_s80_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_shark_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_compaq_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_netapp_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);

// ---- the high-end array and the identifier report (inquiry_identity_korv.cpp) --------------------
int do_kor_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_kor_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_identifier_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
// The high-end array's device WWN made from its 12-character serial and the device number. 0, or
// -1 after the invalid-serial message and the usage screen.
int get_korv_wwn(const char* serial, std::uint32_t device_number, std::uint8_t wwn[16]);

// ---- auxiliary tables (inquiry_aux.cpp) -----------------------------------------------------------
int do_geometry_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_spc2_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);

// ---- page detail (inquiry_pages.cpp) --------------------------------------------------------------
int do_page0_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_page_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
int do_page_c0_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
