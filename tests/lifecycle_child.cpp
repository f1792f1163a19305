// Helper process of the trace and lifecycle tests: starts the library in a fresh process with the environment given on its command line and plays one scenario.
//
//   sil_lifecycle_child [NAME=VALUE ...] SCENARIO [ARGS ...]
//
// The trace variables and SIL_SIM_HOST are cleared first, so only what the test names is set.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pds/platform.h"
#include "sildebug.h"
#include "silinitl.h"

namespace {

void set_env(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

void unset_env(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

int start() {
    return SIL_init(0, 0, SIL_LIBRARY_VERSION, "@(#) lifecycle_child", "@(#) child platform", "@(#) child date");
}

void marker(const char* text) {
    std::printf("--- %s ---\n", text);
    std::fflush(stdout);
}

// ---- nested library-style functions -------------------------------------------------------------

int level5() {
    SIL_FUNCTION("level5");
    SIL_TRACE(SIL_TRACE_INFO, "inside level5");
    SIL_RETURN(5);
}
int level4() {
    SIL_FUNCTION("level4");
    level5();
    SIL_RETURN(4);
}
int level3() {
    SIL_FUNCTION("level3");
    level4();
    SIL_RETURN(3);
}
int level2() {
    SIL_FUNCTION("level2");
    SIL_TRACE(SIL_TRACE_INFO, "inside level2");
    level3();
    SIL_RETURN(2);
}
int level1() {
    SIL_FUNCTION("level1");
    level2();
    SIL_RETURN(1);
}

int get_evpd_page() {
    SIL_FUNCTION("get_evpd_page");
    SIL_RETURN(5);
}
int SIL_Inquiry() {
    SIL_FUNCTION("SIL_Inquiry");
    SIL_TRACE(SIL_TRACE_INFO, "inquiring");
    get_evpd_page();
    SIL_RETURN(0);
}
int SIL_CreateDeviceList() {
    SIL_FUNCTION("SIL_CreateDeviceList");
    SIL_TRACE(SIL_TRACE_INFO, "listing");
    SIL_Inquiry();
    SIL_Inquiry();
    SIL_TRACE(SIL_TRACE_INFO, "listed");
    SIL_RETURN(0);
}

int wrapper(const std::string& message) {
    SIL_FUNCTION("wrapper");
    SIL_TRACE(SIL_TRACE_INFO, "%s", message.c_str());
    SIL_RETURN(0);
}

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// ---- the chain-code counter ---------------------------------------------------------------------

// Prints the counter and advances it by one under the host-wide mutex.
int bump_chain_counter() {
    std::uint32_t* counter = sil_chain_code_counter();
    if (counter == nullptr) {
        std::printf("counter=none\n");
        return 1;
    }
    std::unique_ptr<pds::NamedMutex> mutex;
    if (pds::platform().open_named_mutex("KorvSharedMemory", mutex) != 0 || mutex->lock(-1) != 0) {
        std::printf("mutex=failed\n");
        return 1;
    }
    std::printf("counter=%u\n", *counter);
    *counter += 1;
    mutex->unlock();
    std::fflush(stdout);
    return 0;
}

bool wait_for_file(const std::filesystem::path& path) {
    for (int i = 0; i < 1200; ++i) {  // at most a minute
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int play(const std::string& scenario, const std::vector<std::string>& args) {
    if (scenario == "exit-only") {
        const int exit_rc = SIL_exit();
        const int require_rc = sil_require_init();
        const int trace_rc = sil_trace(SIL_TRACE_ERROR, "nobody hears this", "probe.cpp", 1);
        const int verbosity_rc = sil_set_verbosity(0xFFFF);
        std::printf("exit=%d require=%d trace=%d verbosity=%d on=%u\n", exit_rc, require_rc, trace_rc, verbosity_rc,
                    sil_trace_on());
        return 0;
    }
    if (scenario == "init") {
        const auto version = static_cast<std::uint32_t>(std::strtoul(args.at(0).c_str(), nullptr, 16));
        const int rc = SIL_init(0, 0, version, "@(#) lifecycle_child", "@(#) child platform", "@(#) child date");
        const bool started = SIL_is_initialised();
        const int again = start();
        std::printf("init=%d started=%d again=%d\n", rc, started ? 1 : 0, again);
        std::fflush(stdout);
        const int exit_rc = SIL_exit();
        std::printf("exit=%d\n", exit_rc);
        return 0;
    }

    const int rc = start();
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) {
        std::printf("init=%d\n", rc);
        return 1;
    }
    if (scenario == "settings") {
        std::printf("verbosity=0x%08X mask=0x%08X trigger=<%s> stdout=%d big=%u\n", sil_trace_on(), ctx->trigger_mask,
                    ctx->trigger_function, sil_out() == stdout ? 1 : 0, ctx->big_buffer_enabled);
    } else if (scenario == "depth") {
        marker("run");
        level1();
        marker("end");
    } else if (scenario == "trigger") {
        marker("run");
        SIL_CreateDeviceList();
        marker("end");
        std::printf("verbosity=0x%08X\n", sil_trace_on());
    } else if (scenario == "lines") {
        std::printf("pid=%u\n", pds::platform().process_id());
        marker("run");
        sil_trace(0xC00001, "disk on fire", "probe.cpp", 77);
        sil_trace(0x1000040, "sys only", "probe.cpp", 78);
        sil_trace(0xC00040, "sys error", "probe.cpp", 79);
        sil_trace(0x1200001, "with pid", "probe.cpp", 80);
        sil_trace(0x1000020, "cdb\nline", "probe.cpp", 81);
        std::thread([] { sil_trace(0x1000020, "from thread", "probe.cpp", 82); }).join();
        marker("end");
    } else if (scenario == "long") {
        marker("run");
        wrapper(repeat("0123456789", 20));
        sil_trace_printf("%s", repeat("x", 100).c_str());
        marker("end");
    } else if (scenario == "pause") {
        marker("run");
        sil_trace(0x8000001, "stop here", "probe.cpp", 5);
        marker("after");
        char rest[64] = {};
        if (std::fgets(rest, sizeof rest, stdin) == nullptr) rest[0] = '\0';
        rest[std::strcspn(rest, "\n")] = '\0';
        std::printf("rest=<%s>\n", rest);
    } else if (scenario == "fill") {
        const int count = std::atoi(args.at(0).c_str());
        for (int i = 0; i < count; ++i) {
            char line[100];
            std::snprintf(line, sizeof line, "fill %04d %s", i, repeat("x", 89).c_str());
            sil_trace(SIL_TRACE_FORMATTED, line, "probe.cpp", i);  // 99 characters and the newline
        }
    } else if (scenario == "sock") {
        const int asked = sil_sock_log("tag", nullptr);
        const int tagged = sil_sock_log("tagA", "hello");
        const int untagged = sil_sock_log(nullptr, "untagged");
        const int long_tag = sil_sock_log("abcdefghijklmnopqrstuvwxyz", "long tag");
        std::printf("asked=%d tagged=%d untagged=%d long=%d\n", asked, tagged, untagged, long_tag);
        std::printf("pid=%u tid=%llu\n", pds::platform().process_id(),
                    static_cast<unsigned long long>(pds::platform().thread_id()));
    } else if (scenario == "chain-hold") {
        if (bump_chain_counter() != 0) return 1;
        std::FILE* ready = std::fopen(args.at(0).c_str(), "w");
        if (ready != nullptr) std::fclose(ready);
        if (!wait_for_file(args.at(1))) std::printf("release never came\n");
    } else if (scenario == "chain-once") {
        if (bump_chain_counter() != 0) return 1;
    } else {
        std::printf("unknown scenario %s\n", scenario.c_str());
        return 2;
    }
    std::fflush(stdout);
    SIL_exit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (const char* name : {"SDEBUG", "SDEBUG_FILE", "SDEBUG_FUNCTION_TRIGGER", "KORAPI_SILSOCK_FILENAME",
                             "KORAPI_ENABLE_65K_BUFFER_SIZE", "SIL_SIM_HOST"}) {
        unset_env(name);
    }
    int i = 1;
    for (; i < argc && std::strchr(argv[i], '=') != nullptr; ++i) {
        std::string setting(argv[i]);
        const std::size_t eq = setting.find('=');
        set_env(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str());
    }
    if (i >= argc) {
        std::printf("usage: sil_lifecycle_child [NAME=VALUE ...] SCENARIO [ARGS ...]\n");
        return 2;
    }
    const std::string scenario = argv[i++];
    return play(scenario, std::vector<std::string>(argv + i, argv + argc));
}
