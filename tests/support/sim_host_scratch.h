// Test support: simulated hosts started from files written to a scratch directory, or the one-line fault that refuses them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pds/platform.h"
#include "run_program.h"

namespace testsupport {

// The simulated host of `host_file`; a refusal fails the test.
inline std::unique_ptr<pds::Platform> start_sim(const std::string& host_file) {
    std::string error;
    auto sim = pds::make_sim_platform(host_file, error);
    EXPECT_NE(sim, nullptr) << error;
    return sim;
}

// The simulated host whose file holds `json`, written to `scratch`.
inline std::unique_ptr<pds::Platform> sim_host(const std::string& json, const Scratch& scratch = Scratch()) {
    return start_sim(scratch.put("host.json", json));
}

// The fault of a host file that must be refused, after the "simulated host file \"...\": " prefix.
// The message is one line.
inline std::string sim_fault(const std::string& json, const Scratch& scratch = Scratch()) {
    const std::string file = scratch.put("host.json", json);
    std::string error;
    EXPECT_EQ(pds::make_sim_platform(file, error), nullptr);
    const std::string prefix = "simulated host file \"" + file + "\": ";
    EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
    return error.size() >= prefix.size() ? error.substr(prefix.size()) : error;
}

}  // namespace testsupport
