// Tests of the linux provider against the host it runs on: identity, time, threads, named objects and tools.
#include "pds/platform.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace {

class LinuxProvider : public ::testing::Test {
protected:
    void SetUp() override { p_ = pds::make_real_platform(); }

    // Object names unique to this test process, removed again afterwards.
    std::string unique_name(const std::string& stem) {
        std::string name = "test." + stem + "." + std::to_string(::getpid());
        names_.push_back(name);
        return name;
    }
    void TearDown() override {
        for (const auto& n : names_) {
            ::shm_unlink(("/lunscan." + n).c_str());
            ::unlink(("/dev/shm/lunscan." + n + ".lock").c_str());
            ::unlink(("/tmp/lunscan." + n + ".lock").c_str());
        }
    }

    std::unique_ptr<pds::Platform> p_;
    std::vector<std::string> names_;
};

TEST_F(LinuxProvider, HostIdentityIsTheKernels) {
    EXPECT_EQ(p_->name(), "linux");
    struct utsname u {};
    ASSERT_EQ(::uname(&u), 0);
    const pds::HostIdentity id = p_->host_identity();
    EXPECT_EQ(id.sysname, u.sysname);
    EXPECT_EQ(id.nodename, u.nodename);
    EXPECT_EQ(id.release, u.release);
    EXPECT_EQ(id.machine, u.machine);
    // "6.1.0-18-amd64" gives major 6, minor 1 and the type code 0x02000601.
    unsigned major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(u.release, "%u.%u", &major, &minor), 2);
    EXPECT_EQ(id.os_major, major);
    EXPECT_EQ(id.os_minor, minor);
    EXPECT_EQ(id.os_type, 0x02000000u | ((major & 0xFF) << 8) | (minor & 0xFF));
    EXPECT_FALSE(id.os_description.empty());
}

TEST_F(LinuxProvider, ProcessUserAndThreadIds) {
    EXPECT_EQ(p_->process_id(), static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(p_->thread_id(), static_cast<std::uint64_t>(::getpid()));  // the main thread
    EXPECT_EQ(p_->thread_number(), 0u);
    std::uint64_t other_id = 0;
    std::uint32_t other_number = 0;
    std::thread([&] {
        other_id = p_->thread_id();
        other_number = p_->thread_number();
    }).join();
    EXPECT_NE(other_id, static_cast<std::uint64_t>(::getpid()));
    EXPECT_NE(other_number, 0u);
    // Numbering is per process, not per provider instance.
    auto again = pds::make_real_platform();
    EXPECT_EQ(again->thread_number(), 0u);

    const passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(p_->user_name(), std::string(pw->pw_name));
}

TEST_F(LinuxProvider, EnvironmentAndTime) {
    ASSERT_EQ(::setenv("LUNSCAN_PROVIDER_TEST", "value one", 1), 0);
    EXPECT_EQ(p_->get_env("LUNSCAN_PROVIDER_TEST"), "value one");
    ::unsetenv("LUNSCAN_PROVIDER_TEST");
    EXPECT_EQ(p_->get_env("LUNSCAN_PROVIDER_TEST"), std::nullopt);

    const pds::LocalTime t = p_->local_time();
    EXPECT_GE(t.year, 2024);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12);
    EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
    // "Sun Dec  6 19:47:21 2026": the C library's text without its newline.
    const std::string text = p_->date_text();
    ASSERT_EQ(text.size(), 24u) << text;
    EXPECT_EQ(text[3], ' ');
    EXPECT_EQ(text[13], ':');
    EXPECT_EQ(text.substr(20), std::to_string(t.year));
}

TEST_F(LinuxProvider, SharedMemoryLivesInDevShmUnderTheProjectPrefix) {
    const std::string name = unique_name("shm");
    std::unique_ptr<pds::SharedMemory> first;
    std::unique_ptr<pds::SharedMemory> second;
    bool created = false;
    ASSERT_EQ(p_->open_shared_memory(name, 4, first, created), 0u);
    EXPECT_TRUE(created);
    std::uint32_t value = 0xFFFFFFFF;
    std::memcpy(&value, first->data(), 4);
    EXPECT_EQ(value, 0u);
    value = 0x01020304;
    std::memcpy(first->data(), &value, 4);

    ASSERT_EQ(p_->open_shared_memory(name, 4, second, created), 0u);
    EXPECT_FALSE(created);
    std::uint32_t seen = 0;
    std::memcpy(&seen, second->data(), 4);
    EXPECT_EQ(seen, 0x01020304u);

    struct stat st {};
    EXPECT_EQ(::stat(("/dev/shm/lunscan." + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);  // open to every user, whatever the umask

    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->close(), 0u);
    std::unique_ptr<pds::SharedMemory> bad;
    EXPECT_EQ(p_->open_shared_memory("a/b", 4, bad, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(p_->open_shared_memory("", 4, bad, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(p_->open_shared_memory(name, 0, bad, created), pds::kErrorInvalidParameter);
}

TEST_F(LinuxProvider, NamedMutexIsALockFileWithThreadOwnership) {
    const std::string name = unique_name("mutex");
    std::unique_ptr<pds::NamedMutex> mine;
    std::unique_ptr<pds::NamedMutex> theirs;
    ASSERT_EQ(p_->open_named_mutex(name, mine), 0u);
    ASSERT_EQ(p_->open_named_mutex(name, theirs), 0u);
    EXPECT_EQ(::access(("/dev/shm/lunscan." + name + ".lock").c_str(), F_OK), 0);

    ASSERT_EQ(mine->lock(), 0u);
    EXPECT_EQ(theirs->lock(0), 0u);  // the owning thread enters again
    EXPECT_EQ(theirs->unlock(), 0u);
    pds::os_error other = 0;
    std::thread([&] { other = theirs->lock(30); }).join();
    EXPECT_EQ(other, pds::kErrorSemTimeout);
    EXPECT_EQ(mine->unlock(), 0u);
    EXPECT_EQ(mine->unlock(), pds::kErrorNotOwner);
    std::thread([&] {
        other = theirs->lock(0);
        if (other == 0) other = theirs->unlock();
    }).join();
    EXPECT_EQ(other, 0u);

    std::unique_ptr<pds::NamedMutex> bad;
    EXPECT_EQ(p_->open_named_mutex("x/y", bad), pds::kErrorInvalidParameter);
    EXPECT_EQ(bad, nullptr);
}

TEST_F(LinuxProvider, RunToolCollectsBothStreamsAndTheExitStatus) {
    std::string output;
    int status = 0;
    ASSERT_EQ(p_->run_tool("printf 'out\\n'; echo err >&2; exit 7", &output, status), 0u);
    EXPECT_EQ(output, "out\nerr\n");
    EXPECT_EQ(status, 7);
    // A trailing comment must not swallow the redirection of the error stream.
    ASSERT_EQ(p_->run_tool("echo late >&2 # comment", &output, status), 0u);
    EXPECT_EQ(output, "late\n");
    EXPECT_EQ(status, 0);
    ASSERT_EQ(p_->run_tool("true", nullptr, status), 0u);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(p_->run_tool("kill -9 $$", &output, status), 0u);
    EXPECT_EQ(status, 128 + 9);
    ASSERT_EQ(p_->run_tool("lunscan-no-such-command-anywhere", &output, status), 0u);
    EXPECT_EQ(status, 127);  // the shell ran; the command was not found
}

}  // namespace
