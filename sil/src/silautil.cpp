// Replication discovery: SIL_GetRpxInfo and its two stages, the count of local arrays, the host's access identity and SIL_FreeRpxInfo.
#include "silautil.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <pds/byteorder.h>
#include <pds/platform.h>

#include "silautil_int.h"
#include "silbutil.h"
#include "sildebug.h"
#include "sildopen.h"
#include "sildopen_host.h"
#include "silinqut.h"
#include "silkorinq.h"
#include "sillib.h"

namespace {

constexpr std::size_t kInqRpxFlags = 44;
constexpr std::uint8_t kInqRpxEnabled = 0x04;
constexpr std::size_t kInqDeviceFlags = 108;
constexpr std::uint8_t kInqBcv = 0x08;
constexpr std::size_t kInqDeviceFlags2 = 109;
constexpr std::uint8_t kInqNotGatekeeper2 = 0x40;
constexpr std::size_t kInqAttachFlags = 136;
constexpr std::uint8_t kInqNotGatekeeperAttach = 0x10;
constexpr std::uint16_t kPseudoDevice = 1;

// One inquiry byte of the device, 0 when it has no inquiry data.
std::uint8_t inq_byte(const T_SIL_DEVICE* d, std::size_t offset) {
    if (d->inquiry != 1 || d->inquiry_data == nullptr) return 0;
    return kor_inq_bytes(d->inquiry_data)[offset];
}

bool same_korid(const char* a, const char* b) { return std::strncmp(a, b, sizeof T_SIL_DEVICE::korid) == 0; }
bool rpx_enabled(const T_SIL_DEVICE* d) { return (inq_byte(d, kInqRpxFlags) & kInqRpxEnabled) != 0; }
bool is_bcv(const T_SIL_DEVICE* d) { return (inq_byte(d, kInqDeviceFlags) & kInqBcv) != 0; }

int sort_for_rpx(const void* a, const void* b) {
    const T_SIL_DEVICE* x = *static_cast<T_SIL_DEVICE* const*>(a);
    const T_SIL_DEVICE* y = *static_cast<T_SIL_DEVICE* const*>(b);
    if (const int c = std::strncmp(x->korid, y->korid, sizeof x->korid); c != 0) return c;
    if (is_bcv(x) != is_bcv(y)) return is_bcv(x) ? -1 : 1;
    if (x->cap != y->cap) return x->cap > y->cap ? -1 : 1;
    return 0;
}

// Pseudo devices, BCVs, cluster-global and device-mapper names, and disks handed through a
// virtualisation host would each lead the calls somewhere other than one plain path to the array.
bool gatekeeper_candidate(const T_SIL_DEVICE* d, const char* korid) {
    if (d->is_XMV_device == 0 || !same_korid(d->korid, korid)) return false;
    if (d->mp_state == kPseudoDevice || d->veritas_state == kPseudoDevice || d->vm_mapped != 0) return false;
    if (d->inquiry != 1 || d->inquiry_data == nullptr) return false;
    if (std::strncmp(d->inquiry_data->product, "KORVALITH", 9) != 0) return false;
    if (is_bcv(d) || (inq_byte(d, kInqDeviceFlags2) & kInqNotGatekeeper2) != 0 ||
        (inq_byte(d, kInqAttachFlags) & kInqNotGatekeeperAttach) != 0) {
        return false;
    }
    const std::string_view name(d->name, strnlen(d->name, sizeof d->name));
    return name.find("/dev/global") == std::string_view::npos && name.find("mpath") == std::string_view::npos &&
           !name.starts_with("/dev/dm-");
}

bool has_dev(const T_SIL_RPX_LOCAL_ARRAY& e, std::uint32_t dev) {
    for (std::uint32_t i = 0; i < e.rpx_device_count; ++i) {
        if (e.rpx_devices[i].dev == dev) return true;
    }
    return false;
}

template <typename Word>
Word fnv1a(std::string_view text, Word basis, Word prime) {
    Word h = basis;
    for (const char c : text) {
        h ^= static_cast<std::uint8_t>(c);
        h *= prime;
    }
    return h;
}

}  // namespace

void sil_access_id_of(std::string_view identifier, std::span<std::uint8_t, SIL_RPX_ACCESS_ID_LEN> out) {
    const std::string text = "lunscan access id:" + std::string(identifier);
    pds::store_be64(out.subspan(0, 8), fnv1a<std::uint64_t>(text, 0xcbf29ce484222325ULL, 0x100000001b3ULL));
    pds::store_be32(out.subspan(8, 4), fnv1a<std::uint32_t>(text, 0x811c9dc5U, 0x01000193U));
}

void sil_host_access_id(std::span<std::uint8_t, SIL_RPX_ACCESS_ID_LEN> out) {
    const pds::HostIdentity host = pds::platform().host_identity();
    sil_access_id_of(host.machine_id.empty() ? host.nodename : host.machine_id, out);
}

std::int32_t count_local_arrays(T_SIL_DEVICE_LIST* list) {
    SIL_FUNCTION("count_local_arrays");
    if (list == nullptr || list->devices == nullptr || list->count < 2) SIL_RETURN(1);
    const auto count = static_cast<std::size_t>(list->count);
    SIL_qsort(list->devices, count, sizeof(T_SIL_DEVICE*), sort_for_rpx, list->devices[0]->trace_ctx);
    std::int32_t arrays = 0;
    const char* previous = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const T_SIL_DEVICE* d = list->devices[i];
        if (d->is_XMV_device == 0) continue;
        if (previous == nullptr || !same_korid(previous, d->korid)) ++arrays;
        previous = d->korid;
    }
    SIL_RETURN(arrays == 0 ? 1 : arrays);
}

std::int32_t build_rpx_info(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info) {
    SIL_FUNCTION("build_rpx_info");
    std::int32_t counted = count_local_arrays(list);
    if (counted > SIL_RPX_MAX_LOCAL_ARRAYS) counted = SIL_RPX_MAX_LOCAL_ARRAYS;
    *info = new (std::nothrow) T_SIL_RPX_INFO{};
    if (*info == nullptr) SIL_RETURN(SIL_RPX_ERR_NO_MEMORY);
    T_SIL_RPX_INFO& rpx = **info;
    rpx.entries = new (std::nothrow) T_SIL_RPX_LOCAL_ARRAY[static_cast<std::size_t>(counted)]{};
    if (rpx.entries == nullptr) SIL_RETURN(SIL_RPX_ERR_NO_MEMORY);
    rpx.count = counted;

    const std::int32_t devices = list->devices == nullptr ? 0 : list->count;
    std::int32_t used = 0;
    for (std::int32_t i = 0; i < devices; ++i) {
        const T_SIL_DEVICE* d = list->devices[i];
        if (d->is_XMV_device == 0) continue;
        std::int32_t e = 0;
        while (e < used && !same_korid(rpx.entries[e].korid, d->korid)) ++e;
        if (e == used) {
            if (used >= counted) continue;
            std::memcpy(rpx.entries[e].korid, d->korid, sizeof d->korid);
            rpx.entries[e].korid[sizeof d->korid - 1] = '\0';
            ++used;
        }
        ++rpx.entries[e].mapped_device_count;
        if (rpx_enabled(d)) ++rpx.entries[e].mapped_rpx_device_count;
    }

    std::uint8_t access_id[SIL_RPX_ACCESS_ID_LEN];
    sil_host_access_id(access_id);
    for (std::int32_t e = 0; e < counted; ++e) std::memcpy(rpx.entries[e].access_id_bytes, access_id, sizeof access_id);

    for (std::int32_t e = 0; e < used; ++e) {
        T_SIL_RPX_LOCAL_ARRAY& entry = rpx.entries[e];
        if (entry.mapped_rpx_device_count == 0) continue;
        const std::size_t room = static_cast<std::size_t>(entry.mapped_rpx_device_count) + SIL_RPX_SPARE_DEVICES;
        entry.rpx_devices = new (std::nothrow) T_SIL_RPX_DEVICE[room]{};
        if (entry.rpx_devices == nullptr) SIL_RETURN(SIL_RPX_ERR_NO_MEMORY);
        for (std::int32_t i = 0; i < devices && entry.rpx_device_count < room; ++i) {
            const T_SIL_DEVICE* d = list->devices[i];
            if (d->is_XMV_device == 0 || !same_korid(d->korid, entry.korid) || !rpx_enabled(d)) continue;
            if (has_dev(entry, d->korv_dev_num)) continue;
            entry.rpx_devices[entry.rpx_device_count++].dev = d->korv_dev_num;
        }
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t collect_rpx_info(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO* info) {
    SIL_FUNCTION("collect_rpx_info");
    const std::int32_t devices = list->devices == nullptr ? 0 : list->count;
    T_SIL_OPEN_OPEN_OPTIONS options{};
    options.skip_inquiry = 1;  // the list already holds what the entry takes from the gatekeeper
    options.skip_readcap = 1;
    for (std::int32_t e = 0; e < info->count; ++e) {
        T_SIL_RPX_LOCAL_ARRAY& entry = info->entries[e];
        if (entry.mapped_device_count == 0) continue;
        for (std::int32_t i = 0; i < devices; ++i) {
            T_SIL_DEVICE* gk = list->devices[i];
            if (!gatekeeper_candidate(gk, entry.korid)) continue;
            if (korvAquireDeviceLockX(gk, SIL_DEVICE_LOCK_DISCOVERY) != 0) continue;
            if (SIL_open_device(gk, &options) != SIL_OK) {
                korvReleaseDeviceLockX(gk, SIL_DEVICE_LOCK_DISCOVERY);
                SIL_RETURN(SIL_OK);
            }
            bool done = false;
            const std::int32_t rc = SIL_GetRpxInfoOneKorv(gk, &entry, &done);
            SIL_close_device(gk, 0);
            korvReleaseDeviceLockX(gk, SIL_DEVICE_LOCK_DISCOVERY);
            if (rc != 0 || done) break;
        }
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_GetRpxInfo(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info) {
    SIL_FUNCTION("SIL_GetRpxInfo");
    if (info == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    *info = nullptr;
    if (list == nullptr || list->count < 0 || (list->count > 0 && list->devices == nullptr)) SIL_RETURN(SIL_ERR_FAILED);
    const std::int32_t rc = build_rpx_info(list, info);
    if (rc != SIL_OK) SIL_RETURN(rc);
    SIL_RETURN(collect_rpx_info(list, *info));
}

std::int32_t SIL_FreeRpxInfo(T_SIL_RPX_INFO** info) {
    SIL_FUNCTION("SIL_FreeRpxInfo");
    if (info == nullptr) SIL_RETURN(-1);
    T_SIL_RPX_INFO* rpx = *info;
    *info = nullptr;
    if (rpx == nullptr) SIL_RETURN(-2);
    for (std::int32_t e = 0; rpx->entries != nullptr && e < rpx->count; ++e) {
        delete[] rpx->entries[e].rpx_devices;
        delete[] rpx->entries[e].remote_arrays;
    }
    delete[] rpx->entries;
    delete rpx;
    SIL_RETURN(SIL_OK);
}
