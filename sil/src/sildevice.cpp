// Release of a device record and what it owns, and the bounded text copy into record fields.
#include "sildevice.h"

#include <cstring>

#include "silkorinq.h"
#include "silvendor.h"

namespace {

template <typename T>
void delete_record(T*& record) {
    delete record;
    record = nullptr;
}

template <typename T>
void delete_table(T*& table) {
    delete[] table;
    table = nullptr;
}

void delete_dravonis(T_DRAVONIS_DEVICE*& record) {
    if (record == nullptr) return;
    if (record->peers != nullptr) {
        for (std::int32_t i = 0; i < record->peer_count; ++i) delete record->peers[i];
        delete_table(record->peers);
    }
    delete_record(record);
}

void delete_ivantrel(T_IVANTREL_DEVICE*& record) {
    if (record == nullptr) return;
    delete_table(record->ip_addresses);
    delete_table(record->lun_name);
    delete_record(record);
}

}  // namespace

// Every present pointer is released, whatever the family flags say: a decoder may have hung a
// record on a device whose flag came from elsewhere (a virtual disk's backing array type), and a
// flag may be set with no record at all.
void free_device_data(T_SIL_DEVICE* dev) {
    if (dev == nullptr) return;
    delete_record(dev->inquiry_data);
    if (dev->inquiry == 1) dev->inquiry = 0;
    delete_dravonis(dev->drav_device);
    delete_dravonis(dev->olvessa_device);
    delete_record(dev->storwrks_device);
    delete_record(dev->hds_device);
    delete_record(dev->s80_device);
    delete_record(dev->shark_device);
    delete_ivantrel(dev->ivantrel_device);
    delete_record(dev->hsv_device);
    delete_record(dev->backing_device);
    delete_record(dev->netapp_device);
    delete_table(dev->path_info);
    dev->path_info_count = 0;
    delete_table(dev->device_identifier);
    delete_table(dev->virtual_device_map);
    dev->vdev_map_count = 0;
    delete_record(dev->tp_storage_device);
}

void free_device(T_SIL_DEVICE* dev) {
    if (dev == nullptr) return;
    free_device_data(dev);
    *dev = T_SIL_DEVICE{};
    delete dev;
}

bool sil_copy_text(char* field, std::size_t size, const char* text) {
    if (field == nullptr || size == 0) return text == nullptr || *text == '\0';
    if (text == nullptr) {
        field[0] = '\0';
        return true;
    }
    const void* nul = std::memchr(text, '\0', size);
    const std::size_t length = nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    const std::size_t copied = length < size ? length : size - 1;
    std::memcpy(field, text, copied);
    field[copied] = '\0';
    return copied == length;
}
