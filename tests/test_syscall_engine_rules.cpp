// Tests of the poll loop's limits, the reply statuses, transport retries and dispatch against the simulated array; the virtual time, passes and commands of each call worked out by hand.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "pds/platform.h"
#include "support/sim_array_fixture.h"
#include "silsyscall_engine.h"
#include "siltxcdb.h"

namespace {

using testsupport::set_env;

// One array answers every request no fault below takes with primary 0 and no data, so a call whose
// scripted answers run out succeeds. Each call number has its own script; the drives 11 to 17 have
// faults of their own on the buffer commands.
std::string drive(int n, const std::string& fault = "") {
    const std::string id = std::to_string(n);
    return R"({"path": "\\\\.\\PHYSICALDRIVE)" + id + R"(", "personality": "korvalith_lun", "params": {"array_serial": "000190100001",
   "device_number": ")" + id + R"(", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}, "faults": [)" + fault + "]},";
}
// A busy status (no sense) for the commands beginning `cdb`, `times` of them (0: all).
std::string busy(const char* cdb, int times = 0) {
    return R"({"kind": "scsi_status", "status": 8, "cdb": ")" + std::string(cdb) + "\"" +
           (times != 0 ? R"(, "times": )" + std::to_string(times) : std::string()) + "}";
}
const char* const kIllegalRequest3 =
    R"({"kind": "check_condition", "sense": "70 00 05 00 00 00 00 0A 00 00 00 00 24 00", "cdb": "3B", "times": 3})";

// The drives, each ending in a comma: the last one is a plain disk.
const std::string kHost = R"({"clock": "2026-01-05 10:00:00.000", "devices": [)" + drive(1) + drive(11, busy("3B", 4)) +
    drive(12, busy("3B")) + drive(13, busy("3B", 3)) + drive(14, kIllegalRequest3) + drive(15, busy("3B")) +
    drive(16, busy("3C", 1)) + drive(17, busy("3C", 1)) + R"({"path": "\\\\.\\PHYSICALDRIVE0"}],
 "arrays": [{"serial": "000190100001", "microcode": "5874", "faults": [
  {"kind": "busy", "call": "0301", "times": 2}, {"kind": "busy", "call": "0302", "times": 2},
  {"kind": "poll", "call": "0303", "sleep_tenths": 50, "times": 1}, {"kind": "poll", "call": "0304", "sleep_tenths": 1000, "times": 1},
  {"kind": "poll", "call": "0305", "sleep_tenths": 10}, {"kind": "poll", "call": "0306", "sleep_tenths": 30, "times": 1},
  {"kind": "poll", "call": "0307", "sleep_tenths": 30, "times": 1}, {"kind": "poll", "call": "0308", "sleep_tenths": 10},
  {"kind": "ndu", "call": "0309"}, {"kind": "overrun", "call": "030A"},
  {"kind": "busy", "call": "030B", "times": 91}, {"kind": "overrun", "call": "030B"},
  {"kind": "busy", "call": "030C", "times": 91}, {"kind": "timeout", "call": "030C"},
  {"kind": "overrun", "call": "030D"}, {"kind": "timeout", "call": "030E"}, {"kind": "blocked", "call": "030F"},
  {"kind": "code", "call": "0310", "primary": 135, "secondary": 1}, {"kind": "code", "call": "0311", "primary": 135, "secondary": 2},
  {"kind": "other_format", "call": "0312"}, {"kind": "other_subcommand", "call": "0313"}, {"kind": "bad_crc", "call": "0314"},
  {"kind": "code", "call": "9261", "primary": 20}, {"kind": "code", "call": "9263", "primary": 6, "times": 3},
  {"kind": "bad_buff", "call": "0315", "times": 1}, {"kind": "bad_buff", "call": "0316"},
  {"kind": "bad_buff", "call": "8316", "times": 1}, {"kind": "bad_buff", "call": "8317", "times": 1},
  {"kind": "bad_buff", "call": "9203", "times": 1}, {"kind": "bad_buff", "call": "9204", "times": 1},
  {"kind": "code", "primary": 0}]}]})";

class EngineRules : public testsupport::SimArrayTest {
protected:
    static void SetUpTestSuite() {
        static const testsupport::Scratch scratch;
        log_ = scratch.path("cdb.log");
        set_env("SIL_SIM_LOG", log_);
        start_on_host(kHost.c_str());
        set_env("SIL_SIM_LOG", "");
        set_env("SIL_SYSCALL_RETRY", "");
    }
    void TearDown() override {
        set_env("SIL_SYSCALL_RETRY", "");
        if (dev_.isOpen) close();
    }
    // One call through the routed entry; notes the virtual time it took and the buffer commands
    // the device received.
    std::int32_t call(std::uint16_t id, std::uint8_t sub = 0) {
        parms_.syscall_id = id, parms_.sys_f6_sub_command = sub;
        const std::streamoff from = log_size();
        const std::int64_t before = pds::platform().monotonic_ns();
        const std::int32_t rc = do_simple_syscall(&dev_, &parms_, res_.get(), 0);
        slept_ms_ = (pds::platform().monotonic_ns() - before) / 1000000;
        writes_ = reads_ = 0;
        std::ifstream in(log_);
        in.seekg(from);
        const std::string mine = std::string(dev_.name) + " ";
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(mine, 0) != 0) continue;
            writes_ += line.find(" 3b 01 5d 04 ") != std::string::npos;
            reads_ += line.find(" 3c 01 1c 04 ") != std::string::npos;
        }
        return rc;
    }
    static std::streamoff log_size() {
        std::ifstream in(log_, std::ios::ate);
        return in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }
    static inline std::string log_;
    std::int64_t slept_ms_ = -1;
    int writes_ = 0, reads_ = 0;
};

// What one scripted call ends with: status, passes (requests the array took, BAD_BUFF resends
// aside) and virtual milliseconds slept.
struct Row {
    const char* why;
    std::uint16_t id;
    std::uint8_t sub;
    void (*setup)(sil_syscall_parms&);
    std::int32_t rc;
    int passes;
    int writes;
    std::int64_t ms;
};

void none(sil_syscall_parms&) {}

TEST_F(EngineRules, EachAnswerOfTheArrayEndsTheCallAsItsRuleSays) {
    const Row rows[] = {
        {"busy twice: 1 s pause each (0 means 1)", 0x0301, 0, none, 0, 3, 3, 2000},
        {"busy twice with a 3 s pause", 0x0302, 0, [](sil_syscall_parms& p) { p.system_busy_sleep_seconds = 3; }, 0, 3, 3, 6000},
        {"poll of 5 s with 2 s left: sleeps the 2 s, then a last pass", 0x0303, 0, [](sil_syscall_parms& p) { p.timeout = 2; },
         0, 2, 2, 2000},
        {"poll of 100 s sleeps 76.8 s", 0x0304, 0, none, 0, 2, 2, 76800},
        {"poll budget of 1 s spent twice", 0x0305, 0, [](sil_syscall_parms& p) { p.timeout = 1; }, SYSC_ERR_CRC, 2, 2, 2000},
        {"ignored poll under a 5 s limit sleeps 0.1 s", 0x0306, 0,
         [](sil_syscall_parms& p) { p.ignore_requested_sleep_f = 1, p.timeout = 5; }, 0, 2, 2, 100},
        {"ignore asked with a 10 s limit: sleeps as asked", 0x0307, 0,
         [](sil_syscall_parms& p) { p.ignore_requested_sleep_f = 1, p.timeout = 10; }, 0, 2, 2, 3000},
        {"do_not_poll: the requested sleep, then the limit", 0x0308, 0, [](sil_syscall_parms& p) { p.do_not_poll_f = 1; },
         SYSC_ERR_POLL_LIMIT, 1, 1, 1000},
        // Pass n has n - 1 counted before it; 41 > 40 first holds at pass 42, after its 15 s pause.
        {"NDU: more than 40 polls", 0x0309, 0, none, SYSC_ERR_POLL_LIMIT, 42, 42, 42 * 15000},
        // Every overrun of the extended variant asks again at once; 250 counted first at pass 251.
        {"250 polls without a pause", 0x030A, 0, [](sil_syscall_parms& p) { p.use_ext_data_buff_f = 1; }, SYSC_ERR_POLL_LIMIT,
         251, 251, 0},
        // 91 busy passes end 91 s in; the overrun at pass 92 finds 91 > 90.
        {"overrun past 90 s", 0x030B, 0, none, SYSC_ERR_POLL_LIMIT, 92, 92, 91000},
        {"time-out past 90 s", 0x030C, 0, none, SYSC_ERR_POLL_LIMIT, 92, 92, 91000},
        {"overrun at once", 0x030D, 0, none, SYSC_ERR_OVERRUN, 1, 1, 0},
        {"time-out at once", 0x030E, 0, none, SYSC_ERR_OVERRUN, 1, 1, 0},
        {"blocked", 0x030F, 0, none, SYSC_ERR_BLOCKED, 1, 1, 0},
        {"0x87 with secondary 1", 0x0310, 0, none, SYSC_ERR_87_1, 1, 1, 0},
        {"0x87 with secondary 2", 0x0311, 0, none, SYSC_ERR_ARRAY_RC, 1, 1, 0},
        {"another format", 0x0312, 0, none, SYSC_ERR_BAD_REPLY, 1, 1, 0},
        {"another subcommand", 0x0313, 0, none, SYSC_ERR_BAD_REPLY, 1, 1, 0},
        {"bad reply CRC", 0x0314, 0, none, SYSC_ERR_CRC, 1, 1, 0},
        // 0.5 s per pass; whole seconds elapsed exceed 10 first at pass 22 (11 s).
        {"0x14 on 9261/2 past a 10 s limit", 0x9261, 2, [](sil_syscall_parms& p) { p.system_busy_max_retries = 10; },
         SYSC_ERR_POLL_LIMIT, 22, 22, 11000},
        {"0x14 on 9261/1 is no retry code", 0x9261, 1, none, SYSC_ERR_ARRAY_RC, 1, 1, 0},
        {"fast lock failed three times", 0x9263, 0, none, 0, 4, 4, 1500},
        {"BAD_BUFF once: resent", 0x0315, 0, none, 0, 1, 2, 0},
        {"BAD_BUFF again after the resend", 0x0316, 0, none, SYSC_ERR_BAD_BUFF_PARAM_HEADER, 1, 2, 0},
        {"BAD_BUFF on 8xxx without SIL_SYSCALL_RETRY", 0x8316, 0, none, SYSC_ERR_BAD_BUFF_PARAM_HEADER, 1, 1, 0},
        {"BAD_BUFF on 92xx with subcommand 0x80", 0x9203, 0x80, none, SYSC_ERR_BAD_BUFF_PARAM_HEADER, 1, 1, 0},
        {"BAD_BUFF on 92xx with subcommand 0x7F: resent", 0x9204, 0x7F, none, 0, 1, 2, 0},
    };
    std::vector<std::uint8_t> ext(64);
    open(R"(\\.\PHYSICALDRIVE1)");
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        parms_ = sil_syscall_parms{};
        *res_ = sil_syscall_results{};
        res_->ext_data_buffer = ext.data(), res_->ext_data_buffer_size = 64;
        r.setup(parms_);
        EXPECT_EQ(call(r.id, r.sub), r.rc);
        EXPECT_EQ(res_->iterations, r.passes);
        EXPECT_EQ(writes_, r.writes);
        EXPECT_EQ(reads_, r.writes);
        EXPECT_EQ(slept_ms_, r.ms);
    }
}

TEST_F(EngineRules, PollSleepsSpendTheCallsLimit) {
    open(R"(\\.\PHYSICALDRIVE1)");
    ASSERT_EQ(call(0x0304), 0);
    EXPECT_EQ(parms_.timeout, 23u);  // (1000 - 768) / 10
    parms_ = sil_syscall_parms{};
    parms_.timeout = 2;
    ASSERT_EQ(call(0x0303), 0);
    EXPECT_EQ(parms_.syscall_flags & SYSC_FLAG_LAST_CHANCE, SYSC_FLAG_LAST_CHANCE);  // 20 - 20 left nothing
    parms_ = sil_syscall_parms{};
    parms_.ignore_requested_sleep_f = 1, parms_.timeout = 5;
    ASSERT_EQ(call(0x0306), 0);
    EXPECT_EQ(parms_.timeout, 4u);  // (50 - 1) / 10
}

TEST_F(EngineRules, BadBuffOn8xxxIsResentWithSilSyscallRetry) {
    open(R"(\\.\PHYSICALDRIVE1)");
    set_env("SIL_SYSCALL_RETRY", "1");
    EXPECT_EQ(call(0x8317), 0);
    EXPECT_EQ(writes_, 2);
}

// A failed WRITE BUFFER: up to 5 attempts, 1 s before the third, fourth and fifth; with
// SIL_SYSCALL_RETRY each attempt itself is resent up to 10 times while a retry is advised (a busy
// status is, an ILLEGAL REQUEST is not). A READ BUFFER is resent only for calls outside 0x8100 to
// 0x91FF.
struct TransportRow {
    const char* drive;
    bool retry_env;
    std::uint16_t id;
    std::int32_t rc;
    int writes, reads;
    std::int64_t ms;
    std::uint8_t rc_info;
};

TEST_F(EngineRules, TransportFailuresAreRetriedAsThePolicySays) {
    const TransportRow rows[] = {
        {R"(\\.\PHYSICALDRIVE11)", false, 0x0401, 0, 5, 1, 3000, 0},
        {R"(\\.\PHYSICALDRIVE12)", false, 0x0401, -5, 5, 0, 3000, 1},
        {R"(\\.\PHYSICALDRIVE13)", true, 0x0401, 0, 4, 1, 0, 0},
        {R"(\\.\PHYSICALDRIVE14)", true, 0x0401, 0, 4, 1, 2000, 0},
        {R"(\\.\PHYSICALDRIVE15)", true, 0x0401, -5, 55, 0, 3000, 1},
        {R"(\\.\PHYSICALDRIVE16)", true, 0x0401, 0, 1, 2, 0, 0},
        {R"(\\.\PHYSICALDRIVE17)", true, 0x8401, -5, 1, 1, 0, 0},
    };
    for (const TransportRow& r : rows) {
        SCOPED_TRACE(r.drive);
        open(r.drive);
        set_env("SIL_SYSCALL_RETRY", r.retry_env ? "1" : "");
        parms_ = sil_syscall_parms{};
        *res_ = sil_syscall_results{};
        EXPECT_EQ(call(r.id), r.rc);
        EXPECT_EQ(writes_, r.writes);
        EXPECT_EQ(reads_, r.reads);
        EXPECT_EQ(slept_ms_, r.ms);
        EXPECT_EQ(res_->sil_rc_info_mask, r.rc_info);
        EXPECT_EQ(res_->iterations, 1);
        close();
    }
}

TEST_F(EngineRules, DevicesOfTransportsThisBuildLacksGetTheirErrorAndNothingIsSent) {
    struct {
        std::uint32_t access_method;
        std::uint32_t conn_type;
        std::int32_t rc;
    } const rows[] = {
        {SIL_ACCESS_SOCKET, 0, SYSC_ERR_NO_TRANSPORT},
        {SIL_ACCESS_KORVWIN, 0, SYSC_ERR_NO_TRANSPORT},
        {SIL_ACCESS_SPECIAL_USER, 0, SYSC_ERR_NO_USER_FUNCTION},
        {0, SIL_CONN_DAEMON_FIRST, SIL_ERR_DAEMON_NOT_AVAILABLE},
    };
    open(R"(\\.\PHYSICALDRIVE1)");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.rc);
        dev_.access_method = r.access_method, dev_.conn_type = r.conn_type;
        parms_ = sil_syscall_parms{};
        EXPECT_EQ(call(0x0181, 1), r.rc);
        EXPECT_EQ(writes_ + reads_, 0);
    }
    dev_.access_method = SIL_ACCESS_KORVWIN, dev_.conn_type = 0, dev_.vtrm_client = 1;  // nor the message transport
    EXPECT_EQ(call(0x0181, 1), SYSC_ERR_NO_TRANSPORT);
    dev_.access_method = 0;
}

}  // namespace
