// The run flow: library start and stop, the banner, building the lists, the -dev and -drav_file lists, the loop.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "inquiry.h"
#include "inquiry_json.h"
#include "sil/sildopen.h"
#include "sil/silhostinfo.h"
#include "sil/sillib.h"
#include "sil/siltext.h"
#include "sil/siltrace.h"

namespace {

constexpr const char* kTitle = "lunscan - SAN storage inventory utility V" LUNSCAN_VERSION " ";

// Workers of the device-list gather. On a SAN every command waits on the fabric, not the
// processor, so many more workers than cores pay off: 32 reach 4096 LUNs at 1 ms a command in
// well under a second (see README, Performance); more workers gain little and cost a thread each.
constexpr std::uint32_t kDefaultGatherWorkers = 32;
constexpr std::uint32_t kMaxGatherWorkers = 256;

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Cuts `text` at the first `mark`: returns what comes before it and leaves `text` after it (empty
// when the mark is missing).
std::string_view take_until(std::string_view& text, std::string_view mark) {
    const std::size_t at = text.find(mark);
    const std::string_view before = text.substr(0, at);
    text = at == std::string_view::npos ? std::string_view{} : text.substr(at + mark.size());
    return before;
}

// Opens each named record once and closes it again; the record keeps what the open gathered,
// and one that failed to open stays listed with what is known of it.
void open_named_devices(T_SIL_DEVICE_LIST* list, std::span<const std::string> names,
                        const create_dev_list* cdl) {
    T_SIL_OPEN_OPEN_OPTIONS open_options{};
    open_options.skip_inquiry = cdl->skip_inq;
    open_options.skip_readcap = cdl->skip_read;
    open_options.get_extdata = 1;
    open_options.read_vantrel = cdl->vantrel;
    open_options.get_dev_ident = cdl->get_dev_ident;
    open_options.use_backend_inquiry_data = cdl->use_backend_inquiry_data;
    // -geometry names the devices it wants measured as well as it lists them.
    open_options.get_geometry = cdl->gather_geometry;

    list->devices = new T_SIL_DEVICE*[std::max<std::size_t>(names.size(), 1)]{};
    list->count = 0;
    SIL_BeginNamedDeviceOpens();
    for (const std::string& name : names) {
        auto* dev = new T_SIL_DEVICE{};
        sil_copy_text(dev->name, name.c_str());
        SIL_open_device(dev, &open_options);
        SIL_close_device(dev, 0);
        list->devices[list->count++] = dev;
    }
    SIL_EndNamedDeviceOpens();
}

// Reads the device names of the -drav_file file. Returns the message that ends the run, or an
// empty string.
std::string read_device_file(const char* path, std::vector<std::string>& names) {
    const std::string cannot_open = std::string("Failed opening the Dravonis device file: ") + path + "\n";
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return cannot_open;
    std::string error;
    char line[INQ_DEVICE_FILE_LINE_BYTES];
    bool continuation = false;  // the buffer holds the rest of a line already judged
    while (error.empty() && std::fgets(line, sizeof line, file) != nullptr) {
        std::size_t length = std::strlen(line);
        const bool complete = length > 0 && line[length - 1] == '\n';
        if (complete) line[--length] = '\0';
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
        const bool skip = continuation;
        continuation = !complete && !std::feof(file);
        if (skip || line[0] == '#') continue;
        if (length > INQ_DEVICE_NAME_MAX || continuation) {
            error = "\n\n\tERROR: device name longer than 80 characters in " + std::string(path) +
                    ".\n\n";
        } else if (names.size() == INQ_DEVICE_FILE_MAX_NAMES) {
            error = "\n\n\tERROR: more than 1000 device names in " + std::string(path) + ".\n\n";
        } else {
            names.emplace_back(line, length);
        }
    }
    // Some C libraries open a directory for reading and only fail its first read: that is a
    // file that cannot be opened as well, not an empty list.
    if (error.empty() && std::ferror(file)) error = cannot_open;
    std::fclose(file);
    return error;
}

// LUNSCAN_THREADS: 1 gathers serially, 2 to 256 on that many workers. Unset or empty gives the
// default; a value that is no count of workers says so and gives the default, one above the
// limit says so and gives the limit.
std::uint32_t gather_workers(std::FILE* err) {
    const std::optional<std::string> value = SIL_HostEnvironment("LUNSCAN_THREADS");
    if (!value || value->empty()) return kDefaultGatherWorkers;
    const bool digits = value->find_first_not_of("0123456789") == std::string::npos;
    const std::string_view significant = std::string_view(*value).substr(std::min(value->find_first_not_of('0'), value->size()));
    if (!digits || significant.empty()) {
        std::fprintf(err, "lunscan: LUNSCAN_THREADS=\"%s\" is not a number of workers from 1 to %u; using %u\n",
                     value->c_str(), kMaxGatherWorkers, kDefaultGatherWorkers);
        return kDefaultGatherWorkers;
    }
    if (significant.size() > 3 || std::stoul(std::string(significant)) > kMaxGatherWorkers) {
        std::fprintf(err, "lunscan: LUNSCAN_THREADS=%s is more than %u workers; using %u\n", value->c_str(),
                     kMaxGatherWorkers, kMaxGatherWorkers);
        return kMaxGatherWorkers;
    }
    return static_cast<std::uint32_t>(std::stoul(std::string(significant)));
}

// The gather runs on a pool of workers unless a trace is on: its lines keep their order serially.
// Reading the geometry switches the data dump on for the rest of the run, so -geometry is one too.
void choose_gather(create_dev_list& cdl) {
    if (sil_trace_armed() || cdl.gather_geometry) return;
    const std::uint32_t workers = gather_workers(stderr);
    cdl.use_threads = workers > 1 ? 1 : 0;
    cdl.thread_count = workers > 1 ? workers : 0;
}

void release_lists(T_INQ_LISTS& lists) {
    if (lists.hbas.hbas != nullptr) SIL_DestroyHBAList(&lists.hbas);
    if (lists.iscsis.iscsis != nullptr) SIL_DestroyISCSIList(&lists.iscsis);
    if (lists.devices.devices != nullptr) SIL_DestroyDeviceList(&lists.devices);
}

// What the chosen report needs, the first matching case only.
// -winvol lists the drive letters of the disks; a host without drive letters (Linux) has no
// volume entries to add, which is said once rather than left as an empty column.
void note_missing_drive_letters() {
    if (!SIL_HostHasDriveLetters()) {
        std::fputs("lunscan: -winvol: drive-letter volumes are not supported on this platform; "
                   "no volume entries are listed\n", stderr);
    }
}

void build_lists(T_INQ_LISTS& lists, const T_DISPLAY_OPTIONS& opts, create_dev_list& cdl,
                 T_SIL_HBA_OPTIONS& hba_options) {
    if (opts.hba) {
        hba_options.scsi = opts.hba_scsi;
        hba_options.fibre = opts.hba_fibre;
        hba_options.snia_only = hba_options.snia_only || opts.hba_snia;  // -mapinfo needs it too
        if (opts.hba_use_file) {
            sil_copy_text(hba_options.hba_file, opts.hba_file);
            hba_options.use_hba_file = 1;
        } else if (opts.hba_create) {
            sil_copy_text(hba_options.hba_file, opts.hba_file);
            hba_options.create_hba_file = 1;
        }
        if (lists.hbas.hbas != nullptr) SIL_DestroyHBAList(&lists.hbas);  // built for -mapinfo
        SIL_CreateHBAList(&lists.hbas, &hba_options, 0);
    } else if (opts.iscsi) {
        SIL_CreateISCSIList(&lists.iscsis, &hba_options, 0);
    } else if (opts.snia_test) {
        // the self-test finds its own adapters
    } else {
        cdl.gather_geometry = opts.geometry;
        if (opts.drav_file_given) {
            open_device_file_list(&lists.devices, &cdl, &opts);
        } else if (!opts.dev_given) {
            cdl.get_win_volumes = opts.winvol;
            if (opts.winvol) note_missing_drive_letters();
            choose_gather(cdl);
            SIL_CreateDeviceList(&lists.devices, &cdl, 0);
        } else {
            open_single_device(&lists.devices, &cdl, &opts);
        }
    }
}

// Runs the reports. 0, or the status the run ends with.
int run_reports(T_INQ_LISTS& lists, const T_DISPLAY_OPTIONS& opts, const create_dev_list& cdl) {
    if (opts.rpx) {
        T_SIL_RPX_INFO* info = nullptr;
        const std::int32_t result = SIL_GetRpxInfo(&lists.devices, &info);
        if (result != 0)
            std::fprintf(stderr, "Attempt to gather XMV specific RPX data failed with result=%d\n",
                         result);
        else if (opts.json)
            print_json(sil_out(), replication_json(&lists.devices, info != nullptr ? *info : T_SIL_RPX_INFO{}));
        else
            run_rpx_display(&lists.devices, info, &opts);
        if (info != nullptr) SIL_FreeRpxInfo(&info);
        return 0;
    }
    if (opts.snia_test) return do_snia_test_display(sil_out(), opts.snia_test_flags);
    // One document and nothing after it: -loop's progress marks would break it.
    if (opts.json) return run_json_display(&lists, &cdl, &opts);
    // A report that stopped on one of its messages still completed the run; only a mode without
    // a report ends it with -1.
    if (run_display(&lists, &cdl, &opts) != 0 && opts.display_mode > INQ_MODE_LAST) return -1;
    if (opts.loop) run_device_loop(lists.devices.count, &cdl, &opts, stdout);
    return 0;
}

}  // namespace

T_SIL_IDENT_PARTS parse_sil_ident(std::string_view ident) {
    // "@(#) $sil_lib rev <version>-<edit> (Rev <revision>) <notice> $"
    constexpr std::string_view kPrefix = "@(#) $sil_lib rev ";
    T_SIL_IDENT_PARTS parts{};
    if (!ident.starts_with(kPrefix)) return parts;
    std::string_view rest = ident.substr(kPrefix.size());
    std::string_view token = take_until(rest, " ");
    parts.development = token.find("dev") != std::string_view::npos;
    parts.version = take_until(token, "-");
    parts.edit = token;
    rest = trim_blanks(rest);
    if (rest.starts_with("(Rev ")) {
        rest.remove_prefix(5);
        parts.revision = take_until(rest, ")");
    }
    rest = trim_blanks(rest);
    if (rest.ends_with("$")) rest.remove_suffix(1);
    parts.notice = trim_blanks(rest);
    return parts;
}

std::string banner_title(std::string_view ident) {
    const T_SIL_IDENT_PARTS parts = parse_sil_ident(ident);
    return sil_format("%s     (SIL Version %s.%s (Edit Level %s)", kTitle, parts.version.c_str(), parts.revision.c_str(),
                      parts.edit.c_str());
}

void print_banner_from(std::FILE* out, std::FILE* err, std::string_view ident) {
    const T_SIL_IDENT_PARTS parts = parse_sil_ident(ident);
    if (parts.development) {
        std::fprintf(err, "\n");
        std::fprintf(err, "WARNING: \n");
        std::fprintf(err, "WARNING: %s\n", parts.notice.c_str());
        std::fprintf(err, "WARNING: This is a development Inquiry Utility\n");
        std::fprintf(err, "WARNING: It is not intended for general use.\n");
        std::fprintf(err, "WARNING: \n");
        std::fprintf(err, "\n");
        std::fflush(err);
    }
    std::fprintf(out, "%s\n", banner_title(ident).c_str());
    std::fprintf(out, "%s\n", parts.notice.c_str());
    std::fprintf(out, "For help type lunscan -h.\n\n");
    std::fflush(out);
}

void print_banner() { print_banner_from(sil_out(), stderr, SIL_IDENT_STRING); }

bool banner_suppressed(int argc, char** argv) {
    return std::any_of(argv, argv + argc, [](const char* word) {
        return word != nullptr && (std::strcmp(word, "-no_header") == 0 ||
                                   std::strcmp(word, "-snia_test") == 0 ||
                                   std::strcmp(word, "-json") == 0);
    });
}

// SIL_init's answer when the chain-code counter's mutex or shared memory could not be made.
constexpr std::int32_t kInitHostObjectsFailed = -3;

void print_init_failure(std::int32_t rc, std::FILE* context_stream, std::FILE* err) {
    const auto code = static_cast<unsigned>(rc);
    // The library could not make its host-wide objects: the host may know what is missing.
    if (rc == kInitHostObjectsFailed) {
        if (const std::string advice = SIL_HostObjectAdvice(); !advice.empty()) {
            std::fprintf(err, "%s\n", advice.c_str());
        }
    }
    if (context_stream != nullptr)
        std::fprintf(context_stream, " Initialization of SIL failed  rc=%08x\n", code);
    else
        std::fprintf(err, "\nInitialization of SIL failed   rc=%08x\n", code);
}

void open_single_device(T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                        const T_DISPLAY_OPTIONS* opts) {
    const std::string name(inq_field_text(opts->dev_name));
    open_named_devices(list, std::span(&name, 1), cdl);
}

void open_device_file_list(T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                           const T_DISPLAY_OPTIONS* opts) {
    std::vector<std::string> names;
    const std::string error = read_device_file(opts->drav_file, names);
    if (!error.empty()) {
        std::fputs(error.c_str(), stdout);
        std::fflush(stdout);
        std::exit(-1);
    }
    open_named_devices(list, names, cdl);
}

void run_device_loop(std::int32_t first_count, const create_dev_list* cdl,
                     const T_DISPLAY_OPTIONS* opts, std::FILE* out) {
    constexpr int kMarksPerLine = 79;
    const bool forever = opts->loop_count == INQ_LOOP_FOREVER;
    int marks = 0;
    for (std::uint32_t round = 0; forever || round < opts->loop_count; ++round) {
        T_SIL_DEVICE_LIST again{};
        SIL_CreateDeviceList(&again, cdl, 0);
        if (cdl->printf_dots_f == 0) {
            std::fputs("#", out);
            std::fflush(out);
            if (++marks == kMarksPerLine) {
                std::fputs("\n", out);
                marks = 0;
            }
        } else {
            std::fputs("#\n", out);
        }
        if (again.count != first_count) {
            std::fprintf(out, "%d %d\n", first_count, again.count);
            std::fprintf(out, " ERROR: Device count does not match !!! %d %d\n", first_count,
                         again.count);
        }
        SIL_DestroyDeviceList(&again);
    }
}

int inquiry_main(int argc, char** argv) {
    const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, SIL_IDENT_STRING,
                                     SIL_PLATFORM_STRING, SIL_DATE_STRING);
    if (rc != 0) {
        const T_SIL_CONTEXT* context = sil_context();
        print_init_failure(rc, context != nullptr ? context->out_stream : nullptr, stderr);
        return -1;
    }
    if (!banner_suppressed(argc, argv)) print_banner();

    T_INQ_LISTS lists{};
    T_DISPLAY_OPTIONS opts{};
    create_dev_list cdl{};
    T_SIL_HBA_OPTIONS hba_options{};
    cdl.xmv_devices_only = 1;
    if (parse_command_line(argc, argv, &opts, &cdl) < 0) return INQ_PARSE_USAGE;
    if (opts.diff) {
        const int status = run_inventory_diff(opts.diff_old, opts.diff_new, opts.json != 0, sil_out(), stderr);
        SIL_exit();
        return status;
    }

    if (opts.mapinfo) {
        hba_options.snia_only = 1;
        hba_options.target_mapping = 1;
        SIL_CreateHBAList(&lists.hbas, &hba_options, 0);
        cdl.printf_dots_f = 0;
    }
    build_lists(lists, opts, cdl, hba_options);
    if (!opts.json) std::fputs("\n", sil_out());

    const int status = run_reports(lists, opts, cdl);
    release_lists(lists);
    if (status != 0) return status;
    SIL_exit();
    return 0;
}
