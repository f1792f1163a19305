// The product clients of the active provider, and the answers of a host that lacks a product.
#include "pds/product_clients.h"

namespace pds {
namespace {

// No service-processor software: no session can be reached, so no call can be served.
class AbsentServiceProcessor final : public ServiceProcessorClient {
public:
    os_error sp_create_client(const std::string&, const std::string&, const std::string&, bool,
                              std::uint32_t& client_id) override {
        client_id = 0;
        return kErrorNotSupported;
    }
    os_error sp_remove_client(std::uint32_t) override { return kErrorNotSupported; }
    os_error sp_revision_info(std::uint32_t, std::string& revision, std::string& product) override {
        revision.clear();
        product.clear();
        return kErrorNotSupported;
    }
    os_error sp_site_info(std::uint32_t, std::string& array_serial) override {
        array_serial.clear();
        return kErrorNotSupported;
    }
    os_error sp_resource_lock(std::uint32_t, bool, bool& held) override {
        held = false;
        return kErrorNotSupported;
    }
};

// No multipathing driver: its library cannot be loaded, as the driver itself would answer.
class AbsentMultipathDriver final : public MultipathClient {
public:
    std::uint32_t mp_scsi_pass_through(DeviceHandle, std::uint32_t, void*) override { return kMpNotEnabled; }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char*) override {
        count = 0;
        return kMpNotEnabled;
    }
    std::string library_fault() override { return {}; }
};

}  // namespace

ServiceProcessorClient& service_processor_client() { return platform().service_processor_client(); }
MultipathClient& multipath_client() { return platform().multipath_client(); }

// Never destroyed, like the providers that hand them out.
ServiceProcessorClient& absent_service_processor() {
    static ServiceProcessorClient* const absent = new AbsentServiceProcessor;
    return *absent;
}

MultipathClient& absent_multipath_driver() {
    static MultipathClient* const absent = new AbsentMultipathDriver;
    return *absent;
}

}  // namespace pds
