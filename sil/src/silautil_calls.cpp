// Replication discovery of one array: the remote array table, the group table and the device states through a gatekeeper, with the three calls behind them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <pds/byteorder.h>

#include "silautil_int.h"
#include "sildebug.h"
#include "silsyscall_complex.h"

namespace {

constexpr std::uint8_t kValid = 'V';
constexpr std::uint32_t kWholeTable = 65535;
constexpr std::size_t kRemoteRecordLen = 32;
constexpr std::size_t kGroupRecordLen = 8;
constexpr std::size_t kStateRecordLen = 48;

// Big-endian numbers of the answer become host-order numbers where they lie; the readers below
// take them back with host_u16 / host_u32. A word past the record's end is left alone.
template <typename Word>
void to_host(std::uint8_t* record, std::uint32_t size, std::size_t offset) {
    if (offset + sizeof(Word) > size) return;
    const std::span<const std::uint8_t> bytes(record + offset, sizeof(Word));
    Word value;
    if constexpr (sizeof(Word) == 2) {
        value = pds::load_be16(bytes);
    } else {
        value = pds::load_be32(bytes);
    }
    std::memcpy(record + offset, &value, sizeof value);
}

template <typename Word>
Word host_at(const std::uint8_t* p) {
    Word value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename Word, std::size_t N>
void convert_records(const sil_syscall_parms* parms, sil_syscall_results* results, const std::size_t (&offsets)[N]) {
    const rpx_records records = rpx_answer_records(parms, results);
    for (std::uint32_t i = 0; i < records.count; ++i) {
        for (const std::size_t offset : offsets) to_host<Word>(records.at(i), records.size, offset);
    }
}

// The results record is too large for the stack, and the extended buffer goes with it.
struct Answer {
    std::unique_ptr<sil_syscall_results> results{new (std::nothrow) sil_syscall_results{}};
    std::unique_ptr<std::uint8_t[]> ext;
};

sil_syscall_parms parms_for(const T_SIL_RPX_LOCAL_ARRAY* entry) {
    sil_syscall_parms parms{};
    std::memcpy(parms.access_id, entry->access_id_bytes, sizeof parms.access_id);
    parms.disable_host_dev_lock_f = 1;  // the discovery already holds the device's lock
    return parms;
}

bool has_arguments(const T_SIL_DEVICE* dev, const sil_syscall_parms* parms, const sil_syscall_results* results) {
    return dev != nullptr && parms != nullptr && results != nullptr;
}

// The role bits name the mirror's kind; RPX1 wins when both bits are set, and neither leaves it.
void set_mirror(T_SIL_RPX_MIRROR& mirror, std::uint8_t role, std::uint32_t r_dev, std::uint8_t group) {
    if (role & 0x01) {
        mirror.type = SIL_RPX_MIRROR_RPX1;
    } else if (role & 0x02) {
        mirror.type = SIL_RPX_MIRROR_RPX2;
    }
    mirror.r_dev = r_dev;
    mirror.group = group;
}

// One table of the array, whole, into `answer`; `records` are its records, none when they are
// shorter than `record_len`.
std::int32_t read_table(T_SIL_DEVICE* gk, const T_SIL_RPX_LOCAL_ARRAY* entry, std::uint16_t table, std::size_t record_len,
                        Answer& answer, rpx_records& records) {
    if (answer.results == nullptr) return SYSC_ERR_NO_MEMORY;
    sil_syscall_parms parms = parms_for(entry);
    const std::int32_t rc = PSCsysrpxtb(gk, &parms, table, answer.results.get());
    if (rc != SYSC_OK) return rc;
    records = rpx_answer_records(&parms, answer.results.get());
    if (records.size < record_len) records.count = 0;
    return SYSC_OK;
}

T_SIL_RPX_DEVICE* device_entry(T_SIL_RPX_LOCAL_ARRAY* entry, std::uint32_t dev) {
    for (std::uint32_t i = 0; i < entry->rpx_device_count; ++i) {
        if (entry->rpx_devices[i].dev == dev) return &entry->rpx_devices[i];
    }
    return nullptr;
}

}  // namespace

rpx_records rpx_answer_records(const sil_syscall_parms* parms, sil_syscall_results* results) {
    rpx_records records;
    const bool ext = parms->use_ext_data_buff_f != 0;
    records.base = ext ? results->ext_data_buffer : results->data;
    std::uint64_t received = ext ? results->ext_data_length : results->data_length;
    if (ext) received = std::min<std::uint64_t>(received, results->ext_data_buffer_size);
    else received = std::min<std::uint64_t>(received, sizeof results->data);
    records.size = results->bytes_per_record;
    if (records.base == nullptr || records.size == 0) return {};
    records.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(results->number_of_records, received / records.size));
    return records;
}

std::int32_t PSCsysrpxtb(T_SIL_DEVICE* dev, sil_syscall_parms* parms, std::uint16_t table, sil_syscall_results* results) {
    SIL_FUNCTION("PSCsysrpxtb");
    if (!has_arguments(dev, parms, results)) SIL_RETURN(SYSC_ERR_NO_RESULTS);
    parms->syscall_id = SYSCALL_RPX_TABLE;
    parms->sys_parm_byte6 = static_cast<std::uint8_t>(table);
    parms->sys_f6_sub_command = static_cast<std::uint8_t>(table);
    if (table == RPX_TABLE_GROUPS) parms->sys_f6_sub_format = 1;
    parms->entry_count = kWholeTable;
    const std::int32_t rc = do_complex_syscall(dev, parms, results, parms->verbose);
    if ((rc == SYSC_OK || rc == SYSC_ERR_OVERRUN) && table == RPX_TABLE_REMOTE_ARRAYS) {
        convert_records<std::uint32_t>(parms, results, {12});
        convert_records<std::uint16_t>(parms, results, {16, 18});
    }
    SIL_RETURN(rc);
}

std::int32_t PSCrdrpxstt(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results) {
    SIL_FUNCTION("PSCrdrpxstt");
    if (!has_arguments(dev, parms, results)) SIL_RETURN(SYSC_ERR_NO_RESULTS);
    parms->syscall_id = SYSCALL_RPX_STATE;
    parms->sys_f6_sub_command = 1;
    const std::int32_t rc = do_complex_syscall(dev, parms, results, parms->verbose);
    if (rc == SYSC_OK || rc == SYSC_ERR_OVERRUN) convert_records<std::uint16_t>(parms, results, {0, 16, 24, 32, 40});
    SIL_RETURN(rc);
}

std::int32_t PSCrpxstatetbl_9250_01(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results) {
    SIL_FUNCTION("PSCrpxstatetbl_9250_01");
    if (!has_arguments(dev, parms, results)) SIL_RETURN(SYSC_ERR_NO_RESULTS);
    parms->syscall_id = SYSCALL_RPX_STATE_9250;
    parms->sys_f6_sub_command = 1;
    const std::int32_t rc = syscall_9200_tm(dev, parms, results, parms->verbose);
    if (rc == SYSC_OK || rc == SYSC_ERR_OVERRUN) {
        // The engine has put the answer's subformat into the request.
        if (parms->sys_f6_sub_format <= 1) {
            convert_records<std::uint32_t>(parms, results, {0, 4, 8, 24, 28, 36, 40});
        } else if (parms->sys_f6_sub_format <= 3) {
            convert_records<std::uint32_t>(parms, results, {0, 4, 8, 16, 20, 28, 36, 40, 48});
        }
    }
    SIL_RETURN(rc);
}

std::int32_t read_remote_arrays(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry) {
    SIL_FUNCTION("read_remote_arrays");
    Answer answer;
    rpx_records records;
    const std::int32_t rc = read_table(gk, entry, RPX_TABLE_REMOTE_ARRAYS, kRemoteRecordLen, answer, records);
    if (rc != SYSC_OK) SIL_RETURN(rc);
    std::uint32_t valid = 0;
    for (std::uint32_t i = 0; i < records.count; ++i) valid += records.at(i)[31] == kValid ? 1 : 0;

    delete[] entry->remote_arrays;  // what an earlier gatekeeper of the array left
    entry->remote_arrays = nullptr;
    entry->remote_array_count = 0;
    if (valid == 0) SIL_RETURN(SYSC_OK);
    entry->remote_arrays = new (std::nothrow) T_SIL_RPX_REMOTE_ARRAY[valid]{};
    if (entry->remote_arrays == nullptr) SIL_RETURN(SYSC_ERR_NO_MEMORY);
    for (std::uint32_t i = 0; i < records.count; ++i) {
        const std::uint8_t* r = records.at(i);
        if (r[31] != kValid) continue;
        T_SIL_RPX_REMOTE_ARRAY& remote = entry->remote_arrays[entry->remote_array_count++];
        std::memcpy(remote.remote_korid, r, 12);
        remote.remote_korid[12] = '\0';
        remote.remote_id = i;
        remote.microcode_version = host_at<std::uint16_t>(r + 16);
    }
    SIL_RETURN(SYSC_OK);
}

std::int32_t read_rpx_groups(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry) {
    SIL_FUNCTION("read_rpx_groups");
    Answer answer;
    rpx_records records;
    const std::int32_t rc = read_table(gk, entry, RPX_TABLE_GROUPS, kGroupRecordLen, answer, records);
    if (rc != SYSC_OK) SIL_RETURN(rc);
    // Group numbers are bytes: a record past index 255 names no group a remote array can hold.
    for (std::uint32_t g = 0; g < records.count && g <= 0xFF; ++g) {
        const std::uint8_t* r = records.at(g);
        if (r[7] != kValid) continue;
        for (std::uint32_t a = 0; a < entry->remote_array_count; ++a) {
            T_SIL_RPX_REMOTE_ARRAY& remote = entry->remote_arrays[a];
            if (remote.remote_id != r[0] || remote.rpx_group_count >= SIL_RPX_MAX_GROUPS) continue;
            remote.rpx_groups[remote.rpx_group_count++] = static_cast<std::uint8_t>(g);
        }
    }
    SIL_RETURN(SYSC_OK);
}

std::int32_t read_device_states(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry) {
    SIL_FUNCTION("read_device_states");
    std::uint32_t highest = 0;
    for (std::uint32_t i = 0; i < entry->rpx_device_count; ++i) highest = std::max(highest, entry->rpx_devices[i].dev);
    // Room for five records a device and some; a device number that would take this past 32 bits
    // is no number the array gives, and is refused rather than wrapped.
    const std::uint64_t ext_size = (static_cast<std::uint64_t>(highest) * 5 + 50) * 16;
    if (ext_size > UINT32_MAX) SIL_RETURN(SYSC_ERR_NO_MEMORY);

    Answer answer;
    if (answer.results == nullptr) SIL_RETURN(SYSC_ERR_NO_MEMORY);
    answer.ext.reset(new (std::nothrow) std::uint8_t[ext_size]);
    if (answer.ext == nullptr) SIL_RETURN(SYSC_ERR_NO_MEMORY);
    sil_syscall_results* results = answer.results.get();
    results->ext_data_buffer = answer.ext.get();
    results->ext_data_buffer_size = static_cast<std::uint32_t>(ext_size);

    sil_syscall_parms parms = parms_for(entry);
    parms.start_entry = 0;
    parms.entry_count = highest + 1;
    parms.use_ext_data_buff_f = 1;
    const bool newer = gk->ucode_level >= RPX_STATE_9250_UCODE;
    const std::int32_t rc = newer ? PSCrpxstatetbl_9250_01(gk, &parms, results) : PSCrdrpxstt(gk, &parms, results);
    if (rc != SYSC_OK) SIL_RETURN(rc);

    const rpx_records records = rpx_answer_records(&parms, results);
    if (records.size < kStateRecordLen) SIL_RETURN(SYSC_OK);
    for (std::uint32_t i = 0; i < records.count; ++i) {
        const std::uint8_t* r = records.at(i);
        T_SIL_RPX_DEVICE* device = device_entry(entry, newer ? host_at<std::uint32_t>(r) : host_at<std::uint16_t>(r));
        if (device == nullptr) continue;
        if (!newer) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint8_t* slot = r + 16 + 8 * k;
                if (slot[7] != kValid) continue;
                set_mirror(device->mirrors[k], r[4 + k], host_at<std::uint16_t>(slot), slot[2]);
            }
            continue;
        }
        for (const std::size_t at : {24, 36}) {
            const std::uint8_t* slot = r + at;
            const std::uint8_t mirror = slot[8];
            if (slot[11] != kValid || mirror < 1 || mirror > 4) continue;
            set_mirror(device->mirrors[mirror - 1], r[13 + mirror], host_at<std::uint32_t>(slot), slot[9]);
        }
    }
    SIL_RETURN(SYSC_OK);
}

std::int32_t SIL_GetRpxInfoOneKorv(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry, bool* done) {
    SIL_FUNCTION("SIL_GetRpxInfoOneKorv");
    *done = false;
    SIL_TRACE(SIL_TRACE_INFO, "######## Getting RPX info for Korv SN# <%s>", entry->korid);
    std::int32_t rc = read_remote_arrays(gk, entry);
    if (rc == SYSC_ERR_BLOCKED) SIL_RETURN(rc);
    if (rc != SYSC_OK) SIL_RETURN(SYSC_OK);  // another gatekeeper may do better
    rc = read_rpx_groups(gk, entry);
    if (rc == SYSC_OK && entry->rpx_device_count > 0) rc = read_device_states(gk, entry);
    if (rc != SYSC_OK) SIL_RETURN(rc);
    entry->microcode_version = static_cast<std::uint16_t>(gk->ucode_level);
    entry->microcode_date = gk->ucode_date;
    std::memcpy(entry->gatekeeper, gk->name, sizeof entry->gatekeeper);
    entry->gatekeeper[sizeof entry->gatekeeper - 1] = '\0';
    *done = true;
    SIL_RETURN(SYSC_OK);
}
