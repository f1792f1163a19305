// Plain C entry points over a LibraryState: the functions a caller of an SNIA HBA API library gets, by name (a common library) or in registration tables (a vendor library).
#pragma once

#include "sim_hba_core.h"

#include <cstring>

namespace pds::hba {

// The entry points of the library that `State()` answers for. C callers hold plain function
// pointers with no room for a context, so each library gets its own instantiation: the simulated
// host one per library slot, the test vendor library one for itself. A null state (a library
// whose data could not be read) answers HBA_STATUS_ERROR and knows no adapters.
template <LibraryState* (*State)()>
struct EntryPoints {
    static HBA_UINT32 get_version() { return State() != nullptr ? State()->get_version() : 0; }
    static HBA_STATUS load_library() { return State() != nullptr ? State()->load_library() : HBA_STATUS_ERROR; }
    static HBA_STATUS free_library() { return HBA_STATUS_OK; }
    static HBA_UINT32 number_of_adapters() { return State() != nullptr ? State()->number_of_adapters() : 0; }
    static HBA_STATUS adapter_name(HBA_UINT32 index, char* name) {
        return State() != nullptr ? State()->adapter_name(index, name) : HBA_STATUS_ERROR;
    }
    static HBA_HANDLE open_adapter(char* name) { return State() != nullptr ? State()->open_adapter(name) : 0; }
    static void close_adapter(HBA_HANDLE handle) {
        if (State() != nullptr) State()->close_adapter(handle);
    }
    static HBA_STATUS adapter_attributes(HBA_HANDLE handle, HBA_ADAPTERATTRIBUTES* out) {
        return State() != nullptr ? State()->adapter_attributes(handle, out) : HBA_STATUS_ERROR;
    }
    static HBA_STATUS port_attributes(HBA_HANDLE handle, HBA_UINT32 port, HBA_PORTATTRIBUTES* out) {
        return State() != nullptr ? State()->port_attributes(handle, port, out) : HBA_STATUS_ERROR;
    }
    static void refresh(HBA_HANDLE handle) {
        if (State() != nullptr) State()->refresh(handle);
    }
    static HBA_STATUS fcp_target_mapping(HBA_HANDLE handle, HBA_FCPTARGETMAPPING* out) {
        return State() != nullptr ? State()->fcp_target_mapping(handle, out) : HBA_STATUS_ERROR;
    }
    static HBA_STATUS fcp_target_mapping_v2(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_FCPTARGETMAPPINGV2* out) {
        return State() != nullptr ? State()->fcp_target_mapping_v2(handle, port_wwn, out) : HBA_STATUS_ERROR;
    }
    static HBA_UINT32 smhba_version() { return State() != nullptr ? State()->smhba_version() : 0; }
    static HBA_STATUS smhba_target_mapping(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_WWN domain, SMHBA_TARGETMAPPING* out) {
        return State() != nullptr ? State()->smhba_target_mapping(handle, port_wwn, domain, out) : HBA_STATUS_ERROR;
    }

    // Whether the library offers `e` at all (its data may leave entry points out; a library
    // without SM-HBA has none of the SM-HBA ones).
    static bool offers(Entry e) {
        const LibraryState* s = State();
        if (s == nullptr) return true;
        if (s->data().lacks(e)) return false;
        const bool smhba = e == Entry::SmhbaGetVersion || e == Entry::SmhbaGetTargetMapping || e == Entry::SmhbaRegisterLibrary;
        return !smhba || s->data().smhba_version != 0;
    }

    template <typename F>
    static F only_if(Entry e, F f) {
        return offers(e) ? f : nullptr;
    }

    // The version-1 part every table starts with.
    template <typename Table>
    static void fill_common(Table& t) {
        std::memset(&t, 0, sizeof t);
        t.GetVersionHandler = only_if(Entry::GetVersion, &get_version);
        t.LoadLibraryHandler = only_if(Entry::LoadLibrary, &load_library);
        t.FreeLibraryHandler = only_if(Entry::FreeLibrary, &free_library);
        t.GetNumberOfAdaptersHandler = only_if(Entry::GetNumberOfAdapters, &number_of_adapters);
        t.GetAdapterNameHandler = only_if(Entry::GetAdapterName, &adapter_name);
        t.OpenAdapterHandler = only_if(Entry::OpenAdapter, &open_adapter);
        t.CloseAdapterHandler = only_if(Entry::CloseAdapter, &close_adapter);
        t.GetAdapterAttributesHandler = only_if(Entry::GetAdapterAttributes, &adapter_attributes);
        t.GetAdapterPortAttributesHandler = only_if(Entry::GetAdapterPortAttributes, &port_attributes);
        t.RefreshInformationHandler = only_if(Entry::RefreshInformation, &refresh);
        t.GetFcpTargetMappingHandler = only_if(Entry::GetFcpTargetMapping, &fcp_target_mapping);
    }

    // Registration fails with the status pinned for it, the table untouched.
    static HBA_STATUS register_v1(HBA_ENTRYPOINTS* table) {
        const HBA_STATUS pinned = State() != nullptr ? State()->register_status(Entry::RegisterLibrary) : HBA_STATUS_ERROR;
        if (pinned != HBA_STATUS_OK) return pinned;
        if (table == nullptr) return HBA_STATUS_ERROR_ARG;
        fill_common(*table);
        return HBA_STATUS_OK;
    }
    static HBA_STATUS register_v2(HBA_ENTRYPOINTSV2* table) {
        const HBA_STATUS pinned = State() != nullptr ? State()->register_status(Entry::RegisterLibraryV2) : HBA_STATUS_ERROR;
        if (pinned != HBA_STATUS_OK) return pinned;
        if (table == nullptr) return HBA_STATUS_ERROR_ARG;
        fill_common(*table);
        table->GetFcpTargetMappingV2Handler = only_if(Entry::GetFcpTargetMappingV2, &fcp_target_mapping_v2);
        return HBA_STATUS_OK;
    }
    static HBA_STATUS register_smhba(SMHBA_ENTRYPOINTS* table) {
        const HBA_STATUS pinned = State() != nullptr ? State()->register_status(Entry::SmhbaRegisterLibrary) : HBA_STATUS_ERROR;
        if (pinned != HBA_STATUS_OK) return pinned;
        if (table == nullptr) return HBA_STATUS_ERROR_ARG;
        std::memset(table, 0, sizeof *table);
        table->GetVersionHandler = only_if(Entry::SmhbaGetVersion, &smhba_version);
        table->LoadLibraryHandler = only_if(Entry::LoadLibrary, &load_library);
        table->FreeLibraryHandler = only_if(Entry::FreeLibrary, &free_library);
        table->GetNumberOfAdaptersHandler = only_if(Entry::GetNumberOfAdapters, &number_of_adapters);
        table->GetAdapterNameHandler = only_if(Entry::GetAdapterName, &adapter_name);
        table->OpenAdapterHandler = only_if(Entry::OpenAdapter, &open_adapter);
        table->CloseAdapterHandler = only_if(Entry::CloseAdapter, &close_adapter);
        table->GetTargetMappingHandler = only_if(Entry::SmhbaGetTargetMapping, &smhba_target_mapping);
        return HBA_STATUS_OK;
    }

    // What a common library exports under `name`: the entry points themselves.
    static void* common_symbol(const char* name) {
        static const std::pair<Entry, void*> kExports[] = {
            {Entry::GetVersion, as_symbol(&get_version)},
            {Entry::LoadLibrary, as_symbol(&load_library)},
            {Entry::FreeLibrary, as_symbol(&free_library)},
            {Entry::GetNumberOfAdapters, as_symbol(&number_of_adapters)},
            {Entry::GetAdapterName, as_symbol(&adapter_name)},
            {Entry::OpenAdapter, as_symbol(&open_adapter)},
            {Entry::CloseAdapter, as_symbol(&close_adapter)},
            {Entry::GetAdapterAttributes, as_symbol(&adapter_attributes)},
            {Entry::GetAdapterPortAttributes, as_symbol(&port_attributes)},
            {Entry::RefreshInformation, as_symbol(&refresh)},
            {Entry::GetFcpTargetMapping, as_symbol(&fcp_target_mapping)},
            {Entry::GetFcpTargetMappingV2, as_symbol(&fcp_target_mapping_v2)},
            {Entry::SmhbaGetVersion, as_symbol(&smhba_version)},
            {Entry::SmhbaGetTargetMapping, as_symbol(&smhba_target_mapping)},
        };
        return lookup(kExports, name);
    }

    // What a vendor library exports under `name`: its registration functions.
    static void* vendor_symbol(const char* name) {
        static const std::pair<Entry, void*> kExports[] = {
            {Entry::RegisterLibrary, as_symbol(&register_v1)},
            {Entry::RegisterLibraryV2, as_symbol(&register_v2)},
            {Entry::SmhbaRegisterLibrary, as_symbol(&register_smhba)},
        };
        return lookup(kExports, name);
    }

private:
    template <typename F>
    static void* as_symbol(F f) {
        return reinterpret_cast<void*>(f);  // what GetProcAddress and dlsym hand out
    }

    template <std::size_t N>
    static void* lookup(const std::pair<Entry, void*> (&exports)[N], const char* name) {
        if (name == nullptr) return nullptr;
        for (const auto& [e, f] : exports) {
            if (entry_name(e) == name) return offers(e) ? f : nullptr;
        }
        return nullptr;
    }
};

}  // namespace pds::hba
