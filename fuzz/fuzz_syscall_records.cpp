// Fuzz target: the 0x92xx record accumulation fed answers of arbitrary counters, lengths and flags, placed into the caller's data area or an extended buffer of any size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include <pds/byteorder.h>

#include "silsyscall_complex.h"

namespace {

constexpr std::size_t kAnswerHeader = 12;
// More calls than any answer script can justify: the window moves on by a record at least each
// call and no table here holds more than 65535.
constexpr int kMostCalls = 70000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Bytes 0-4: control (bit 0 extended buffer, bit 1 range block present), the extended
    // buffer's size and the records asked for (16 bits each). Then answers of 12 bytes each plus
    // their data: status (0: done, 1: overrun, else a failure), reply flags, number of records,
    // bytes per record, first record, highest record and data length (16 bits each), then up to
    // that many data bytes. The answers are given again from the first once they run out.
    if (size < 5) return 0;
    const std::span<const std::uint8_t> in(data, size);
    const std::uint8_t control = in[0];
    std::vector<std::span<const std::uint8_t>> answers;
    for (std::size_t at = 5; at + kAnswerHeader <= size;) {
        const std::size_t length = std::min<std::size_t>(pds::load_be16(in.subspan(at + 10)), size - at - kAnswerHeader);
        answers.push_back(in.subspan(at, kAnswerHeader + length));
        at += kAnswerHeader + length;
    }
    if (answers.empty()) return 0;

    sil_syscall_parms parms{};
    parms.syscall_id = 0x9250;
    parms.sys_f6_sub_command = 1;
    parms.use_ext_data_buff_f = control & 0x01;
    parms.entry_count = pds::load_be16(in.subspan(3));
    if (control & 0x02) parms.syscall_flags = SYSC_FLAG_RANGE_BLOCK;
    auto results = std::make_unique<sil_syscall_results>();
    std::vector<std::uint8_t> ext(pds::load_be16(in.subspan(1)));
    results->ext_data_buffer = ext.data();
    results->ext_data_buffer_size = static_cast<std::uint32_t>(ext.size());

    std::size_t next = 0;
    int calls = 0;
    const auto fetch = [&](sil_syscall_parms*, sil_syscall_results* answer) -> std::int32_t {
        if (++calls > kMostCalls) std::abort();  // the loop does not end
        const std::span<const std::uint8_t> a = answers[next++ % answers.size()];
        *answer = sil_syscall_results{};
        answer->format = 6;
        answer->flags = a[1];
        answer->number_of_records = pds::load_be16(a.subspan(2));
        answer->bytes_per_record = pds::load_be16(a.subspan(4));
        answer->first_record_number = pds::load_be16(a.subspan(6));
        answer->max_record_number = pds::load_be16(a.subspan(8));
        // The engine never places more than its data area holds.
        answer->data_length = static_cast<std::uint16_t>(std::min<std::size_t>(pds::load_be16(a.subspan(10)), SYSCALL_MAX_DATA_LEN));
        const std::size_t given = std::min<std::size_t>(a.size() - kAnswerHeader, answer->data_length);
        if (given != 0) std::memcpy(answer->data, a.data() + kAnswerHeader, given);
        answer->iterations = 1;
        return a[0] == 0 ? SYSC_OK : a[0] == 1 ? SYSC_ERR_OVERRUN : SYSC_ERR_ARRAY_RC;
    };
    execute_9200_tm_with(&parms, results.get(), fetch);
    // What was placed lies inside the area it was placed in.
    if (parms.use_ext_data_buff_f ? results->ext_data_length > ext.size() : results->data_length > SYSCALL_MAX_DATA_LEN) std::abort();
    return 0;
}
