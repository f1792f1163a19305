// The device list's post-processing: relations between paths, the Veritas name filter, sorting, major/minor and the virtualisation hook.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pds/platform.h>

#include "silbutil.h"
#include "sildebug.h"
#include "silfindd_int.h"
#include "silinitl.h"
#include "sil/silkordecode.h"
#include "silvendor.h"

namespace {

constexpr std::uint32_t kTraceWarning = 0xC00401;
constexpr std::int32_t kPipeFailed = -108;
constexpr std::size_t kToolLineBytes = 256;
constexpr const char* kVeritasPath = "/dev/vx/rdmp/";
constexpr const char* kVeritasCommand =
    "PATH=/usr/sbin:/sbin:/etc:/bin:/etc:/usr/bin; export PATH; LC_ALL=C; export LC_ALL; "
    "vxdisk -q list  2>&1";

bool name_has(const T_SIL_DEVICE* d, const char* text) { return std::strstr(d->name, text) != nullptr; }

// A vendor flag whose record is missing leaves nothing to compare, so such a device relates to none.
bool records_present(const T_SIL_DEVICE* d) {
    return !(d->is_storwrks && d->storwrks_device == nullptr) && !(d->is_drav && d->drav_device == nullptr) &&
           !(d->is_olvessa && d->olvessa_device == nullptr) && !(d->is_hds && d->hds_device == nullptr) &&
           !(d->is_s80 && d->s80_device == nullptr);
}

bool same_hds_unit(const T_HDS_DEVICE& a, const T_HDS_DEVICE& b) {
    if (std::memcmp(a.hds_extra, b.hds_extra, 4) != 0 || a.serial_len != b.serial_len) return false;
    const std::size_t length = std::min<std::size_t>(a.serial_len, sizeof a.serial);
    return std::memcmp(a.serial, b.serial, length) == 0;
}

// The S80 unit: device and director characters (two 16-bit values) and the port character.
bool same_s80_unit(const T_S80_DEVICE& a, const T_S80_DEVICE& b) {
    return std::memcmp(a.dev_chars, b.dev_chars, 2) == 0 && std::memcmp(a.dir_chars, b.dir_chars, 2) == 0 &&
           a.port_char == b.port_char;
}

// On the high-end array the first five serial characters name one LUN: they carry the system
// serial and the volume number.
bool same_high_end_unit(const T_SIL_DEVICE* a, const T_SIL_DEVICE* b) {
    if (a->korv_dev_num != b->korv_dev_num || std::strncmp(a->korid, b->korid, 12) != 0) return false;
    if (a->inquiry_data == nullptr || b->inquiry_data == nullptr) return true;
    return std::memcmp(sil_inquiry_serial_text(a->inquiry_data).data(), sil_inquiry_serial_text(b->inquiry_data).data(),
                       5) == 0;
}

// A fixed-length INQUIRY field up to its first NUL, without trailing blanks.
template <std::size_t N>
std::string_view trimmed(std::span<const std::uint8_t, N> field) {
    std::string_view text(reinterpret_cast<const char*>(field.data()), N);
    text = text.substr(0, text.find('\0'));
    const std::size_t last = text.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
}

template <std::size_t N>
std::span<const std::uint8_t, N> bytes_of(const char (&field)[N]) {
    return std::span<const std::uint8_t, N>(reinterpret_cast<const std::uint8_t*>(field), N);
}

// Elsewhere five shared characters prove nothing: two plain disks are one unit only when vendor,
// product and the whole serial agree, and none of them is empty.
bool same_plain_unit(const T_SIL_DEVICE* a, const T_SIL_DEVICE* b) {
    if (a->inquiry_data == nullptr || b->inquiry_data == nullptr) return false;
    const KOR_INQ_PAGE0& pa = *a->inquiry_data;
    const KOR_INQ_PAGE0& pb = *b->inquiry_data;
    const std::string_view texts[3][2] = {
        {trimmed(bytes_of(pa.vendor)), trimmed(bytes_of(pb.vendor))},
        {trimmed(bytes_of(pa.product)), trimmed(bytes_of(pb.product))},
        {trimmed(sil_inquiry_serial_text(&pa)), trimmed(sil_inquiry_serial_text(&pb))},
    };
    return std::all_of(std::begin(texts), std::end(texts),
                       [](const std::string_view(&pair)[2]) { return !pair[0].empty() && pair[0] == pair[1]; });
}

// Whether two records are paths of one logical unit; the first record's make picks the rule.
bool same_logical_unit(const T_SIL_DEVICE* a, const T_SIL_DEVICE* b) {
    if (a->is_drav) return b->is_drav && std::memcmp(a->drav_device->lun_wwn, b->drav_device->lun_wwn, 16) == 0;
    if (a->is_olvessa) {
        return b->is_olvessa && std::memcmp(a->olvessa_device->lun_wwn, b->olvessa_device->lun_wwn, 16) == 0;
    }
    if (a->is_storwrks) {
        return b->is_storwrks && std::memcmp(a->storwrks_device->wwn, b->storwrks_device->wwn, 16) == 0;
    }
    if (a->is_hds) return b->is_hds && same_hds_unit(*a->hds_device, *b->hds_device);
    if (a->is_s80) return b->is_s80 && same_s80_unit(*a->s80_device, *b->s80_device);
    if (a->is_XMV_device || b->is_XMV_device) return a->is_XMV_device && b->is_XMV_device && same_high_end_unit(a, b);
    return same_plain_unit(a, b);
}

// ---- grouping on the compared keys -------------------------------------------------------------
// same_logical_unit picks its rule by the first record's make, and each rule compares a few bytes
// of both records. A record is filed under every rule it can be the second record of, keyed by
// those bytes; the first record then meets only the records filed under its own rule and key,
// which are all the records it can match. Pairs still go through same_logical_unit in the order
// of the pairwise loop, so the relations and the names recorded are the same, while the work is
// linear in the records plus the pairs that share a key.

enum class UnitRule : char { drav = 'd', olvessa = 'o', storwrks = 'w', hds = 'h', s80 = 's', high_end = 'k', plain = 'p' };

UnitRule rule_of(const T_SIL_DEVICE* a) {
    if (a->is_drav) return UnitRule::drav;
    if (a->is_olvessa) return UnitRule::olvessa;
    if (a->is_storwrks) return UnitRule::storwrks;
    if (a->is_hds) return UnitRule::hds;
    if (a->is_s80) return UnitRule::s80;
    return a->is_XMV_device ? UnitRule::high_end : UnitRule::plain;
}

template <typename T>
void append_bytes(std::string& key, const T& field, std::size_t length = sizeof(T)) {
    key.append(reinterpret_cast<const char*>(&field), std::min(length, sizeof(T)));
}

// The bytes rule `rule` compares of `d` as a second record; empty when `d` can match nothing under
// it. Keys hold no text that could run into the next one: fixed lengths, or texts without NUL
// separated by NUL.
std::string unit_key(UnitRule rule, const T_SIL_DEVICE* d) {
    std::string key(1, static_cast<char>(rule));
    switch (rule) {
    case UnitRule::drav:
        if (!d->is_drav) return {};
        append_bytes(key, d->drav_device->lun_wwn, 16);
        break;
    case UnitRule::olvessa:
        if (!d->is_olvessa) return {};
        append_bytes(key, d->olvessa_device->lun_wwn, 16);
        break;
    case UnitRule::storwrks:
        if (!d->is_storwrks) return {};
        append_bytes(key, d->storwrks_device->wwn, 16);
        break;
    case UnitRule::hds: {
        if (!d->is_hds) return {};
        const T_HDS_DEVICE& h = *d->hds_device;
        append_bytes(key, h.hds_extra, 4);
        append_bytes(key, h.serial_len);
        append_bytes(key, h.serial, h.serial_len);
        break;
    }
    case UnitRule::s80:
        if (!d->is_s80) return {};
        append_bytes(key, d->s80_device->dev_chars, 2);
        append_bytes(key, d->s80_device->dir_chars, 2);
        append_bytes(key, d->s80_device->port_char);
        break;
    case UnitRule::high_end:
        // The volume and the array; the five serial characters are left to the comparison, as a
        // record without INQUIRY data matches whatever the other's are.
        if (!d->is_XMV_device) return {};
        append_bytes(key, d->korv_dev_num);
        key.append(d->korid, strnlen(d->korid, 12));
        break;
    case UnitRule::plain: {
        if (d->is_XMV_device || d->inquiry_data == nullptr) return {};
        const KOR_INQ_PAGE0& p = *d->inquiry_data;
        for (const std::string_view text :
             {trimmed(bytes_of(p.vendor)), trimmed(bytes_of(p.product)), trimmed(sil_inquiry_serial_text(&p))}) {
            if (text.empty()) return {};
            key.append(text).push_back('\0');
        }
        break;
    }
    }
    return key;
}

void relate(T_SIL_DEVICE* a, T_SIL_DEVICE* b) {
    SIL_TRACE(SIL_TRACE_INFO, "Relation detected <%s> and <%s>", a->name, b->name);
    const bool veritas_a = a->veritas_state == SIL_DEV_PARENT;
    const bool veritas_b = b->veritas_state == SIL_DEV_PARENT;
    if (veritas_a || veritas_b) {
        SIL_TRACE(SIL_TRACE_INFO, "Veritas relationship detected");
        if (veritas_a && veritas_b) {
            SIL_TRACE(kTraceWarning, "both devices claim to be Veritas");
            return;
        }
        T_SIL_DEVICE* child = veritas_a ? b : a;
        child->veritas_state = SIL_DEV_CHILD;
        child->veritas_relation_code = 2;
        sil_copy_text(a->veritas_relation, b->name);
        sil_copy_text(b->veritas_relation, a->name);
        return;
    }
    const bool mp_a = a->mp_state == SIL_DEV_PARENT;
    const bool mp_b = b->mp_state == SIL_DEV_PARENT;
    if (mp_a || mp_b) {
        SIL_TRACE(SIL_TRACE_INFO, "Strandway relationship detected");
        sil_copy_text(a->mp_relation, b->name);
        sil_copy_text(b->mp_relation, a->name);
        if (mp_a && mp_b) {
            SIL_TRACE(kTraceWarning, "both devices claim to be Strandway");
            return;
        }
        T_SIL_DEVICE* child = mp_a ? b : a;
        child->mp_state = SIL_DEV_CHILD;
        child->mp_relation_code = 2;
        return;
    }
    sil_copy_text(a->native_relation, b->name);
    sil_copy_text(b->native_relation, a->name);
    a->native_state = SIL_DEV_SIBLING;
    b->native_state = SIL_DEV_SIBLING;
    a->mp_relation_code = 4;
    b->mp_relation_code = 4;
}

// The first word of every line of the volume manager's disk list; lines are taken 256 bytes at a
// time, as a line reader with that buffer would.
std::vector<std::string> first_words(std::string_view output) {
    std::vector<std::string> words;
    while (!output.empty()) {
        std::size_t take = std::min(output.size(), kToolLineBytes - 1);
        if (const std::size_t newline = output.substr(0, take).find('\n'); newline != std::string_view::npos) {
            take = newline + 1;
        }
        const std::string_view line = output.substr(0, take);
        output.remove_prefix(take);
        constexpr std::string_view kBlank = " \t\r\n\f\v";
        const std::size_t begin = line.find_first_not_of(kBlank);
        if (begin == std::string_view::npos) continue;
        const std::size_t end = line.find_first_of(kBlank, begin);
        words.emplace_back(line.substr(begin, end == std::string_view::npos ? line.npos : end - begin));
    }
    return words;
}

// The virtualisation mappings need the hypervisors' management interfaces, which this build does
// not reach: every step that is asked for fails, and no disk is ever marked virtual.
std::int32_t virtualisation_hook(const create_dev_list& o) {
    if (o.vm_guest_os || o.hyperv_guest_os) {
        SIL_TRACE(SIL_TRACE_ERROR, "get_vm_vd_back_mapping Failed.");
        if (o.fail_on_vm_error) return SIL_ERR_VIRTUAL_MAPPING;
    }
    if (o.vm_server || o.vm_guest_os) SIL_TRACE(SIL_TRACE_ERROR, "get_vm_device_names Failed.");
    if (o.vm_server) SIL_TRACE(SIL_TRACE_ERROR, "get_vm_device_names_legacy Failed.");
    return SIL_OK;
}

}  // namespace

std::int32_t analyze_parent_child_relations(T_SIL_DEVICE_LIST* list, std::uint64_t trace_ctx) {
    SIL_FUNCTION("analyze_parent_child_relations");
    (void)trace_ctx;
    if (list == nullptr || list->devices == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    std::vector<T_SIL_DEVICE*> devices;
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_DEVICE* d = list->devices[i];
        if (d == nullptr) continue;
        devices.push_back(d);
        d->mp_relation_code = 0;
        d->veritas_relation_code = 0;
        if (name_has(d, "strnd") || name_has(d, "sdisk") || name_has(d, "safe")) {
            d->mp_state = SIL_DEV_PARENT;
            d->mp_relation_code = 1;
        }
        if (name_has(d, kVeritasPath)) {
            d->veritas_state = SIL_DEV_PARENT;
            d->mp_state = 0;
            d->veritas_relation_code = 1;
        }
    }
    const auto comparable = [](const T_SIL_DEVICE* d) { return d->inquiry == 1 && records_present(d); };
    std::unordered_map<std::string, std::vector<std::size_t>> filed;  // key -> records, in list order
    try {
        for (std::size_t j = 0; j < devices.size(); ++j) {
            if (!comparable(devices[j])) continue;
            for (const UnitRule rule : {UnitRule::drav, UnitRule::olvessa, UnitRule::storwrks, UnitRule::hds,
                                        UnitRule::s80, UnitRule::high_end, UnitRule::plain}) {
                if (std::string key = unit_key(rule, devices[j]); !key.empty()) filed[std::move(key)].push_back(j);
            }
        }
    } catch (const std::exception&) {
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        T_SIL_DEVICE* a = devices[i];
        if (!comparable(a)) continue;
        const auto group = filed.find(unit_key(rule_of(a), a));
        if (group == filed.end()) continue;
        const std::vector<std::size_t>& later = group->second;
        for (auto j = std::upper_bound(later.begin(), later.end(), i); j != later.end(); ++j) {
            if (same_logical_unit(a, devices[*j])) relate(a, devices[*j]);
        }
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t filter_veritas_device_names(T_SIL_DEVICE_LIST* list, std::uint64_t trace_ctx) {
    SIL_FUNCTION("filter_veritas_device_names");
    (void)trace_ctx;
    if (list == nullptr || list->devices == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    const auto is_veritas_parent = [](const T_SIL_DEVICE* d) {
        return d != nullptr && d->veritas_state == SIL_DEV_PARENT;
    };
    T_SIL_DEVICE** const end = list->devices + list->count;
    if (std::none_of(list->devices, end, is_veritas_parent)) SIL_RETURN(SIL_OK);

    std::string output;
    int exit_status = 0;
    if (pds::platform().run_tool(kVeritasCommand, &output, exit_status) != 0) {
        SIL_TRACE(kTraceWarning, "error opening pipe to system utility");
        SIL_RETURN(kPipeFailed);
    }
    if (exit_status < 0) SIL_TRACE(SIL_TRACE_INFO, "warning: SIL_pclose failed");
    std::vector<std::string> kept;
    try {
        kept = first_words(output);
    } catch (const std::exception&) {
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    std::int32_t out = 0;
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_DEVICE* d = list->devices[i];
        const bool stays = !is_veritas_parent(d) || std::any_of(kept.begin(), kept.end(), [d](const std::string& w) {
            return std::strstr(d->name, w.c_str()) != nullptr;
        });
        if (stays) {
            list->devices[out++] = d;
        } else {
            free_device(d);
        }
    }
    list->count = out;
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_DLP_Postprocess(T_SIL_DEVICE_LIST* list, const create_dev_list* options, std::uint64_t trace_ctx) {
    SIL_FUNCTION("SIL_DLP_Postprocess");
    analyze_parent_child_relations(list, trace_ctx);
    filter_veritas_device_names(list, trace_ctx);
    if (options->sort != -1 && list->devices != nullptr && list->count > 1) {
        const auto count = static_cast<std::size_t>(list->count);
        if (options->sort & 1) SIL_qsort(list->devices, count, sizeof(T_SIL_DEVICE*), sort_device_name, trace_ctx);
        if (options->sort & 2) SIL_qsort(list->devices, count, sizeof(T_SIL_DEVICE*), sort_korv_serial_num, trace_ctx);
        if (options->sort & 4) {
            SIL_qsort(list->devices, count, sizeof(T_SIL_DEVICE*), sort_device_serial_num, trace_ctx);
        }
    }
    if (options->find_major_minor) {
        for (std::int32_t i = 0; i < list->count; ++i) {
            if (list->devices[i] == nullptr) continue;
            const std::int32_t result = get_major_minor(list->devices[i]);
            if (result != SIL_OK) SIL_RETURN(result);
        }
    }
    SIL_RETURN(virtualisation_hook(*options));
}
