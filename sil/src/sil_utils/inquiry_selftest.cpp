// The HBA API library self-test (-snia_test): every installed library's entry points called directly, adapter by adapter.
#include <cstdint>
#include <cstdio>
#include <string>

#include "inquiry.h"
#include "sil/silsnia.h"

namespace {

const std::string kLibraryRule = std::string(80, '-') + "\n";
const std::string kAdapterRule = std::string(50, '-') + "\n";

// Room for an adapter name whatever a library writes (the published limit is 256 characters).
constexpr std::size_t kNameRoom = 1024;

enum class Outcome { passed, unsupported, failed };

struct Run {
    std::FILE* out;
    bool failed = false;
    std::uint32_t tested = 0;
};

// Prints a test's outcome; a status of 0 or 7 (more data than room) passes.
Outcome report(Run& run, const char* test, bool present, HBA_STATUS status) {
    std::fprintf(run.out, "%-30.30s", test);
    if (present && (status == HBA_STATUS_OK || status == HBA_STATUS_ERROR_MORE_DATA)) {
        std::fprintf(run.out, "%20s\n", "PASSED");
        return Outcome::passed;
    }
    if (!present || status == HBA_STATUS_ERROR_NOT_SUPPORTED) {
        std::fprintf(run.out, "%20s\n", "UNSUPPORTED");
        return Outcome::unsupported;
    }
    std::fprintf(run.out, "FAILED (status = %u)\n", status);
    run.failed = true;
    return Outcome::failed;
}

// The tests after the adapter's name, in their order; false as soon as one did not pass.
bool test_open_adapter(Run& run, const T_SIL_SNIA_ENTRY_POINTS& e, HBA_HANDLE handle) {
    auto passed = [&](const char* test, bool present, auto call) {
        return report(run, test, present, present ? call() : HBA_STATUS_ERROR_NOT_SUPPORTED) == Outcome::passed;
    };
    HBA_ADAPTERATTRIBUTES adapter{};
    if (!passed("HBA_GetAdapterAttributes", e.HBA_GetAdapterAttributes != nullptr,
                [&] { return e.HBA_GetAdapterAttributes(handle, &adapter); }))
        return false;
    HBA_PORTATTRIBUTES port{};
    if (!passed("HBA_GetAdapterPortAttributes", e.HBA_GetAdapterPortAttributes != nullptr,
                [&] { return e.HBA_GetAdapterPortAttributes(handle, 0, &port); }))
        return false;
    if (!passed("HBA_RefreshInformation", e.HBA_RefreshInformation != nullptr, [&] {
            e.HBA_RefreshInformation(handle);
            return HBA_STATUS{HBA_STATUS_OK};
        }))
        return false;
    HBA_FCPTARGETMAPPING v1{};
    v1.NumberOfEntries = 1;
    if (!passed("HBA_GetFcpTargetMapping", e.HBA_GetFcpTargetMapping != nullptr,
                [&] { return e.HBA_GetFcpTargetMapping(handle, &v1); }))
        return false;
    HBA_FCPTARGETMAPPINGV2 v2{};
    v2.NumberOfEntries = 1;
    if (!passed("HBA_GetFcpTargetMappingV2", e.HBA_GetFcpTargetMappingV2 != nullptr,
                [&] { return e.HBA_GetFcpTargetMappingV2(handle, port.PortWWN, &v2); }))
        return false;
    SMHBA_TARGETMAPPING sm{};
    sm.NumberOfEntries = 1;
    const HBA_WWN all_domains{};
    return passed("SMHBA_GetTargetMapping", e.SMHBA_GetTargetMapping != nullptr,
                  [&] { return e.SMHBA_GetTargetMapping(handle, port.PortWWN, all_domains, &sm); });
}

void test_adapter(Run& run, const T_SIL_SNIA_ENTRY_POINTS& e, HBA_UINT32 index) {
    char name[kNameRoom] = {};
    const bool has_name = e.HBA_GetAdapterName != nullptr;
    const HBA_STATUS name_status = has_name ? e.HBA_GetAdapterName(index, name) : HBA_STATUS_ERROR_NOT_SUPPORTED;
    name[kNameRoom - 1] = '\0';
    const bool named = has_name && name_status == HBA_STATUS_OK;
    std::fprintf(run.out, "\n%sTesting HBA %d: %s\n%s", kAdapterRule.c_str(), static_cast<int>(index + 1),
                 named ? name : "Unknown", kAdapterRule.c_str());
    if (report(run, "HBA_GetAdapterName", has_name, name_status) != Outcome::passed) return;

    const bool can_open = e.HBA_OpenAdapter != nullptr;
    const HBA_HANDLE handle = can_open ? e.HBA_OpenAdapter(name) : 0;
    const HBA_STATUS open_status = !can_open ? HBA_STATUS_ERROR_NOT_SUPPORTED
                                   : handle == 0 ? HBA_STATUS_ERROR
                                                 : HBA_STATUS_OK;
    if (report(run, "HBA_OpenAdapter", can_open, open_status) != Outcome::passed) return;

    const bool completed = test_open_adapter(run, e, handle);
    // An adapter left open stays open for the library's lifetime: it is closed also when a test
    // stopped its run, only that close is no test and is not reported.
    if (e.HBA_CloseAdapter != nullptr) e.HBA_CloseAdapter(handle);
    if (!completed) return;
    report(run, "HBA_CloseAdapter", e.HBA_CloseAdapter != nullptr, HBA_STATUS_OK);
    ++run.tested;
}

const char* library_status(std::uint32_t state) {
    switch (state) {
        case SIL_SNIA_LIB_INITIALIZED: return "Initialized\n";
        case SIL_SNIA_LIB_FAILED: return "Not Loaded\n";
        default: return "Unknown\n";
    }
}

// A version or count entry point: its result, or the entry point's name and why there is none.
// false when the rest of the library is to be skipped.
bool print_library_number(Run& run, const char* label, const char* entry, bool present, HBA_UINT32 value) {
    std::fputs(label, run.out);
    if (present) {
        std::fprintf(run.out, "%u\n", value);
        return true;
    }
    std::fprintf(run.out, "%s UNSUPPORTED\n", entry);
    return false;
}

void test_library(Run& run, const T_SIL_SNIA_LIBRARY& library, int slot) {
    std::fprintf(run.out, "\n%s\n", kLibraryRule.c_str());
    std::fprintf(run.out, "Library Vendor ID : %s\n", std::string(inq_field_text(library.vendor_id)).c_str());
    std::fprintf(run.out, "Library Path      : %s\n", std::string(inq_field_text(library.path)).c_str());
    std::fprintf(run.out, "Library Type      : %s", slot == 0 ? "HBA API\n" : "HBA Specific\n");
    std::fprintf(run.out, "Library Status    : %s", library_status(library.state));
    std::fputs(kLibraryRule.c_str(), run.out);
    if (library.state != SIL_SNIA_LIB_INITIALIZED) return;

    const T_SIL_SNIA_ENTRY_POINTS& e = library.entry;
    const bool has_version = e.HBA_GetVersion != nullptr;
    if (!print_library_number(run, "HBA Version       : ", "HBA_GetVersion", has_version,
                              has_version ? e.HBA_GetVersion() : 0))
        return;
    std::fputs("SMHBA Version     : ", run.out);
    if (e.SMHBA_GetVersion != nullptr)
        std::fprintf(run.out, "%u\n", e.SMHBA_GetVersion());
    else
        std::fputs("SMHBA_GetVersion UNSUPPORTED\n", run.out);
    const bool has_count = e.HBA_GetNumberOfAdapters != nullptr;
    const HBA_UINT32 count = has_count ? e.HBA_GetNumberOfAdapters() : 0;
    if (!print_library_number(run, "# Supported HBAS  : ", "HBA_GetNumberOfAdapters", has_count, count)) return;
    for (HBA_UINT32 i = 0; i < count; ++i) test_adapter(run, e, i);
}

}  // namespace

int do_snia_test_display(std::FILE* out, std::uint32_t flags) {
    const bool common = (flags & INQ_SNIA_HBA_API) != 0;
    const bool specific = (flags & INQ_SNIA_HBA_SPECIFIC) != 0;
    if (common && specific) return 0;
    if (common) SIL_SNIA_SetUseHbaApiLibrary(1);
    if (specific) SIL_SNIA_SetUseHbaApiLibrary(0);

    const T_SIL_SNIA_CONTEXT* context = SIL_SNIA_GetContext();
    if (context == nullptr || context->total_adapters == 0) {
        std::fputs("!!! SNIA INITIALIZATION FAILED - THIS CONFIGURATION MAY BE UNSUPPORTED !!!\n", out);
        return 0;
    }
    Run run{out};
    for (int slot = 0; slot < SIL_SNIA_MAX_LIBRARIES; ++slot) {
        const T_SIL_SNIA_LIBRARY& library = context->libraries[slot];
        if (library.state == SIL_SNIA_LIB_INITIALIZED || library.state == SIL_SNIA_LIB_FAILED)
            test_library(run, library, slot);
    }
    std::fprintf(out, "\n%s\nTotal # HBAs  : %u\n", kLibraryRule.c_str(), run.tested);
    std::fputs("OVERALL STATUS: ", out);
    if (run.failed)
        std::fputs("!!! ONE OR MORE TESTS FAILED !!!\n", out);
    else if (run.tested == 0)
        std::fputs("!!! NO HBAS FOUND !!!\n", out);
    else
        std::fputs("PASSED\n", out);
    return 0;
}
