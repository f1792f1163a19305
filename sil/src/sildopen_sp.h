// The service-processor road of the open: session list, client creation, the synthesised inquiry page, client removal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sildevice.h"
#include "sildopen.h"

struct KOR_INQ_PAGE0;

// Application name of the clients the library creates.
inline constexpr const char* SIL_SP_APPLICATION = "API_SP";

// The session a service-processor device name designates: the (at most) four characters after
// its first ':'; empty without a ':'.
std::string sil_sp_session(std::string_view name);

// The process-wide list of registered service-processor sessions (one lock, made on first use).
// find_sp_session: 1 when `session` is registered, else 0.
std::int32_t find_sp_session(const std::string& session);
// Registers `session`; false when it already was.
bool sil_register_sp_session(const std::string& session);
void sil_unregister_sp_session(const std::string& session);

// Step of the open for a service-processor name: checks the name, refuses a session in use and,
// when a client is asked for, opens through the message transport or the service-processor
// software. 0 or a negative status.
std::int32_t open_sp_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options);
// The message-transport open; SIL_ERR_VTRM_OFF while the transport is switched off.
std::int32_t vtrm_dev_open(T_SIL_DEVICE* device);
// The open through the service-processor software: client, revision, site, synthesised page.
std::int32_t korvwin_dev_open(T_SIL_DEVICE* device, std::uint32_t create_client);

// Creates the device's "API_SP" client (`create_client` kept on the device; 2 sets the request's
// second mode flag) of `session` (empty: the session serving an operating-system device).
// 0, or SIL_ERR_CREATE_CLIENT.
std::int32_t sil_create_sp_client(T_SIL_DEVICE* device, const std::string& session, std::uint32_t create_client);
// Releases the resource lock and removes the clients a device kept (before its record is freed).
void sil_remove_sp_clients(T_SIL_DEVICE* device);

// The array model of a service-processor product text, and whether the text had the space the
// model digit follows.
struct T_SP_MODEL {
    std::uint16_t korv_model;
    bool found;
};
T_SP_MODEL sp_model_from_product(std::string_view product);

// Fills a zero-filled page as the high-end array's standard INQUIRY page would read for a
// service-processor device of microcode `ucode_level` and array serial `korid`.
void build_korvwin_inquiry_page(KOR_INQ_PAGE0& page, std::uint32_t ucode_level, std::string_view korid);
