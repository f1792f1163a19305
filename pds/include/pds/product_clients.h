// The clients of the storage products beside the operating system: the high-end array's service-processor software and the multipathing driver's user library.
//
// Contract
// --------
// * These products are not part of the operating system and not part of this system: a host may
//   have them or not. Their clients are interfaces of their own, beside the platform seam; the
//   active provider hands out the ones its host has (`Platform::service_processor_client()`,
//   `Platform::multipath_client()`), reached here through `service_processor_client()` and
//   `multipath_client()`.
// * A host without a product answers every call of its client explicitly: the service
//   processor with kErrorNotSupported, the multipathing driver with kMpNotEnabled (its library
//   cannot be loaded). `absent_service_processor()` and `absent_multipath_driver()` are those
//   answers, shared by the providers.
// * The service-processor calls speak the seam's error numbers (os_error); the multipathing
//   driver's calls speak its own numbering (kMp*). Results travel in out-parameters.
// * Methods are safe to call from several threads. Clients never print and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pds/platform.h"

namespace pds {

// Results of the multipathing driver library's calls (its own numbering).
inline constexpr std::uint32_t kMpNotSupported = 211;  // the library has no such entry
inline constexpr std::uint32_t kMpNotEnabled = 219;    // the library cannot be loaded
// One entry of the multipathing driver's volume list: a name of up to 32 characters and a NUL.
inline constexpr std::size_t kMpVolumeNameBytes = 33;

// The high-end array's service-processor software (KorvWin): its client sessions, the array's
// revision and serial, and the client's resource lock.
class ServiceProcessorClient {
public:
    virtual ~ServiceProcessorClient() = default;

    // Creates a client named `application` ("API_SP") of the service-processor session `session`
    // (the four characters after the ':' of a service-processor device name; empty: the session
    // that serves the operating-system device `device`). `second_mode` sets the request's second
    // mode flag. 0 with `client_id` set, or an error.
    virtual os_error sp_create_client(const std::string& device, const std::string& session,
                                      const std::string& application, bool second_mode,
                                      std::uint32_t& client_id) = 0;
    virtual os_error sp_remove_client(std::uint32_t client_id) = 0;
    // The array's microcode revision as hexadecimal text ("5874") and its product text
    // ("KORVALITH 7.0").
    virtual os_error sp_revision_info(std::uint32_t client_id, std::string& revision, std::string& product) = 0;
    // The array's serial number (12 characters).
    virtual os_error sp_site_info(std::uint32_t client_id, std::string& array_serial) = 0;
    // Takes (`lock` true) or gives back the client's resource lock; `held` tells whether the
    // client holds it afterwards.
    virtual os_error sp_resource_lock(std::uint32_t client_id, bool lock, bool& held) = 0;
};

// The multipathing driver's user library (Strandway), loaded at run time.
class MultipathClient {
public:
    virtual ~MultipathClient() = default;

    // Its SCSI pass-through: carries the 96-byte pass-through block for the device `handle` (a
    // handle of the same provider's open_device). 0 on success; kMpNotEnabled when the library
    // cannot be loaded, kMpNotSupported without the entry.
    virtual std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) = 0;
    // The driver's pseudo-device names. `count` in: entries of kMpVolumeNameBytes bytes `names`
    // has room for; out: the volumes the driver has (it fills at most the room).
    // 0, kMpNotEnabled or kMpNotSupported.
    virtual std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) = 0;
    // Why the library could not be loaded, in words for the trace ("StrandwayMP.dll is not a
    // 64-bit library (error 193) ..."); empty when it loaded, or is simply not installed.
    virtual std::string library_fault() = 0;
};

// The clients of the active provider's host.
ServiceProcessorClient& service_processor_client();
MultipathClient& multipath_client();

// The answers of a host without the product (process-wide, never destroyed).
ServiceProcessorClient& absent_service_processor();
MultipathClient& absent_multipath_driver();

}  // namespace pds
