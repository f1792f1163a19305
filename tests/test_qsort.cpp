// Tests of the device list's sorting: SIL_qsort's order and its tie orders, the comparators, the post-process sorts.
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "silbutil.h"
#include "silfindd_int.h"
#include "silkorinq.h"

namespace {

struct Item {
    int key;
    int id;
};

int compare_items(const void* a, const void* b) {
    return static_cast<const Item*>(a)->key - static_cast<const Item*>(b)->key;
}

// The ids in the order SIL_qsort leaves items keyed `keys` (item i has id i).
std::vector<int> sorted_ids(const std::vector<int>& keys) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < keys.size(); ++i) items.push_back({keys[i], static_cast<int>(i)});
    EXPECT_EQ(SIL_qsort(items.data(), items.size(), sizeof(Item), compare_items, 0), 0);
    std::vector<int> ids;
    for (const Item& it : items) ids.push_back(it.id);
    return ids;
}

TEST(SilQsort, SortsAndKeepsEveryElementOnRandomArraysWithRepeatedKeys) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2000; ++round) {
        std::vector<int> keys(std::uniform_int_distribution<std::size_t>(0, 70)(rng));
        const int distinct = std::uniform_int_distribution<int>(1, 8)(rng);
        for (int& k : keys) k = std::uniform_int_distribution<int>(0, distinct)(rng);
        std::vector<int> ids = sorted_ids(keys);
        for (std::size_t i = 1; i < ids.size(); ++i) ASSERT_LE(keys[ids[i - 1]], keys[ids[i]]) << "round " << round;
        std::sort(ids.begin(), ids.end());
        for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], static_cast<int>(i)) << "round " << round;
    }
}

// Worked through the partition by hand: two equal keys, the second is the pivot, the scan stops at
// once on the first and the final swap exchanges them. Three: the median step moves the middle one
// last, the scans meet after one exchange, and the pivot lands in the middle.
TEST(SilQsort, TieOrdersOfThePartitionScheme) {
    EXPECT_EQ(sorted_ids({5, 5}), (std::vector<int>{1, 0}));
    EXPECT_EQ(sorted_ids({1, 1, 1}), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(sorted_ids({2, 1, 1}), (std::vector<int>{2, 1, 0}));
}

struct Records {
    std::vector<std::unique_ptr<T_SIL_DEVICE>> owned;
    std::vector<T_SIL_DEVICE*> list;

    T_SIL_DEVICE* add(const char* name) {
        owned.push_back(std::make_unique<T_SIL_DEVICE>());
        sil_copy_text(owned.back()->name, name);
        list.push_back(owned.back().get());
        return list.back();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const T_SIL_DEVICE* d : list) out.emplace_back(d->name);
        return out;
    }
    int postprocess(int sort, int major_minor = 0) {
        T_SIL_DEVICE_LIST dl{list.data(), static_cast<std::int32_t>(list.size())};
        create_dev_list options{};
        options.sort = sort;
        options.find_major_minor = major_minor;
        return SIL_DLP_Postprocess(&dl, &options, 0);
    }
    ~Records() {
        for (auto& d : owned) free_device_data(d.get());
    }
};

int sign(int v) { return (v > 0) - (v < 0); }

TEST(SortDeviceName, NumbersByValueThenTheCharacters) {
    const struct {
        const char *a, *b;
        int order;
    } rows[] = {
        {"\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE10", -1},
        {"disk", "disk1", -1},
        {"disk9x", "disk10", -1},
        {"\\\\.\\PHYSICALDRIVE3", "\\\\.\\PHYSICALDRIVE3", 0},
        {"LOCALHOST", "\\\\.\\PHYSICALDRIVE0", -1},  // 'L' is below '\'
        {"d01", "d1", -1},                           // the same number: the characters decide
    };
    for (const auto& row : rows) {
        Records r;
        T_SIL_DEVICE* a = r.add(row.a);
        T_SIL_DEVICE* b = r.add(row.b);
        EXPECT_EQ(sign(sort_device_name(&a, &b)), row.order) << row.a << " / " << row.b;
        EXPECT_EQ(sign(sort_device_name(&b, &a)), -row.order) << row.b << " / " << row.a;
    }
}

void give_serial(T_SIL_DEVICE* d, const char* serial8) {
    d->inquiry_data = new KOR_INQ_PAGE0{};
    d->inquiry = 1;
    std::memcpy(d->inquiry_data->dev_serial_chars, serial8, 2);
    std::memcpy(d->inquiry_data->dev_num3, serial8 + 2, 3);
    std::memcpy(d->inquiry_data->director_text, serial8 + 5, 2);
    d->inquiry_data->port_text = serial8[7];
}

TEST(SortDeviceSerial, DevicesWithoutInquiryComeFirst) {
    Records r;
    give_serial(r.add("a"), "34000123");
    r.add("b");  // no INQUIRY data
    give_serial(r.add("c"), "12000123");
    r.add("d")->inquiry = 2;
    ASSERT_EQ(SIL_qsort(r.list.data(), r.list.size(), sizeof(T_SIL_DEVICE*), sort_device_serial_num, 0), 0);
    EXPECT_EQ(r.list[2]->name, std::string("c"));
    EXPECT_EQ(r.list[3]->name, std::string("a"));
    EXPECT_EQ(sort_device_serial_num(&r.list[0], &r.list[1]), 0);
}

// Sort mode 6 sorts by array serial, then the result by device serial. Worked by hand: array serials
// 2, 1, 1 of A, B, C sort to C, B, A (as {2, 1, 1} above); device serials 0, 1, 1 of those then keep
// C first and exchange the tied B and A twice: C, B, A.
TEST(PostprocessSort, ModeSixSortsByArraySerialThenDeviceSerial) {
    Records r;
    const char* rows[][3] = {{"A", "000190100002", "00000001"}, {"B", "000190100001", "00000001"},
                             {"C", "000190100001", "00000000"}};
    for (const auto& row : rows) {
        T_SIL_DEVICE* d = r.add(row[0]);
        std::snprintf(d->korid, sizeof d->korid, "%s", row[1]);
        give_serial(d, row[2]);
    }
    ASSERT_EQ(r.postprocess(6), 0);
    EXPECT_EQ(r.names(), (std::vector<std::string>{"C", "B", "A"}));
}

TEST(PostprocessSort, MinusOneLeavesTheOrderAndMajorMinorTakesTheFirstNumber) {
    Records r;
    T_SIL_DEVICE* drive = r.add("\\\\.\\PHYSICALDRIVE12");
    T_SIL_DEVICE* two = r.add("sd3x4");
    T_SIL_DEVICE* none = r.add("localhost==KORVWIN");
    ASSERT_EQ(r.postprocess(-1, 1), 0);
    EXPECT_EQ(r.names(), (std::vector<std::string>{"\\\\.\\PHYSICALDRIVE12", "sd3x4", "localhost==KORVWIN"}));
    EXPECT_EQ(std::make_pair(drive->major, drive->minor), std::make_pair(12, 0));
    EXPECT_EQ(two->major, 3);
    EXPECT_EQ(std::make_pair(none->major, none->minor), std::make_pair(-1, -1));
}

}  // namespace
