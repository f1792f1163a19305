// Tests of the device list's sorting: SIL_qsort against a model of its partition scheme, the comparators, major/minor.
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "silbutil.h"
#include "silfindd_int.h"
#include "silkorinq.h"

namespace {

// ---- the model: the partition scheme written out on plain keys ----------------------------------
struct Item {
    int key;
    int id;
};

void model_quicksort(std::vector<Item>& v, long lo, long hi) {
    if (lo >= hi) return;
    if (hi - lo >= 2) {
        const long mid = (lo + hi) / 2;
        if (v[lo].key > v[mid].key) std::swap(v[lo], v[mid]);
        if (v[lo].key > v[hi].key) std::swap(v[lo], v[hi]);
        if (v[mid].key > v[hi].key) std::swap(v[mid], v[hi]);
        std::swap(v[mid], v[hi]);
    }
    const int pivot = v[hi].key;
    long i = lo - 1;
    long j = hi;
    for (;;) {
        ++i;
        while (i < hi && v[i].key < pivot) ++i;
        --j;
        while (j > lo && pivot < v[j].key) --j;
        if (i >= j) break;
        std::swap(v[i], v[j]);
    }
    std::swap(v[i], v[hi]);
    // The sides are disjoint, so the order they are sorted in cannot change the result.
    model_quicksort(v, lo, i - 1);
    model_quicksort(v, i + 1, hi);
}

std::vector<int> model_order(const std::vector<int>& keys) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < keys.size(); ++i) items.push_back({keys[i], static_cast<int>(i)});
    model_quicksort(items, 0, static_cast<long>(items.size()) - 1);
    std::vector<int> ids;
    for (const Item& it : items) ids.push_back(it.id);
    return ids;
}

int compare_items(const void* a, const void* b) {
    return static_cast<const Item*>(a)->key - static_cast<const Item*>(b)->key;
}

TEST(SilQsort, MatchesTheModelOnRandomArraysWithRepeatedKeys) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 70)(rng);
        const int distinct = std::uniform_int_distribution<int>(1, 8)(rng);
        std::vector<int> keys(n);
        for (int& k : keys) k = std::uniform_int_distribution<int>(0, distinct)(rng);

        std::vector<Item> items;
        for (std::size_t i = 0; i < n; ++i) items.push_back({keys[i], static_cast<int>(i)});
        ASSERT_EQ(SIL_qsort(items.data(), items.size(), sizeof(Item), compare_items, 0), 0);
        std::vector<int> ids;
        for (const Item& it : items) ids.push_back(it.id);
        ASSERT_EQ(ids, model_order(keys)) << "round " << round << ", " << n << " elements";
    }
}

TEST(SilQsort, EqualElementsAreReorderedAsTheSchemeSays) {
    // Two equal keys: the second is the pivot, the scan stops at once on the first, and the final
    // swap exchanges them.
    EXPECT_EQ(model_order({5, 5}), (std::vector<int>{1, 0}));
    std::vector<Item> items{{5, 0}, {5, 1}};
    ASSERT_EQ(SIL_qsort(items.data(), 2, sizeof(Item), compare_items, 0), 0);
    EXPECT_EQ(items[0].id, 1);
    EXPECT_EQ(items[1].id, 0);
}

// ---- comparators over device records ------------------------------------------------------------
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
    ~Records() {
        for (auto& d : owned) free_device_data(d.get());
    }
};

int by_name(const char* a, const char* b) {
    T_SIL_DEVICE da{};
    T_SIL_DEVICE db{};
    sil_copy_text(da.name, a);
    sil_copy_text(db.name, b);
    T_SIL_DEVICE* pa = &da;
    T_SIL_DEVICE* pb = &db;
    return sort_device_name(&pa, &pb);
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(SortDeviceName, OrdersNumbersByValue) {
    EXPECT_LT(by_name("\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE10"), 0);
    EXPECT_GT(by_name("\\\\.\\PHYSICALDRIVE10", "\\\\.\\PHYSICALDRIVE2"), 0);
    EXPECT_LT(by_name("disk1", "disk10"), 0);
    EXPECT_GT(by_name("disk10", "disk1"), 0);
    EXPECT_LT(by_name("disk", "disk1"), 0);
    EXPECT_LT(by_name("disk9x", "disk10"), 0);
    EXPECT_EQ(by_name("\\\\.\\PHYSICALDRIVE3", "\\\\.\\PHYSICALDRIVE3"), 0);
    EXPECT_LT(by_name("LOCALHOST", "\\\\.\\PHYSICALDRIVE0"), 0);  // 'L' is below '\'
    EXPECT_EQ(sign(by_name("a", "b")), -1);
}

TEST(SortDeviceName, EqualNumbersFallBackToTheCharacters) {
    // "01" and "1" read the same number; the differing characters decide.
    EXPECT_LT(by_name("d01", "d1"), 0);
    EXPECT_GT(by_name("d1", "d01"), 0);
    const char* names[] = {"d01", "d1", "disk", "disk1", "disk10", "disk2", "x", "\\\\.\\PHYSICALDRIVE10"};
    for (const char* a : names) {
        for (const char* b : names) EXPECT_EQ(sign(by_name(a, b)), -sign(by_name(b, a))) << a << " / " << b;
    }
}

TEST(SortDeviceName, SortsAListOfDisksNaturally) {
    Records r;
    for (const char* n : {"\\\\.\\PHYSICALDRIVE10", "\\\\.\\PHYSICALDRIVE1", "\\\\.\\PHYSICALDRIVE0",
                          "\\\\.\\PHYSICALDRIVE2", "STRNDDISK0", "localhost:4220==KORVWIN"}) {
        r.add(n);
    }
    ASSERT_EQ(SIL_qsort(r.list.data(), r.list.size(), sizeof(T_SIL_DEVICE*), sort_device_name, 0), 0);
    EXPECT_EQ(r.names(), (std::vector<std::string>{"STRNDDISK0", "\\\\.\\PHYSICALDRIVE0", "\\\\.\\PHYSICALDRIVE1",
                                                   "\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE10",
                                                   "localhost:4220==KORVWIN"}));
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
    T_SIL_DEVICE* failed = r.add("d");
    failed->inquiry = 2;
    ASSERT_EQ(SIL_qsort(r.list.data(), r.list.size(), sizeof(T_SIL_DEVICE*), sort_device_serial_num, 0), 0);
    EXPECT_EQ(r.list[2]->name, std::string("c"));
    EXPECT_EQ(r.list[3]->name, std::string("a"));
    EXPECT_EQ(sort_device_serial_num(&r.list[0], &r.list[1]), 0);
}

// Sort mode 6: a full sort by array serial, then a full sort by device serial. Keys repeat, so the
// final order also depends on the first sort having run.
TEST(PostprocessSort, ModeSixSortsByArraySerialThenDeviceSerial) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        Records r;
        const std::size_t n = std::uniform_int_distribution<std::size_t>(2, 25)(rng);
        std::vector<int> korids(n), serials(n);
        for (std::size_t i = 0; i < n; ++i) {
            T_SIL_DEVICE* d = r.add(("dev" + std::to_string(i)).c_str());
            korids[i] = std::uniform_int_distribution<int>(0, 3)(rng);
            serials[i] = std::uniform_int_distribution<int>(0, 3)(rng);
            std::snprintf(d->korid, sizeof d->korid, "00019010%04d", korids[i]);
            char serial[9];
            std::snprintf(serial, sizeof serial, "%08d", serials[i]);
            give_serial(d, serial);
        }

        std::vector<int> after_korid = model_order(korids);
        std::vector<int> serial_keys;
        for (int id : after_korid) serial_keys.push_back(serials[id]);
        std::vector<std::string> expected;
        for (int pos : model_order(serial_keys)) expected.push_back("dev" + std::to_string(after_korid[pos]));

        T_SIL_DEVICE_LIST list{r.list.data(), static_cast<std::int32_t>(n)};
        create_dev_list options{};
        options.sort = 6;
        ASSERT_EQ(SIL_DLP_Postprocess(&list, &options, 0), 0);
        ASSERT_EQ(r.names(), expected) << "round " << round;
    }
}

TEST(PostprocessSort, MinusOneLeavesTheOrder) {
    Records r;
    r.add("disk10");
    r.add("disk2");
    T_SIL_DEVICE_LIST list{r.list.data(), 2};
    create_dev_list options{};
    options.sort = -1;
    ASSERT_EQ(SIL_DLP_Postprocess(&list, &options, 0), 0);
    EXPECT_EQ(r.names(), (std::vector<std::string>{"disk10", "disk2"}));
}

TEST(GetMajorMinor, TakesTheFirstNumberOfTheName) {
    Records r;
    T_SIL_DEVICE* drive = r.add("\\\\.\\PHYSICALDRIVE12");
    T_SIL_DEVICE* two = r.add("sd3x4");
    T_SIL_DEVICE* none = r.add("localhost==KORVWIN");
    T_SIL_DEVICE_LIST list{r.list.data(), 3};
    create_dev_list options{};
    options.sort = -1;
    options.find_major_minor = 1;
    ASSERT_EQ(SIL_DLP_Postprocess(&list, &options, 0), 0);
    EXPECT_EQ(drive->major, 12);
    EXPECT_EQ(drive->minor, 0);
    EXPECT_EQ(two->major, 3);
    EXPECT_EQ(none->major, -1);
    EXPECT_EQ(none->minor, -1);
}

}  // namespace
