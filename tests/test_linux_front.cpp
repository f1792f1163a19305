// lunscan on a real Linux host (no simulated host file): what it tells the user about what the host lacks.
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::EnvChange;

const std::vector<EnvChange> kRealHost = {{"SIL_SIM_HOST", std::nullopt}};

TEST(LinuxFront, WinvolSaysTheHostHasNoDriveLetters) {
    const auto run = testsupport::run_lunscan({"-winvol"}, kRealHost);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("lunscan: -winvol: drive-letter volumes are not supported on this platform; "
                           "no volume entries are listed\n"),
              std::string::npos)
        << run.err;
}

// Runs lunscan in a private mount namespace after `prepare` (a shell command) changed its /dev.
testsupport::RunResult run_with_mounts(const std::string& prepare) {
    return testsupport::run_program(
        "unshare", {"-rm", "sh", "-c", prepare + " && exec \"$0\"", testsupport::lunscan_path()},
        {kRealHost, {}, {}, false});
}

// The start-up failure follows the one line that says what to mount.
void expect_advice_then_failure(const testsupport::RunResult& run, const std::string& advice) {
    EXPECT_NE(run.status, 0);
    ASSERT_EQ(run.err.rfind(advice + "\n", 0), 0u) << run.err;
    EXPECT_NE((run.out + run.err).find("Initialization of SIL failed"), std::string::npos) << run.out << run.err;
}

bool namespaces_refused(const testsupport::RunResult& run) {
    return run.err.rfind("unshare:", 0) == 0 || run.err.find("mount:") != std::string::npos;
}

TEST(LinuxFront, ReadOnlyDevShmIsExplainedBeforeTheStartFails) {
    const auto run = run_with_mounts("mount -t tmpfs -o ro tmpfs /dev/shm");
    if (namespaces_refused(run)) GTEST_SKIP() << "no private mount namespace here: " << run.err;
    expect_advice_then_failure(run, "lunscan: /dev/shm is not writable for this user; its shared memory needs a "
                                    "writable tmpfs there (mount -t tmpfs -o mode=1777 tmpfs /dev/shm)");
}

TEST(LinuxFront, MissingDevShmIsExplainedBeforeTheStartFails) {
    // An empty /dev, as an initramfs has before it mounts one; /tmp stays for the lock files.
    const auto run = run_with_mounts("mount -t tmpfs tmpfs /dev");
    if (namespaces_refused(run)) GTEST_SKIP() << "no private mount namespace here: " << run.err;
    expect_advice_then_failure(run, "lunscan: /dev/shm does not exist; its shared memory needs a tmpfs there "
                                    "(mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm)");
}

}  // namespace
