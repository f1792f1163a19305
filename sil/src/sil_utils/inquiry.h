// The lunscan front end: the display options record, the option parser, the run flow and its reports.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "sil/silautil.h"
#include "sil/silfinda.h"
#include "sil/silfindd.h"

// Field sizes of the display options record. Each holds that many characters and a NUL.
inline constexpr std::size_t INQ_DEV_NAME_CHARS = 100;
inline constexpr std::size_t INQ_DRAV_FILE_CHARS = 50;
inline constexpr std::size_t INQ_HBA_FILE_CHARS = 100;
inline constexpr std::size_t INQ_SID_WWN_CHARS = 12;
// A device record's name holds 80 characters; -dev and the device file are held to that.
inline constexpr std::size_t INQ_DEVICE_NAME_MAX = SIL_DEVICE_NAME_LEN - 1;
// Most names the -drav_file file may list.
inline constexpr std::size_t INQ_DEVICE_FILE_MAX_NAMES = 1000;
// Bytes read per line of the -drav_file file.
inline constexpr int INQ_DEVICE_FILE_LINE_BYTES = 512;

// A fixed-size text field up to its NUL, or all of it when a device filled it without one.
template <std::size_t N>
std::string_view inq_field_text(const char (&field)[N]) {
    const char* end = std::find(field, field + N, '\0');
    return std::string_view(field, static_cast<std::size_t>(end - field));
}

// Report selected by display_mode.
enum : std::uint32_t {
    INQ_MODE_DEFAULT = 0,
    INQ_MODE_ALL = 1,
    INQ_MODE_PARENT = 2,
    INQ_MODE_ET = 3,
    INQ_MODE_CKD = 4,
    INQ_MODE_PAGE0 = 5,
    INQ_MODE_PAGE = 6,
    INQ_MODE_SIL = 7,
    INQ_MODE_GK = 8,
    INQ_MODE_AS400 = 9,
    INQ_MODE_DRAV_WWN = 10,
    INQ_MODE_SW_WWN = 11,
    INQ_MODE_HDS_WWN = 12,
    INQ_MODE_HBA = 13,
    INQ_MODE_ISCSI = 14,
    INQ_MODE_S80_WWN = 15,
    INQ_MODE_KOR_WWN = 16,
    INQ_MODE_PAGEC0 = 17,
    INQ_MODE_GEOMETRY = 18,
    INQ_MODE_SPC2 = 19,
    INQ_MODE_OLVESSA_WWN = 20,
    INQ_MODE_SHARK_WWN = 21,
    INQ_MODE_COMPAQ_WWN = 22,
    INQ_MODE_NETAPP_WWN = 23,
    INQ_MODE_MAPINFO = 24,
    INQ_MODE_IDENTIFIER = 25,
    INQ_MODE_CONNECTIONS = 26,
    INQ_MODE_WWN = 27,
    INQ_MODE_LAST = INQ_MODE_WWN,
};

// rpx_mode values.
inline constexpr std::uint8_t INQ_RPX_PING = 1;
inline constexpr std::uint8_t INQ_RPX_LIST = 2;
inline constexpr std::uint8_t INQ_RPX_XML = 3;
inline constexpr std::uint8_t INQ_RPX_RAW = 9;

// snia_test_flags bits.
inline constexpr std::uint32_t INQ_SNIA_HBA_API = 0x1;
inline constexpr std::uint32_t INQ_SNIA_HBA_SPECIFIC = 0x2;

// -loop count that never ends.
inline constexpr std::uint32_t INQ_LOOP_FOREVER = 0xFFFF;

// Parser results besides 0.
inline constexpr int INQ_PARSE_USAGE = -2;  // a usage screen was printed

// What the command line asked to be shown. Flags are 0 or 1. Zero-filled before parsing.
struct T_DISPLAY_OPTIONS {
    std::uint32_t display_mode;
    std::uint8_t no_filters;
    std::uint8_t require_data;
    std::uint8_t f_strandway;
    std::uint8_t f_pseudo;
    std::uint8_t f_real;
    std::uint8_t f_xmv;
    std::uint8_t f_ckd;
    std::uint8_t f_vantrel;
    std::uint8_t f_dravonis;
    std::uint8_t f_storwrks;
    std::uint8_t f_hds;
    std::uint8_t f_s80;
    std::uint8_t hba;
    std::uint8_t f_olvessa;
    std::uint8_t iscsi;
    std::uint8_t f_shark;
    std::uint8_t f_compaq;
    std::uint8_t f_netapp;
    std::uint8_t vantrel;
    std::uint8_t dravonis;
    std::uint8_t f_4k;
    std::uint8_t f_size;
    std::uint32_t size_limit_kb;
    std::uint8_t nice_name;
    std::uint32_t page_code;
    std::uint8_t dev_given;
    char dev_name[INQ_DEV_NAME_CHARS + 1];
    std::uint8_t drav_file_given;
    char drav_file[INQ_DRAV_FILE_CHARS + 1];
    std::uint8_t korvvol_given;
    std::uint32_t korvvol;
    std::uint8_t showvol;
    std::uint8_t compat;
    std::uint8_t btl;
    std::uint8_t rpx;
    std::uint8_t rpx_mode;
    std::uint8_t rpx_ping_req;
    std::uint8_t rpx_list_req;
    std::uint8_t hba_fibre;
    std::uint8_t hba_scsi;
    std::uint8_t hba_snia;
    std::uint8_t hba_create;
    std::uint8_t hba_file_given;
    std::uint8_t hba_use_file;
    char hba_file[INQ_HBA_FILE_CHARS + 1];
    std::uint8_t loop;
    std::uint32_t loop_count;
    char sid_wwn[INQ_SID_WWN_CHARS + 1];
    std::uint8_t sid_wwn_given;
    std::uint8_t geometry;
    std::uint8_t spc2;
    std::uint8_t filter_sid;
    std::uint8_t winvol;
    std::uint8_t mapinfo;
    std::uint8_t snia_test;
    std::uint32_t snia_test_flags;
    std::uint8_t wwn;
    std::uint8_t json;       // -json: the report as one JSON document
    std::uint8_t diff;       // -diff: compare two JSON inventories instead of scanning
    const char* diff_old;    // -diff's two files (words of the command line)
    const char* diff_new;
};

// ---- run flow (inquiry_run.cpp) ------------------------------------------------------------------
// The whole program: returns the process exit status.
int inquiry_main(int argc, char** argv);

// The parts of the library's identification string the banner shows.
struct T_SIL_IDENT_PARTS {
    std::string version;   // version token before its first '-'
    std::string revision;  // revision token up to ')'
    std::string edit;      // version token after its first '-'
    std::string notice;    // the owner's notice
    bool development;      // the version token contains "dev"
};
T_SIL_IDENT_PARTS parse_sil_ident(std::string_view ident);
// The banner's first line for the given identification string, without its line end: the
// utility's title and version and the library's version values.
std::string banner_title(std::string_view ident);
// The banner for the given identification string: the development warning on `err` when the
// version says so, then the three banner lines on `out`; both flushed.
void print_banner_from(std::FILE* out, std::FILE* err, std::string_view ident);
// The banner of this build on the library output stream.
void print_banner();
// Whether a command-line word (argv[0] included) asks for no banner.
bool banner_suppressed(int argc, char** argv);
// The message of a failed SIL_init: on the context's stream when there is one, else on `err`.
void print_init_failure(std::int32_t rc, std::FILE* context_stream, std::FILE* err);

// Builds a one-entry list for -dev.
void open_single_device(T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                        const T_DISPLAY_OPTIONS* opts);
// Builds the list from the -drav_file file; ends the process (-1) when the file cannot be read or
// breaks the name limits.
void open_device_file_list(T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                           const T_DISPLAY_OPTIONS* opts);
// Rebuilds the device list loop_count times (0xFFFF: forever), marking progress on `out` and
// comparing each rebuild's count with first_count.
void run_device_loop(std::int32_t first_count, const create_dev_list* cdl,
                     const T_DISPLAY_OPTIONS* opts, std::FILE* out);

// ---- options (inquiry_options.cpp) ------------------------------------------------------------
// 0 to go on, INQ_PARSE_USAGE after a usage screen. Ends the process (-1) on an option without its
// argument or an argument beyond the limits.
int parse_command_line(int argc, char** argv, T_DISPLAY_OPTIONS* opts, create_dev_list* cdl);
// The C library's signed conversion as a 32-bit long does it (text that is no number gives 0).
std::uint32_t parse_option_number(const char* text, int base);

// ---- usage screens (inquiry_usage.cpp) ------------------------------------------------------------
void print_usage();
void print_rpx_usage();

// ---- display filter (inquiry_filter.cpp) ----------------------------------------------------------
// 0: the report shows the device; non-zero: it skips it.
int filter_device(const T_SIL_DEVICE* dev, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);

// ---- reports (inquiry_reports.cpp) ----------------------------------------------------------------
// The lists a report may read.
struct T_INQ_LISTS {
    T_SIL_DEVICE_LIST devices;
    T_SIL_HBA_LIST hbas;
    T_SIL_ISCSI_LIST iscsis;
};
// Runs the report of display_mode. 0, or -1 after "ERROR: display not supported\n" on stderr.
int run_display(const T_INQ_LISTS* lists, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);
// Runs the replication report of rpx_mode on what the gatherer found.
void run_rpx_display(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO* info,
                     const T_DISPLAY_OPTIONS* opts);
// The replication reports (inquiry_rpx.cpp); the list and XML reports name the list's devices.
void do_rpx_ping_display(std::FILE* out, const T_SIL_RPX_INFO& info);
void do_rpx_list_display(std::FILE* out, const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info);
void do_rpx_xml_display(std::FILE* out, const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info);
void do_rpx_raw_display(std::FILE* out, const T_SIL_RPX_INFO& info);
void do_as400_display(std::FILE* out);
// The single-device Shark, Compaq and NetApp reports (inquiry_identity_makes.cpp).
void do_shark_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list);
void do_compaq_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list);
void do_netapp_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list);
// The HBA API library self-test (inquiry_selftest.cpp) on `out`: hba_api / hba_specific in
// `flags` choose the libraries (both: nothing is done). Returns 0.
int do_snia_test_display(std::FILE* out, std::uint32_t flags);
