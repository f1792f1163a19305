// A real SNIA HBA API vendor library for the tests (a shared object, or a DLL in the Windows build), serving the adapters of the JSON file $LUNSCAN_TEST_HBA_DATA.
//
// The data file is one library object as the simulated host's "hba_libraries" holds them
// (docs/host-file.md), read on the first call. Variants are built from this source:
//   HBA_VENDOR_V1_ONLY  exports HBA_RegisterLibrary only (no version-2 table, no SM-HBA);
//   HBA_VENDOR_STALE    every adapter's port attributes are stale until refreshed;
//   HBA_VENDOR_EMPTY    no adapters, whatever the file lists.
// A data file that cannot be used is reported once on standard error; the library then fails to
// load (HBA_LoadLibrary answers HBA_STATUS_ERROR) and knows no adapters.
#include "sim_hba_core.h"
#include "sim_hba_entry.h"
#include "sim_json_check.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#define HBA_VENDOR_EXPORT extern "C" __declspec(dllexport)
#else
#define HBA_VENDOR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using pds::hba::LibraryState;

LibraryState* load() {
    const char* path = std::getenv("LUNSCAN_TEST_HBA_DATA");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr, "test HBA library: LUNSCAN_TEST_HBA_DATA names no data file\n");
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "test HBA library: \"%s\" cannot be opened\n", path);
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        pds::hba::Library library = pds::hba::read_library(pds::sim::check::parse_document(text.str()), "");
#ifdef HBA_VENDOR_STALE
        library.stale_data_once = true;
#endif
#ifdef HBA_VENDOR_EMPTY
        library.adapters.clear();
#endif
        // Lives as long as the process: entry points may be called until the library is unloaded.
        return new LibraryState(std::move(library));
    } catch (const pds::sim::check::Fault& fault) {
        std::fprintf(stderr, "test HBA library: \"%s\": %s\n", path, fault.text.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "test HBA library: \"%s\": %s\n", path, e.what());
    }
    return nullptr;
}

LibraryState* state() {
    static LibraryState* const s = load();
    return s;
}

using Entries = pds::hba::EntryPoints<&state>;

}  // namespace

HBA_VENDOR_EXPORT HBA_STATUS HBA_RegisterLibrary(HBA_ENTRYPOINTS* table) { return Entries::register_v1(table); }

#ifndef HBA_VENDOR_V1_ONLY
HBA_VENDOR_EXPORT HBA_STATUS HBA_RegisterLibraryV2(HBA_ENTRYPOINTSV2* table) { return Entries::register_v2(table); }
HBA_VENDOR_EXPORT HBA_STATUS SMHBA_RegisterLibrary(SMHBA_ENTRYPOINTS* table) { return Entries::register_smhba(table); }
#endif
