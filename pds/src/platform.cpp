// Provider selection: the one active platform of the process, and the start of the portability runtime.
#include "pds/platform.h"
#include "pds/platform_testing.h"
#include "capture.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

namespace pds {
namespace {

// Providers are never destroyed: code running from static destructors or exit handlers (a trace
// line written late) may still reach the platform.
Platform& real_platform() {
    static Platform* const real = make_real_platform().release();
    return *real;
}

// The simulated host or the capture, once started; null while the real provider answers alone.
std::atomic<Platform*> g_sim{nullptr};

struct StartOutcome {
    std::once_flag once;
    bool ok = false;
    std::string error;
};

StartOutcome& start_outcome() {
    static StartOutcome outcome;
    return outcome;
}

void choose_provider(StartOutcome& outcome) {
    try {
        const std::optional<std::string> host_file = real_platform().get_env("SIL_SIM_HOST");
        if (host_file && !host_file->empty()) {
            std::unique_ptr<Platform> sim = make_sim_platform(*host_file, outcome.error);
            if (!sim) return;
            g_sim.store(sim.release(), std::memory_order_release);
        }
        // A capture records whichever provider answers, the simulated host included.
        const std::optional<std::string> capture_file = real_platform().get_env("SIL_SIM_CAPTURE");
        if (capture_file && !capture_file->empty()) {
            Platform* const answering = g_sim.load(std::memory_order_acquire);
            const bool masked = real_platform().get_env("SIL_SIM_CAPTURE_MASK") == std::optional<std::string>("1");
            g_sim.store(capture::make_capture_platform(answering != nullptr ? *answering : real_platform(), *capture_file,
                                                       masked).release(),
                        std::memory_order_release);
        }
        outcome.ok = true;
    } catch (const std::exception& e) {
        outcome.error = std::string("the platform could not be started: ") + e.what();
    } catch (...) {
        outcome.error = "the platform could not be started";
    }
}

}  // namespace

std::string windows_disk_name(std::uint32_t device_number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(device_number);
}

bool valid_object_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxObjectName) return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '_' || c == '-' || c == '.';
        if (!allowed) return false;
    }
    return true;
}

Platform& platform() {
    if (Platform* sim = g_sim.load(std::memory_order_acquire)) return *sim;
    return real_platform();
}

bool pds_platform_start(std::string& error) {
    StartOutcome& outcome = start_outcome();
    std::call_once(outcome.once, [&outcome] { choose_provider(outcome); });
    if (!outcome.ok) error = outcome.error;
    return outcome.ok;
}

void install_platform_for_tests(std::unique_ptr<Platform> provider) {
    std::string error;
    pds_platform_start(error);
    g_sim.store(provider.release(), std::memory_order_release);
}

int pdsLibInit() {
    std::string error;
    if (pds_platform_start(error)) return 0;
    // The choice is made once, so is its complaint.
    static std::once_flag reported;
    std::call_once(reported, [&error] {
        std::fprintf(stderr, "lunscan: %s\n", error.c_str());
        std::fflush(stderr);
    });
    return -1;
}

}  // namespace pds
