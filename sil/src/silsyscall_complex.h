// Record retrieval over several system calls: chunked reads, the 0x92xx record accumulation and the range batches.
#pragma once

#include <cstdint>
#include <functional>

#include "silsyscall.h"
#include "siltxcdb.h"

inline constexpr std::uint32_t SYSC_MAX_RANGES_PER_CALL = 32;  // one 256-byte range block
inline constexpr std::int32_t SYSC_SMALL_TRANSFER = -23;       // the array wants the records in smaller pieces

// One call, fetched in passes when the array answers with records behind a 16-byte record header
// (format4, or microcode whose low byte is below 0x67); otherwise one routed call.
std::int32_t SIL_korvComplexSysCall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                                    std::uint32_t verbose);
// Routes one call: base-daemon devices get SIL_ERR_DAEMON_NOT_AVAILABLE, every other device
// SIL_korvComplexSysCall.
std::int32_t do_complex_syscall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                                std::uint32_t verbose);
// Every record of a 0x92xx query, range batch by range batch with use_multi_ranges_f.
std::int32_t syscall_9200_tm(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                             std::uint32_t verbose);
// The loop behind syscall_9200_tm: with an extended buffer, an overrun is followed by calls for
// the records after those received, until the table is in or the buffer is full.
std::int32_t execute_9200_tm(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                             std::uint32_t verbose);
// One call of that loop: fills the answer record as do_complex_syscall does and returns its status.
using sysc_fetch_fn = std::function<std::int32_t(sil_syscall_parms*, sil_syscall_results*)>;
// The loop of execute_9200_tm with its calls made through `fetch`, so that the accumulation can be
// driven by answers that no array needs to give.
std::int32_t execute_9200_tm_with(sil_syscall_parms* parms, sil_syscall_results* results, const sysc_fetch_fn& fetch);
// Copies the next batch of at most 32 ranges from `*next` into `block` (host order) and returns
// how many; `*next` moves on by 32 while ranges remain after the batch, else goes back to 0.
std::uint32_t build_ranges(const sil_syscall_parms* parms, sil_syscall_range* block, std::uint32_t* next);
// Appends the records of `answer` at `*placed` in the caller's data area (or extended buffer
// with use_ext_data_buff_f). Variable-length records (reply flag 0x08) go one per slot of the
// record size rounded up to 8. More than `*space_left` is cut to whole records and gives -8
// (answer->number_of_records lowered to what was placed); a variable-length record that runs
// past the answer's data or its slot gives -19 with the records before it placed.
std::int32_t syscall_memcpy(const sil_syscall_parms* parms, sil_syscall_results* caller, sil_syscall_results* answer,
                            std::uint32_t* bytes_this_transfer, std::uint32_t* space_left, std::uint32_t* placed);
