// -json on the demo host: every value of the inventory equals the cell the device tables show for it.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using nlohmann::json;
using Row = std::vector<std::string>;

std::string demo_host() { return std::string(LUNSCAN_SOURCE_DIR) + "/examples/demo-host.json"; }

std::string run(std::vector<std::string> args) {
    args.insert(args.begin(), {"-no_header", "-no_dots"});
    const testsupport::RunResult r = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", demo_host()}});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The rows of a table by device name, cells split at `sep` and trimmed; rows start with a name.
std::map<std::string, Row> rows(const std::string& out) {
    std::map<std::string, Row> table;
    for (const std::string& line : testsupport::lines_of(out)) {
        if (!line.starts_with("\\\\.\\")) continue;
        Row cells;
        for (std::size_t at = 0, next; at <= line.size(); at = next + 1) {
            next = std::min(line.find(':', at), line.size());
            cells.push_back(trim(line.substr(at, next - at)));
        }
        table[cells[0]] = cells;
    }
    return table;
}

// A table's cell for a JSON value: its placeholder stands for null.
std::string cell(const json& value, const std::string& placeholder) {
    if (value.is_null()) return placeholder;
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

TEST(JsonInventory, ValuesEqualTheTableCellsOfTheDemoHost) {
    const json doc = json::parse(run({"-json"}));
    const auto plain = rows(run({"-showvol", "-btl"}));
    const auto all = rows(run({"-all"}));
    const auto et = rows(run({"-et"}));
    const auto wwn = rows(run({"-wwn"}));
    const auto parent = rows(run({"-parent"}));
    const auto gk = rows(run({"-gk"}));
    const auto mapinfo = rows(run({"-mapinfo"}));
    ASSERT_EQ(doc["devices"].size(), plain.size());
    for (const json& d : doc["devices"]) {
        const std::string name = d["name"];
        SCOPED_TRACE(name);
        const Row& p = plain.at(name);  // name vendor product rev serial volume cap bus tid lun
        EXPECT_EQ(p[1], cell(d["vendor"], "----"));
        EXPECT_EQ(p[2], cell(d["product"], "----"));
        EXPECT_EQ(p[3], cell(d["revision"], "----"));
        EXPECT_EQ(p[4], cell(d["serial"], "----"));
        const json& cap = d["capacity"];
        EXPECT_EQ(p[6], cap["state"] == "failed" ? "FAILED" : cell(cap["kb"], "-----"));
        if (cap["state"] == "read") EXPECT_EQ(cap["kb"].get<long long>(), cap["blocks"].get<long long>() * cap["block_size"].get<long long>() / 1024);
        EXPECT_EQ(p[7], std::to_string(d["address"]["bus"].get<int>()));
        EXPECT_EQ(p[8], std::to_string(d["address"]["target"].get<int>()));
        EXPECT_EQ(p[9], std::to_string(d["address"]["lun"].get<int>()));
        EXPECT_EQ(all.at(name)[1], cell(d["inquiry_serial"], "--------"));
        const std::string w = wwn.at(name)[3];
        EXPECT_EQ(w == "N/A" || w.find_first_not_of('0') == std::string::npos ? "null" : w, cell(d["wwn"], "null"));
        const Row& m = mapinfo.at(name);  // name vendor prod rev serial cap bus tgt lun hba target parent
        EXPECT_EQ(m[4], cell(d["array_serial"], "N/A"));
        EXPECT_EQ(m[11], cell(d["parent"], "N/A"));
        EXPECT_EQ(gk.at(name)[1] == "(GK)", d["gatekeeper"].get<bool>());
        const Row& r = parent.at(name);  // name, then state and relation of multipath, native, veritas
        const char* kinds[] = {"multipath", "native", "veritas"};
        for (int k = 0; k < 3; ++k) {
            const json& rel = d["relations"][kinds[k]];
            const std::string state = rel["state"].is_null() ? "------" : "SIL_DEV_" + cell(rel["state"], "");
            std::string upper = state;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(r[1 + 2 * k], upper);
            EXPECT_EQ(r[2 + 2 * k], cell(rel["relation"], ""));
        }
        const json& a = d["array"];
        if (a.is_null()) {
            EXPECT_EQ(et.count(name), 0u);
            continue;
        }
        EXPECT_EQ(p[5], a["volume"]);
        const Row& x = all.at(name);  // name serial vendor product model rev bcv r? ckd sm cap blksz fc protection korv
        EXPECT_EQ(x[6], a["bcv"].get<bool>() ? "BCV" : "");
        EXPECT_EQ(x[7], cell(a["replication_role"], ""));
        EXPECT_EQ(x[8], a["ckd"].get<bool>() ? "CKD" : "");
        EXPECT_EQ(x[9], trim(std::string(a["shared"].get<bool>() ? "S" : " ") + (a["meta"].get<bool>() ? "M" : "")));
        EXPECT_EQ(x[12], a["attachment"] == "fibre" ? "FIBRE" : a["attachment"] == "ultra_scsi" ? "ULTRA" : "");
        std::string korv = d["array_serial"];
        if (korv.starts_with("00")) korv = korv.substr(2);
        EXPECT_EQ(x[14], korv);
        const Row& e = et.at(name);  // name serial bcv r ckd attach sm model protection wd dir-p udate
        EXPECT_EQ(e[1], d["serial"]);
        EXPECT_EQ(e[7], cell(a["model"], "-----"));
        EXPECT_EQ(e[8], a["protection"]);
        EXPECT_EQ(e[9], a["write_protected"].get<bool>() ? "WP" : "");
        EXPECT_EQ(e[10], a["director_port"]);
        EXPECT_EQ(e[11], a["microcode_date"]);
        EXPECT_EQ(e[4] == "CKD", a["ckd"].get<bool>());
    }
}

}  // namespace
