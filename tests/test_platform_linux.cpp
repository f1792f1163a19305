// Tests of the linux provider against the host it runs on: identity, clocks, threads, named objects, tools, and its explicit answers for what it lacks.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "linux_iscsi.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

class LinuxProvider : public ::testing::Test {
protected:
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

    std::unique_ptr<pds::Platform> p_ = pds::make_real_platform();
    std::vector<std::string> names_;
};

TEST_F(LinuxProvider, HostIdentityIsTheKernels) {
    EXPECT_EQ(p_->name(), "linux");
    struct utsname u {};
    ASSERT_EQ(::uname(&u), 0);
    const pds::HostIdentity id = p_->host_identity();
    EXPECT_EQ(id.sysname + " " + id.nodename + " " + id.release + " " + id.machine,
              std::string(u.sysname) + " " + u.nodename + " " + u.release + " " + u.machine);
    // "6.1.0-18-amd64" gives major 6, minor 1 and the type code 0x02000601.
    unsigned major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(u.release, "%u.%u", &major, &minor), 2);
    EXPECT_EQ(std::tie(id.os_major, id.os_minor), std::make_tuple(major, minor));
    EXPECT_EQ(id.os_type, 0x02000000u | ((major & 0xFF) << 8) | (minor & 0xFF));
    const passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(p_->user_name(), std::string(pw->pw_name));
}

TEST_F(LinuxProvider, ProcessAndThreadIds) {
    EXPECT_EQ(p_->process_id(), static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(p_->thread_id(), static_cast<std::uint64_t>(::getpid()));  // the main thread
    EXPECT_EQ(p_->thread_number(), 0u);
    std::uint32_t other_number = 0;
    std::thread([&] { other_number = p_->thread_number(); }).join();
    EXPECT_NE(other_number, 0u);
    EXPECT_EQ(pds::make_real_platform()->thread_number(), 0u);  // numbering is per process
}

TEST_F(LinuxProvider, EnvironmentAndClocks) {
    ASSERT_EQ(::setenv("LUNSCAN_PROVIDER_TEST", "value one", 1), 0);
    EXPECT_EQ(p_->get_env("LUNSCAN_PROVIDER_TEST"), "value one");
    ::unsetenv("LUNSCAN_PROVIDER_TEST");
    EXPECT_EQ(p_->get_env("LUNSCAN_PROVIDER_TEST"), std::nullopt);

    // "Sun Dec  6 19:47:21 2026": the C library's text without its newline, the local year last.
    EXPECT_EQ(p_->date_text().substr(20), std::to_string(p_->local_time().year));
    const std::int64_t start = p_->monotonic_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(p_->monotonic_ns() - start, 5'000'000);  // never less than the sleep
}

TEST_F(LinuxProvider, SharedMemoryLivesInDevShmUnderTheProjectPrefix) {
    const std::string name = unique_name("shm");
    std::unique_ptr<pds::SharedMemory> first, second;
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
}

TEST_F(LinuxProvider, NamedMutexIsALockFileWithThreadOwnership) {
    const std::string name = unique_name("mutex");
    std::unique_ptr<pds::NamedMutex> mine, theirs;
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
}

// The longest name the seam admits is still a valid lock file and shared memory object here.
TEST_F(LinuxProvider, TheLongestObjectNameIsAFileName) {
    std::string name = unique_name("long");
    name.append(pds::kMaxObjectName - name.size(), 'x');
    names_.back() = name;
    std::unique_ptr<pds::NamedMutex> mutex;
    std::unique_ptr<pds::SharedMemory> memory;
    bool created = false;
    EXPECT_EQ(p_->open_named_mutex(name, mutex), 0u);
    EXPECT_EQ(p_->open_shared_memory(name, 4, memory, created), 0u);
    EXPECT_EQ(p_->open_named_mutex(name + "x", mutex), pds::kErrorInvalidParameter);
}

TEST_F(LinuxProvider, RunToolCollectsBothStreamsAndTheExitStatus) {
    std::string output;
    int status = 0;
    ASSERT_EQ(p_->run_tool("printf 'out\\n'; echo err >&2; exit 7", &output, status), 0u);
    EXPECT_EQ(std::tie(output, status), std::make_tuple("out\nerr\n", 7));
    // A trailing comment must not swallow the redirection of the error stream.
    ASSERT_EQ(p_->run_tool("echo late >&2 # comment", &output, status), 0u);
    EXPECT_EQ(std::tie(output, status), std::make_tuple("late\n", 0));
    ASSERT_EQ(p_->run_tool("lunscan-no-such-command-anywhere", &output, status), 0u);
    EXPECT_EQ(status, 127);  // the shell ran; the command was not found
}

// Devices are reached, but drive letters, the registry at large and the service processor are
// not Linux's: each of those says so rather than pretending.
TEST_F(LinuxProvider, AnswersWhatItLacksExplicitly) {
    pds::DeviceHandle handle = 7;
    EXPECT_EQ(p_->open_device({"/dev/lunscan-no-such-disk", 0, 0, false}, handle), pds::kErrorFileNotFound);
    EXPECT_EQ(handle, 0u);
    std::unique_ptr<pds::DiskInterfaceSet> set;
    EXPECT_EQ(p_->open_disk_interfaces(set), 0u);
    EXPECT_NE(set, nullptr);
    std::string roots;
    std::uint32_t required = 1;
    EXPECT_EQ(p_->logical_drive_strings(1024, roots, required), pds::kErrorNotSupported);
    EXPECT_EQ(p_->drive_type("C:\\"), pds::kDriveUnknown);
    std::unique_ptr<pds::RegistryKey> key;
    EXPECT_EQ(p_->registry_open_local_machine("SOFTWARE", key), pds::kErrorNotSupported);
    std::uint32_t client = 0;
    EXPECT_EQ(p_->service_processor_client().sp_create_client("", "4220", "API_SP", false, client),
              pds::kErrorNotSupported);
    EXPECT_EQ(p_->multipath_client().library_fault(), "");
}

// The SNIA library list is the configuration file's: one subkey per library line, in file order.
TEST_F(LinuxProvider, TheSniaKeyListsTheLibrariesOfHbaConf) {
    const std::string conf = "/tmp/lunscan-test-hba." + std::to_string(::getpid()) + ".conf";
    {
        std::ofstream out(conf);
        out << "# vendor libraries\n\n  xmv.fibre   /opt/xmv/libxmvhba.so extra\nlonely\nXMV.FIBRE /elsewhere.so\n"
               "\tother\t/usr/lib/libother.so\n";
    }
    ASSERT_EQ(::setenv("LUNSCAN_HBA_CONF", conf.c_str(), 1), 0);
    std::unique_ptr<pds::RegistryKey> key;
    std::string name, value;
    ASSERT_EQ(p_->registry_open_local_machine("software\\snia\\hba", key), 0u);
    EXPECT_EQ(key->enum_subkey(0, name), 0u);
    EXPECT_EQ(name, "xmv.fibre");
    EXPECT_EQ(key->enum_subkey(1, name), 0u);
    EXPECT_EQ(name, "other");
    EXPECT_EQ(key->enum_subkey(2, name), pds::kErrorNoMoreItems);
    ASSERT_EQ(p_->registry_open_local_machine("SOFTWARE\\SNIA\\HBA\\Xmv.Fibre", key), 0u);
    EXPECT_EQ(key->query_string("libraryfile", value), 0u);
    EXPECT_EQ(value, "/opt/xmv/libxmvhba.so");
    EXPECT_EQ(p_->registry_open_local_machine("SOFTWARE\\SNIA\\HBA\\lonely", key), pds::kErrorFileNotFound);
    ::unlink(conf.c_str());
    EXPECT_EQ(p_->registry_open_local_machine("SOFTWARE\\SNIA\\HBA", key), pds::kErrorFileNotFound);
    ::unsetenv("LUNSCAN_HBA_CONF");
}

// The common library's Windows name is Debian's libHBAAPI; anything else goes to the loader as it is.
TEST_F(LinuxProvider, ModulesComeFromTheDynamicLoader) {
    std::unique_ptr<pds::Module> module;
    std::string resolved, message;
    ASSERT_EQ(p_->load_module("hbaapi.dll", module, resolved, message), 0u) << message;
    EXPECT_NE(resolved.find("libHBAAPI.so"), std::string::npos) << resolved;
    EXPECT_NE(module->symbol("HBA_LoadLibrary"), nullptr);
    EXPECT_EQ(module->symbol("HBA_NoSuchEntry"), nullptr);
    EXPECT_EQ(p_->load_module("qlsdm.dll", module, resolved, message), pds::kErrorModNotFound);
    EXPECT_EQ(module, nullptr);
    EXPECT_NE(message.find("qlsdm.dll"), std::string::npos) << message;
}

// ---- the iSCSI initiator from open-iscsi -------------------------------------------------------------

TEST(LinuxIscsi, InitiatorNameAndSessionPortals) {
    EXPECT_EQ(pds::iscsi_initiator_name_from("## generated\n#InitiatorName=iqn.old\nInitiatorName=iqn.2004-10.com.example:drvhost \n"),
              "iqn.2004-10.com.example:drvhost");
    EXPECT_EQ(pds::iscsi_initiator_name_from("# nothing set\n"), "");
    const std::vector<std::string> portals = pds::iscsi_portals_from(
        "tcp: [1] 192.0.2.10:3260,1 iqn.2001-05.com.example:disk1 (non-flash)\n"
        "tcp: [2] [2001:db8::1]:3261,1 iqn.2001-05.com.example:disk2 (non-flash)\n"
        "tcp: [3] 192.0.2.10:3260,1 iqn.2001-05.com.example:disk3 (non-flash)\n"
        "iscsiadm: No active sessions.\n");
    EXPECT_EQ(portals, (std::vector<std::string>{"192.0.2.10 3260", "[2001:db8::1] 3261"}));
}

TEST(LinuxIscsi, KeysOnlyWhereOpenIscsiIsSetUp) {
    const std::string file = ::testing::TempDir() + "initiatorname." + std::to_string(::getpid());
    std::unique_ptr<pds::RegistryKey> key;
    pds::os_error error = 0;
    const std::string discovery = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery";
    EXPECT_FALSE(pds::linux_iscsi_registry_key(pds::platform(), "SOFTWARE\\SNIA\\HBA", file.c_str(), key, error));
    ASSERT_TRUE(pds::linux_iscsi_registry_key(pds::platform(), discovery, file.c_str(), key, error));
    EXPECT_EQ(error, pds::kErrorFileNotFound);  // no initiator-name file
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("InitiatorName=iqn.2004-10.com.example:drvhost\n", f);
    std::fclose(f);
    ASSERT_TRUE(pds::linux_iscsi_registry_key(pds::platform(), "software\\microsoft\\windows nt\\currentversion\\iscsi\\discovery\\",
                                              file.c_str(), key, error));
    ASSERT_EQ(error, 0u);
    std::string text;
    EXPECT_EQ(key->query_string("DefaultInitiatorName", text), 0u);
    EXPECT_EQ(text, "iqn.2004-10.com.example:drvhost");
    EXPECT_EQ(key->enum_subkey(0, text), 0u);
    EXPECT_EQ(text, "Send Targets");
    EXPECT_EQ(key->enum_subkey(1, text), pds::kErrorNoMoreItems);
    ASSERT_TRUE(pds::linux_iscsi_registry_key(
        pds::platform(), "SYSTEM\\ControlSet001\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}", file.c_str(), key, error));
    EXPECT_EQ(key->enum_subkey(0, text), pds::kErrorNoMoreItems);
    std::remove(file.c_str());
}

}  // namespace
