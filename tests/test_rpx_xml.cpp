// The replication XML report is a well-formed document whatever names the devices and the host give (checked by xmllint).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "inquiry.h"

namespace {

template <std::size_t N>
void put(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N - 1, std::strlen(text)));
}

std::string find_xmllint() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::filesystem::path p = std::filesystem::path(dir) / "xmllint";
        if (std::filesystem::exists(p)) return p.string();
    }
    return {};
}

TEST(RpxXml, HostileNamesStayWellFormed) {
    const std::string xmllint = find_xmllint();
    ASSERT_FALSE(xmllint.empty()) << "xmllint not found: install libxml2-utils (scripts/ensure-packages.sh native)";

    // Names from the host and its devices, with every character that is markup in XML.
    ::setenv("COMPUTERNAME", "R&D<lab>", 1);
    ::setenv("OS", "it's \"NT\"", 1);
    T_SIL_DEVICE dev{};
    put(dev.name, "\\\\.\\disk&<1>'\"");
    put(dev.korid, "000190100001");
    dev.korv_dev_num = 0x1A0;
    T_SIL_DEVICE* devices[] = {&dev};
    const T_SIL_DEVICE_LIST list{devices, 1};

    T_SIL_RPX_REMOTE_ARRAY remote{};
    put(remote.remote_korid, "0001<0>&0002");
    remote.rpx_group_count = 9;
    for (std::uint8_t g = 0; g < 9; ++g) remote.rpx_groups[g] = g;
    T_SIL_RPX_DEVICE entry{};
    entry.dev = 0x1A0;
    entry.mirrors[1] = {0x2B0, SIL_RPX_MIRROR_RPX1, 3};
    T_SIL_RPX_LOCAL_ARRAY array{};
    put(array.korid, "000190100001");
    put(array.gatekeeper, "\\\\.\\gk&<2>\x01\xff");
    array.remote_array_count = 1;
    array.remote_arrays = &remote;
    array.rpx_device_count = 1;
    array.rpx_devices = &entry;
    const T_SIL_RPX_INFO info{1, &array};

    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("rpx-xml-" + std::to_string(::getpid()) + ".xml");
    std::FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    do_rpx_xml_display(out, &list, info);
    std::fclose(out);

    const std::string command = xmllint + " --noout '" + file.string() + "'";
    const int status = std::system(command.c_str());
    if (std::getenv("KEEP") == nullptr) std::filesystem::remove(file);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "xmllint refused the report";
}

}  // namespace
