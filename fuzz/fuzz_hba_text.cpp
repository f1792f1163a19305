// Fuzz target: one text read as every adapter tool's output and file: iscsicli.exe, `iscsiadm -m session`, open-iscsi's initiator-name file and hba.conf.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "forwarding_platform.h"
#include "hba_conf_linux.h"
#include "linux_iscsi.h"
#include "pds/platform_testing.h"
#include "sil/silfinda.h"
#include "sil/sillib.h"
#include "sil/siltrace.h"
#include "silinitl.h"
#include "silsnia_int.h"

namespace {

// The linux provider's registry over files of the current input; the tools print the input.
class TextPlatform final : public testsupport::ForwardingPlatform {
public:
    using ForwardingPlatform::ForwardingPlatform;
    std::string text;
    std::string initiator_file;
    bool blank_in_tool_path = false;

    std::string_view name() const override { return "fuzz-hba-text"; }
    pds::HostIdentity host_identity() override { return {}; }
    std::optional<std::string> get_env(const char*) override { return std::nullopt; }
    pds::os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<pds::RegistryKey>& out) override {
        pds::os_error error = 0;
        if (pds::linux_iscsi_registry_key(*this, subkey, initiator_file.c_str(), out, error)) return error;
        return pds::linux_host::open_registry_key(subkey, out);
    }
    pds::os_error locate_program(const std::string& file_name, std::string& path) override {
        path = (blank_in_tool_path ? "C:\\Program Files\\" : "C:\\Windows\\System32\\") + file_name;
        return 0;
    }
    pds::os_error run_tool(const std::string&, std::string* output, int& exit_status) override {
        if (output != nullptr) *output = text;
        exit_status = 0;
        return 0;
    }
    pds::os_error load_module(const std::string&, std::unique_ptr<pds::Module>&, std::string&, std::string&) override {
        return pds::kErrorModNotFound;
    }
};

struct Fixture {
    TextPlatform* platform = nullptr;
    std::string conf_file;
};

void remove_files();

Fixture& fixture() {
    static Fixture f = [] {
        Fixture made;
        static std::unique_ptr<pds::Platform> real = pds::make_real_platform();
        auto owned = std::make_unique<TextPlatform>(*real);
        made.platform = owned.get();
        const std::string stem = "/tmp/fuzz_hba_text." + std::to_string(real->process_id());
        made.conf_file = stem + ".conf";
        made.platform->initiator_file = stem + ".initiatorname";
        setenv("LUNSCAN_HBA_CONF", made.conf_file.c_str(), 1);
        std::atexit(remove_files);
        pds::install_platform_for_tests(std::move(owned));
        if (SIL_init(0, 0, SIL_LIBRARY_VERSION, "fuzz", "sim", "today") != 0) std::abort();
        sil_context()->out_stream = std::getenv("FUZZ_SHOW") ? stdout : std::fopen("/dev/null", "w");
        sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
        return made;
    }();
    return f;
}

// The files of the last input go with the process.
void remove_files() {
    std::remove(fixture().platform->initiator_file.c_str());
    std::remove(fixture().conf_file.c_str());
}

void write_file(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    if (size == 0) return 0;
    // Byte 0: bit 0 open-iscsi is not set up (no initiator-name file), bit 1 iscsicli.exe's path
    // has a blank, bit 2 no hba.conf. The rest is the text.
    const std::uint8_t control = data[0];
    TextPlatform& p = *f.platform;
    p.text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    p.blank_in_tool_path = (control & 0x02) != 0;
    if (control & 0x01) {
        std::remove(p.initiator_file.c_str());
    } else {
        write_file(p.initiator_file, p.text);
    }
    if (control & 0x04) {
        std::remove(f.conf_file.c_str());
    } else {
        write_file(f.conf_file, p.text);
    }

    pds::iscsi_initiator_name_from(p.text);
    pds::iscsi_portals_from(p.text);

    T_SIL_ISCSI_LIST list{};
    SIL_CreateISCSIList(&list, nullptr, 0);
    SIL_DestroyISCSIList(&list);

    // The vendor libraries hba.conf names (none of them loads).
    auto* context = new T_SIL_SNIA_CONTEXT{};
    sil_snia_build_context(*context, false);
    sil_snia_release_context_for_tests(context);
    return 0;
}
