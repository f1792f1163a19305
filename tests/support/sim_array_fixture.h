// The fixture the system-call tests share: the library started on a simulated host with high-end arrays, one device opened directly.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pds/platform.h"
#include "pds/platform_testing.h"
#include "sildopen_host.h"
#include "silinitl.h"
#include "silsyscall.h"
#include "support/sim_host_scratch.h"

namespace testsupport {

class SimArrayTest : public ::testing::Test {
protected:
    // Installs the host (once per suite) and starts the library on it.
    static void start_on_host(const char* host) {
        static const Scratch scratch;
        pds::install_platform_for_tests(sim_host(host, scratch));
        const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, "test", "test", "test");
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
    }
    void open(const char* path) {
        pds::DeviceOpenRequest request;
        request.path = path;
        request.desired_access = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
        ASSERT_EQ(pds::platform().open_device(request, dev_.fid), 0u);
        dev_.isOpen = 1;
        dev_.ucode_level = 0x5874;
        std::strcpy(dev_.name, path);
    }
    void close() {  // what closing the device does: its lock handle and its handle go
        sil_close_device_mutex(&dev_);
        pds::platform().close_device(dev_.fid);
        dev_ = T_SIL_DEVICE{};
    }
    T_SIL_DEVICE dev_{};
    sil_syscall_parms parms_{};
    std::unique_ptr<sil_syscall_results> res_ = std::make_unique<sil_syscall_results>();
};

}  // namespace testsupport
