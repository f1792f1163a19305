// Tests of the single-device WWN reports on hand-built records: the Shark, Compaq and NetApp decoders that would fill them are not there yet.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "inquiry.h"
#include "sil/silvendor.h"

namespace {

// The report's first lines for a device of `make`.
std::string heading(const std::string& make) {
    return make + " Device WWN and Unit Serial Number\n" + std::string(51, '-') + "\nDevice:  \\\\.\\PHYSICALDRIVE2\n";
}

// What `report` prints for a list of one device, \\.\PHYSICALDRIVE2.
std::string report(void (*report)(std::FILE*, const T_SIL_DEVICE_LIST*), T_SIL_DEVICE& dev) {
    std::strcpy(dev.name, "\\\\.\\PHYSICALDRIVE2");
    T_SIL_DEVICE* slot[1] = {&dev};
    T_SIL_DEVICE_LIST list{slot, 1};
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return "<no temporary file>";
    report(file, &list);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

TEST(WwnReports, Shark) {
    T_IBM_SHARK_DEVICE shark{};
    const std::uint8_t wwn[] = {0x60, 0x05, 0x07, 0x63, 0x03, 0xff, 0xc0, 0xb9};
    std::memcpy(shark.wwn, wwn, sizeof wwn);
    shark.wwn_len = sizeof wwn;
    std::strcpy(shark.serial, "75ABC123");
    T_SIL_DEVICE dev{};
    std::memcpy(dev.dev_serial, "0123456789", 10);  // the whole field, no NUL
    dev.is_shark = 1;
    dev.shark_device = &shark;
    EXPECT_EQ(report(do_shark_dev_display, dev),
              heading("SHARK") +
                  "Array Serial Number:  75ABC123        \n"
                  "Dev Serial Number:  0123456789      \n"
                  "Array WWN: 6005076303ffc0b9\n\n");
    shark.wwn_len = 200;  // a length beyond the field prints the field only
    std::memset(shark.wwn, 0xab, sizeof shark.wwn);
    std::string ab;
    for (int i = 0; i < 32; ++i) ab += "ab";
    const std::string text = report(do_shark_dev_display, dev);
    EXPECT_EQ(text.substr(text.find("Array WWN: ")), "Array WWN: " + ab + "\n\n");
}

TEST(WwnReports, CompaqWwnIsCutAtItsField) {
    T_COMPAQ_HSV_DEVICE hsv{};
    T_SIL_DEVICE dev{};
    dev.is_hsv = 1;
    dev.hsv_device = &hsv;
    EXPECT_EQ(report(do_compaq_dev_display, dev), heading("COMPAQ") + "Array WWN: \n\n");  // empty WWN
    hsv.wwn_len = 3;
    const std::uint8_t wwn[] = {0x50, 0x01, 0x4f, 0xee};
    std::memcpy(hsv.wwn, wwn, sizeof wwn);
    EXPECT_EQ(report(do_compaq_dev_display, dev), heading("COMPAQ") + "Array WWN: 50014f\n\n");
    hsv.wwn_len = 0xFFFFFFFF;  // 16 bytes at most: 32 hex digits
    EXPECT_EQ(report(do_compaq_dev_display, dev).size(), heading("COMPAQ").size() + 11 + 32 + 2);
}

TEST(WwnReports, NetApp) {
    T_NETAPP_DEVICE netapp{};
    netapp.wwn_len = 16;
    for (int i = 0; i < 16; ++i) netapp.wwn[i] = static_cast<std::uint8_t>(0xf0 + i);
    netapp.serial_len = 13;
    std::strcpy(netapp.serial, "hp0D7JXkV9Fa");
    T_SIL_DEVICE dev{};
    dev.is_netapp = 1;
    dev.netapp_device = &netapp;
    EXPECT_EQ(report(do_netapp_dev_display, dev),
              heading("NETAPP") + "Serial Number:  hp0D7JXkV9Fa\n"
                  "Array WWN: f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff\n\n");
}

}  // namespace
