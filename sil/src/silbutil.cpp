// Sorting and small utilities of the device list: the quicksort, the three comparators and the major/minor numbers.
#include "silbutil.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "sildebug.h"
#include "silinitl.h"
#include "sil/silkordecode.h"

namespace {

using Index = std::ptrdiff_t;

// The element storage seen as bytes, with the swap buffer the sort takes once.
struct Elements {
    unsigned char* base;
    std::size_t size;
    SIL_COMPARE_FUNC compare;
    unsigned char* spare;

    unsigned char* at(Index i) const { return base + static_cast<std::size_t>(i) * size; }
    int cmp(Index a, Index b) const { return compare(at(a), at(b)); }
    void swap(Index a, Index b) const {
        if (a == b) return;
        std::memcpy(spare, at(a), size);
        std::memcpy(at(a), at(b), size);
        std::memcpy(at(b), spare, size);
    }
};

// Partitions [lo, hi] around the median of lo, mid and hi (moved to hi first); returns the
// pivot's final place.
Index partition(const Elements& e, Index lo, Index hi) {
    if (hi - lo >= 2) {
        const Index mid = (lo + hi) / 2;
        if (e.cmp(lo, mid) > 0) e.swap(lo, mid);
        if (e.cmp(lo, hi) > 0) e.swap(lo, hi);
        if (e.cmp(mid, hi) > 0) e.swap(mid, hi);
        e.swap(mid, hi);
    }
    Index i = lo - 1;
    Index j = hi;
    for (;;) {
        do {
            ++i;
        } while (i < hi && e.cmp(i, hi) < 0);
        do {
            --j;
        } while (j > lo && e.cmp(hi, j) < 0);
        if (i >= j) break;
        e.swap(i, j);
    }
    e.swap(i, hi);
    return i;
}

// The smaller side is sorted by recursion and the larger one by the loop, so the depth stays
// logarithmic whatever the data.
void sort_range(const Elements& e, Index lo, Index hi) {
    while (lo < hi) {
        const Index p = partition(e, lo, hi);
        if (p - lo >= hi - p) {
            sort_range(e, p + 1, hi);
            hi = p - 1;
        } else {
            sort_range(e, lo, p - 1);
            lo = p + 1;
        }
    }
}

const T_SIL_DEVICE* entry(const void* p) { return *static_cast<const T_SIL_DEVICE* const*>(p); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The decimal number starting at `text`; it saturates rather than overflow, since names can come
// from outside (the multipathing driver's, a device file) with digit runs of any length.
std::int64_t number_at(std::string_view text) {
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    std::int64_t n = 0;
    for (std::size_t i = 0; i < text.size() && is_digit(text[i]); ++i) {
        n = n * 10 + (text[i] - '0');
        if (n > kCap) n = kCap;
    }
    return n;
}

// strncmp over two byte ranges of equal length.
int compare_text(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) return int{a[i]} - int{b[i]};
        if (a[i] == 0) break;
    }
    return 0;
}

int clamp_to_int(std::int64_t v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < -INT_MAX) return -INT_MAX;
    return static_cast<int>(v);
}

}  // namespace

std::int32_t SIL_qsort(void* base, std::size_t count, std::size_t element_size, SIL_COMPARE_FUNC compare,
                       std::uint64_t trace_ctx) {
    SIL_FUNCTION("SIL_qsort");
    (void)trace_ctx;
    std::unique_ptr<unsigned char[]> spare(new (std::nothrow) unsigned char[element_size == 0 ? 1 : element_size]());
    if (!spare) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc failed with errno = %d", ENOMEM);
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    if (base == nullptr || compare == nullptr || count < 2) SIL_RETURN(SIL_OK);
    const Elements e{static_cast<unsigned char*>(base), element_size, compare, spare.get()};
    sort_range(e, 0, static_cast<Index>(count) - 1);
    SIL_RETURN(SIL_OK);
}

int sil_compare_device_names(const char* a, const char* b) {
    std::size_t k = 0;
    while (a[k] != '\0' && a[k] == b[k]) ++k;
    if (a[k] == b[k]) return 0;
    const int char_difference = static_cast<unsigned char>(a[k]) - static_cast<unsigned char>(b[k]);
    const bool digit_a = is_digit(a[k]);
    const bool digit_b = is_digit(b[k]);
    if (!digit_a && !digit_b) return char_difference;
    // Back to the start of the digit run the difference falls in; the prefix is common to both.
    std::size_t start = k;
    while (start > 0 && is_digit(a[start - 1])) --start;
    const std::int64_t number_a = number_at(a + start);
    const std::int64_t number_b = number_at(b + start);
    std::int64_t result;
    if (!digit_a) {
        result = -(number_b + 1);
    } else if (digit_b) {
        result = number_a - number_b;
    } else {
        result = number_a + 1;
    }
    return result != 0 ? clamp_to_int(result) : char_difference;
}

int sort_device_name(const void* a, const void* b) {
    return sil_compare_device_names(entry(a)->name, entry(b)->name);
}

int sort_korv_serial_num(const void* a, const void* b) { return std::memcmp(entry(a)->korid, entry(b)->korid, 12); }

int sort_device_serial_num(const void* a, const void* b) {
    const T_SIL_DEVICE* da = entry(a);
    const T_SIL_DEVICE* db = entry(b);
    const bool valid_a = da->inquiry == 1 && da->inquiry_data != nullptr;
    const bool valid_b = db->inquiry == 1 && db->inquiry_data != nullptr;
    if (!valid_a || !valid_b) return static_cast<int>(valid_a) - static_cast<int>(valid_b);
    return compare_text(sil_inquiry_serial_text(da->inquiry_data), sil_inquiry_serial_text(db->inquiry_data));
}

std::int32_t get_major_minor(T_SIL_DEVICE* device) {
    SIL_FUNCTION("get_major_minor");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    const std::string_view name(device->name, strnlen(device->name, sizeof device->name));
    const std::size_t first_digit = name.find_first_of("0123456789");
    if (first_digit == std::string_view::npos) {
        device->major = -1;
        device->minor = -1;
        SIL_RETURN(SIL_OK);
    }
    const std::int64_t number = number_at(name.substr(first_digit));
    device->major = number > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(number);
    device->minor = 0;
    SIL_RETURN(SIL_OK);
}
