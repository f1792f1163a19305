// What the identity reports share: the first device, hex cells, the name column, BUG lines and the table frame.
#include <algorithm>
#include <string>
#include <string_view>

#include "inquiry_identity.h"
#include "sil/sillib.h"

const T_SIL_DEVICE* first_device(const T_SIL_DEVICE_LIST* list) {
    if (list == nullptr || list->devices == nullptr || list->count < 1) return nullptr;
    return list->devices[0];
}

void print_hex(std::FILE* out, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) std::fprintf(out, "%02x", byte);
}

void print_hex_prefix(std::FILE* out, std::span<const std::uint8_t> field, std::size_t length) {
    print_hex(out, field.first(std::min(length, field.size())));
}

std::size_t name_column_width(const T_SIL_DEVICE_LIST* list, std::size_t extra) {
    // device_name_width is the longest name, at least 8, plus one.
    return device_name_width(list) - 1 + extra;
}

void print_bug_line(std::FILE* out, const char* source_path, int line) {
    const std::string_view path = source_path;
    const std::size_t slash = path.find_last_of("/\\");
    const std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::fprintf(out, "BUG(%.*s:%d)\n", static_cast<int>(file.size()), file.data(), line);
}

int print_identity_table(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                         const T_DISPLAY_OPTIONS* opts, const T_IDENTITY_TABLE& table) {
    std::FILE* out = sil_out();
    const std::size_t width = name_column_width(list, 2);
    const std::string rule = dashes(width + table.dashes);
    std::fprintf(out, "\n%s\n%s%s\n%s\n", rule.c_str(), padded_name(table.label, width).c_str(),
                 table.columns, rule.c_str());
    int result = 0;
    bool stopped = false;
    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        if (stopped) return;
        const std::string name = field_text(dev.name);
        if (!table.is_make(dev)) {
            std::fprintf(out, table.not_make_format, name.c_str());
        } else if (!table.has_record(dev)) {
            if (table.missing_record != nullptr) {
                std::fputs(table.missing_record, out);
            } else {
                print_bug_line(out, table.bug_source, table.bug_line);
            }
        } else {
            std::fputs(padded_name(name, width).c_str(), out);
            table.print_cells(out, dev, *opts);
            return;
        }
        stopped = true;
        result = -1;
    });
    if (!stopped) std::fputs("\n", out);
    return result;
}
