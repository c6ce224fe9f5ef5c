// Outcome of one search, or one anytime snapshot of it. Routes and costs are
// keyed by agent index and hold node indices (positions in the node list).
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/stop_reason.h"

namespace dulmar {

struct Result {
    std::unordered_map<int64_t, std::vector<int64_t>> paths;
    std::unordered_map<int64_t, double> times;
    int64_t n_generated = 0;
    int64_t n_expanded = 0;
    // Statistics slots that are only carried along: finish_code becomes -1
    // when a search ends, the others keep their initial values.
    int64_t finish_code = 0;
    int64_t spare_count = 0;
    double spare_value = 0.0;
    double search_cpu_time = 0.0;
    bool timeout = false;
    double spare_low = -1.0;
    double spare_high = -1.0;
    double last_update_time = 0.0;
    // Iterations the improvement stage ran (0 without it).
    int64_t improve_iterations = 0;
    // Why the solve ended; set on the copy Solver::get_result hands out.
    StopReason stop_reason = StopReason::None;
};

}  // namespace dulmar
