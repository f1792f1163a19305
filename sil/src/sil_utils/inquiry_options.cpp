// Command-line parsing into the display options and list-building options, and its validation.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "inquiry.h"
#include "inquiry_json.h"
#include "sil/siltrace.h"

namespace {

using Apply = void (*)(T_DISPLAY_OPTIONS& d, create_dev_list& l);
constexpr int kKeepMode = -1;

// An option without an argument: the report it chooses (or kKeepMode) and the fields it sets.
struct FlagOption {
    std::string_view name;
    std::string_view alias;
    int mode;
    Apply apply;
};

#define SETS(...) [](T_DISPLAY_OPTIONS& d, create_dev_list& l) { __VA_ARGS__; }
#define RPX_REQUEST(mode_value, request)                                              \
    SETS(d.rpx = 1; l.xmv_devices_only = 1; d.rpx_mode = (mode_value); d.request = 1; \
         d.f_xmv = 1)

constexpr FlagOption kFlagOptions[] = {
    {"-no_header", "", kKeepMode, nullptr},  // read before parsing: it suppresses the banner
    {"-normal", "", INQ_MODE_DEFAULT, nullptr},
    {"-all", "", INQ_MODE_ALL, nullptr},
    {"-parent", "", INQ_MODE_PARENT, nullptr},
    {"-et", "", INQ_MODE_ET, SETS(d.f_xmv = 1; l.xmv_devices_only = 1)},
    {"-ckd", "-c", INQ_MODE_CKD, SETS(d.f_xmv = 1; l.xmv_devices_only = 1)},
    {"-page0", "-v", INQ_MODE_PAGE0, nullptr},
    {"-pagec0", "", INQ_MODE_PAGEC0, SETS(d.page_code = 0xC0)},
    {"-sil", "", INQ_MODE_SIL, nullptr},
    {"-gk", "", INQ_MODE_GK, nullptr},
    {"-as400", "", INQ_MODE_AS400, nullptr},
    {"-connections", "", INQ_MODE_CONNECTIONS, SETS(l.skip_read = 1)},
    {"-wwn", "", INQ_MODE_WWN, SETS(d.wwn = 1)},
    {"-mapinfo", "", INQ_MODE_MAPINFO, SETS(d.mapinfo = 1)},
    {"-kor_wwn", "", INQ_MODE_KOR_WWN, SETS(d.f_xmv = 1)},
    {"-drav_wwn", "", INQ_MODE_DRAV_WWN, SETS(d.f_dravonis = 1)},
    {"-sw_wwn", "", INQ_MODE_SW_WWN, SETS(d.f_storwrks = 1)},
    {"-hds_wwn", "", INQ_MODE_HDS_WWN, SETS(d.f_hds = 1)},
    {"-s80_wwn", "", INQ_MODE_S80_WWN, SETS(d.f_s80 = 1)},
    {"-olvessa_wwn", "", INQ_MODE_OLVESSA_WWN, SETS(d.f_olvessa = 1)},
    {"-shark_wwn", "", INQ_MODE_SHARK_WWN, SETS(d.f_shark = 1)},
    {"-compaq_wwn", "", INQ_MODE_COMPAQ_WWN, SETS(d.f_compaq = 1)},
    {"-netapp_wwn", "", INQ_MODE_NETAPP_WWN, SETS(d.f_netapp = 1)},
    {"-geometry", "", INQ_MODE_GEOMETRY, SETS(d.geometry = 1)},
    {"-spc2", "", INQ_MODE_SPC2, SETS(d.spc2 = 1)},
    {"-winvol", "", kKeepMode, SETS(d.winvol = 1)},
    {"-iscsi", "", INQ_MODE_ISCSI, SETS(d.iscsi = 1)},
    {"-json", "", kKeepMode, SETS(d.json = 1)},
    {"-no_filters", "", kKeepMode, SETS(d.no_filters = 1)},
    {"-f_strandway", "", kKeepMode, SETS(d.f_strandway = 1)},
    {"-f_pseudo", "-xr", kKeepMode, SETS(d.f_pseudo = 1)},
    {"-f_real", "-xps", kKeepMode, SETS(d.f_real = 1)},
    {"-f_xmv", "", kKeepMode, SETS(d.f_xmv = 1; l.xmv_devices_only = 1)},
    {"-f_ckd", "", kKeepMode, SETS(d.f_ckd = 1)},
    {"-f_vantrel", "", kKeepMode, SETS(d.f_vantrel = 1; d.vantrel = 1; l.vantrel = 1)},
    {"-vantrel", "", kKeepMode, SETS(d.vantrel = 1; l.vantrel = 1)},
    {"-f_dravonis", "", kKeepMode, SETS(d.f_dravonis = 1)},
    {"-dravonis", "", kKeepMode, SETS(d.dravonis = 1)},
    {"-f_storwrks", "", kKeepMode, SETS(d.f_storwrks = 1)},
    {"-f_hds", "", kKeepMode, SETS(d.f_hds = 1)},
    {"-f_s80", "", kKeepMode, SETS(d.f_s80 = 1)},
    {"-f_olvessa", "", kKeepMode, SETS(d.f_olvessa = 1)},
    {"-f_shark", "", kKeepMode, SETS(d.f_shark = 1)},
    {"-f_4k", "", kKeepMode, SETS(d.f_4k = 1)},
    {"-sid", "", kKeepMode, SETS(l.sid = 1)},
    {"-showvol", "", kKeepMode, SETS(d.showvol = 1)},
    {"-compat", "", kKeepMode, SETS(d.compat = 1)},
    {"-btl", "", kKeepMode, SETS(d.btl = 1)},
    {"-skipread", "", kKeepMode, SETS(l.skip_read = 1)},
    {"-skipinq", "", kKeepMode, SETS(l.skip_inq = 1)},
    {"-skipboth", "-query_only", kKeepMode, SETS(l.query_only = 1; d.require_data = 0)},
    {"-query_all", "", kKeepMode,
     SETS(l.query_strand_way = 1; l.query_scan_dir = 1; l.query_os_db = 1)},
    {"-query_mp", "", kKeepMode, SETS(l.query_strand_way = 1)},
    {"-query_dir", "", kKeepMode, SETS(l.query_scan_dir = 1)},
    {"-query_sys", "-system", kKeepMode, SETS(l.query_os_db = 1)},
    {"-registry", "", kKeepMode, SETS(l.query_registry = 1)},
    {"-native", "", kKeepMode, SETS(l.get_spoofed_inquiry_data = 0)},
    {"-no_dots", "-nodots", kKeepMode, SETS(l.printf_dots_f = 0)},
    {"-sortoff", "", kKeepMode, SETS(l.sort = -1)},
    {"-sortkorv", "", kKeepMode, SETS(l.sort = 6; d.f_xmv = 1)},
    {"-rpx", "", kKeepMode, SETS(d.rpx = 1; d.f_xmv = 1; l.xmv_devices_only = 1)},
    {"-ping", "-rpx_ping", kKeepMode, RPX_REQUEST(INQ_RPX_PING, rpx_ping_req)},
    {"-list", "-rpx_list", kKeepMode, RPX_REQUEST(INQ_RPX_LIST, rpx_list_req)},
    {"-rpx_xml", "", kKeepMode, RPX_REQUEST(INQ_RPX_XML, rpx_ping_req)},
    {"-rpx_raw", "", kKeepMode, RPX_REQUEST(INQ_RPX_RAW, rpx_ping_req)},
};

#undef RPX_REQUEST
#undef SETS

const FlagOption* find_flag_option(std::string_view word) {
    for (const FlagOption& option : kFlagOptions) {
        if (word == option.name || (!option.alias.empty() && word == option.alias)) return &option;
    }
    return nullptr;
}

// Option errors end the run with status -1 once their message is on standard output.
[[noreturn]] void end_on_option_error() {
    std::fflush(stdout);
    std::exit(-1);
}

[[noreturn]] void missing_argument(const char* option) {
    std::printf("\n\n\tERROR: invalid use of %s option.\n\n", option);
    end_on_option_error();
}

// Copies an option's text argument into its field; a longer text ends the run rather than being
// cut, since a cut name would quietly name another device or file.
template <std::size_t MaxChars, std::size_t N>
void copy_argument(char (&field)[N], const char* text, const char* what) {
    static_assert(MaxChars < N, "the field must hold the text and its NUL");
    const std::size_t length = std::strlen(text);
    if (length > MaxChars) {
        std::printf("\n\n\tERROR: %s longer than %u characters.\n\n", what,
                    static_cast<unsigned>(MaxChars));
        end_on_option_error();
    }
    std::memcpy(field, text, length + 1);
}

// Walks the words after the program name.
struct WordCursor {
    int argc;
    char** argv;
    int next = 1;

    bool done() const { return next >= argc; }
    const char* peek() const { return done() ? nullptr : argv[next]; }
    bool peek_is(std::string_view word) const { return !done() && word == argv[next]; }
    const char* take() { return argv[next++]; }
    // The argument of `option`: the next word whatever it looks like.
    const char* argument(const char* option) {
        if (done()) missing_argument(option);
        return take();
    }
};

// After -hba only the next word is examined; after -fibre the word after it too.
void parse_hba_suboptions(WordCursor& words, T_DISPLAY_OPTIONS& d) {
    if (words.peek_is("-scsi")) {
        words.take();
        d.hba_scsi = 1;
        return;
    }
    if (words.peek_is("-snia")) {
        words.take();
        d.hba_snia = 1;
        return;
    }
    if (!words.peek_is("-fibre")) return;
    words.take();
    d.hba_fibre = 1;
    if (words.peek_is("-hba_file")) {
        words.take();
        d.hba_use_file = 1;
        if (words.done()) return;
        copy_argument<INQ_HBA_FILE_CHARS>(d.hba_file, words.take(), "-hba_file file name");
        d.hba_file_given = 1;
        // "-create" after the file turns reading it into writing it; it takes no word of its own.
        if (words.peek_is("-create")) {
            words.take();
            d.hba_use_file = 0;
            d.hba_create = 1;
        }
    } else if (words.peek_is("-create_file")) {
        words.take();
        d.hba_create = 1;
        if (words.done()) return;
        copy_argument<INQ_HBA_FILE_CHARS>(d.hba_file, words.take(), "-create_file file name");
    }
}

void parse_identifier(const char* argument, T_DISPLAY_OPTIONS& d, create_dev_list& l) {
    constexpr std::string_view kKinds[] = {"device_name", "nice_name", "hp_id", "vms_id"};
    d.display_mode = INQ_MODE_IDENTIFIER;
    l.skip_read = 1;
    for (std::uint16_t kind = 1; kind <= 4; ++kind) {
        if (argument != kKinds[kind - 1]) continue;
        l.get_dev_ident = kind;
        if (kind == 2)
            d.nice_name = 1;
        else
            d.f_xmv = 1;
        return;
    }
    missing_argument("-identifier");
}

int usage_error(const char* message, void (*screen)()) {
    std::fputs(message, stdout);
    screen();
    return INQ_PARSE_USAGE;
}

int validate(const T_DISPLAY_OPTIONS& d) {
    const bool page_mode = d.display_mode == INQ_MODE_PAGE0 || d.display_mode == INQ_MODE_PAGE ||
                           d.display_mode == INQ_MODE_PAGEC0;
    if (page_mode && !d.dev_given)
        return usage_error("\n\n\t\t ERROR: -page option is only valid with -dev option\n\n",
                           print_usage);
    if ((d.f_strandway && (d.f_pseudo || d.f_real)) || (d.f_pseudo && d.f_real))
        return usage_error(
            "\n\n\t\t ERROR: -f_strandway, -f_pseudo, and -f_real are mutually exclusive.\n\n",
            print_usage);
    if (d.rpx) {
        if (!d.rpx_ping_req && !d.rpx_list_req)
            return usage_error("\n\n\t\t ERROR: -ping or -list must be specified with -rpx.\n\n",
                               print_rpx_usage);
        if (d.rpx_ping_req && d.rpx_list_req)
            return usage_error(
                "\n\n\t\t ERROR: -ping and -list cannot be specified at the same time.\n\n",
                print_rpx_usage);
    }
    if (d.snia_test && d.display_mode != INQ_MODE_DEFAULT) return usage_error("", print_usage);
    if (d.json && !d.diff && !json_report_available(d)) {
        std::printf("\n\n\tERROR: -json is not available with this report.\n\n");
        end_on_option_error();
    }
    return 0;
}

// Options that take an argument or act at once. false: the word is no option at all.
bool parse_special_option(std::string_view word, WordCursor& words, T_DISPLAY_OPTIONS& d,
                          create_dev_list& l) {
    if (word == "-page") {
        d.page_code = parse_option_number(words.argument("-page"), 16);
        d.display_mode = INQ_MODE_PAGE;
    } else if (word == "-identifier") {
        parse_identifier(words.argument("-identifier"), d, l);
    } else if (word == "-sid_wwn") {
        const char* serial = words.argument("-sid");
        // A shorter serial is no error: it simply names no array.
        if (std::strlen(serial) > INQ_SID_WWN_CHARS) {
            std::printf("\n\n\tERROR: -sid_wwn serial number must be 12 characters.\n\n");
            end_on_option_error();
        }
        copy_argument<INQ_SID_WWN_CHARS>(d.sid_wwn, serial, "-sid_wwn serial number");
        d.display_mode = INQ_MODE_KOR_WWN;
        d.sid_wwn_given = 1;
        d.filter_sid = 1;
    } else if (word == "-kordev") {
        d.korvvol = parse_option_number(words.argument("-kordev"), 16);
        d.display_mode = INQ_MODE_KOR_WWN;
        d.korvvol_given = 1;
    } else if (word == "-korvvol" || word == "-s") {
        d.korvvol = parse_option_number(words.argument("-korvvol"), 16);
        d.korvvol_given = 1;
    } else if (word == "-f_size") {
        d.size_limit_kb = parse_option_number(words.argument("-f_size"), 10);
        d.f_size = 1;
    } else if (word == "-diff") {
        d.diff_old = words.argument("-diff");
        d.diff_new = words.argument("-diff");
        d.diff = 1;
    } else if (word == "-dev" || word == "-r") {
        copy_argument<INQ_DEVICE_NAME_MAX>(d.dev_name, words.argument("-dev"),
                                           "-dev device name");
        d.dev_given = 1;
    } else if (word == "-drav_file") {
        copy_argument<INQ_DRAV_FILE_CHARS>(d.drav_file, words.argument("-drav_file"),
                                           "-drav_file file name");
        d.drav_file_given = 1;
    } else if (word == "-loop") {
        d.loop_count = parse_option_number(words.argument("-loop"), 16);
        d.loop = 1;
    } else if (word == "-hba") {
        d.display_mode = INQ_MODE_HBA;
        d.hba = 1;
        parse_hba_suboptions(words, d);
    } else if (word == "-snia_test") {
        d.snia_test = 1;
        if (words.peek_is("hba_api")) {
            words.take();
            d.snia_test_flags |= INQ_SNIA_HBA_API;
        } else if (words.peek_is("hba_specific")) {
            words.take();
            d.snia_test_flags |= INQ_SNIA_HBA_SPECIFIC;
        }
    } else if (word == "-sortraw") {
        SIL_TRACE(SIL_TRACE_INFO, "option -sortraw will be ignored");
    } else if (word == "-dbg") {
        sil_set_verbosity(SIL_VERBOSITY_DBG);
    } else if (word == "-dbg_log") {
        sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
        sil_open_debug_file("inquiry.log");
        print_banner();
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::uint32_t parse_option_number(const char* text, int base) {
    // The conversion saturates at the limits of a 32-bit long, whatever the host's long is.
    long long value = std::strtoll(text, nullptr, base);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

int parse_command_line(int argc, char** argv, T_DISPLAY_OPTIONS* opts, create_dev_list* cdl) {
    T_DISPLAY_OPTIONS& d = *opts;
    create_dev_list& l = *cdl;
    d.display_mode = INQ_MODE_DEFAULT;
    d.require_data = 1;
    d.rpx = 0;
    d.rpx_ping_req = 0;
    d.rpx_list_req = 0;
    l.printf_dots_f = 1;
    l.get_spoofed_inquiry_data = 1;

    WordCursor words{argc, argv};
    while (!words.done()) {
        const char* word = words.take();
        if (const FlagOption* option = find_flag_option(word)) {
            if (option->mode != kKeepMode) d.display_mode = static_cast<std::uint32_t>(option->mode);
            if (option->apply != nullptr) option->apply(d, l);
            continue;
        }
        if (std::string_view(word) == "-h") {
            if (d.rpx)
                print_rpx_usage();
            else
                print_usage();
            return INQ_PARSE_USAGE;
        }
        if (parse_special_option(word, words, d, l)) continue;
        std::printf("\n\n\t\t ERROR: %s is an invalid option.\n\n", word);
        print_usage();
        return INQ_PARSE_USAGE;
    }
    return validate(d);
}
