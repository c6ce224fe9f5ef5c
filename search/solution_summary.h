// Summary block of the latest solution, refreshed at every goal.
#pragma once

#include <cstdint>

namespace dulmar {

struct SolutionSummary {
    int32_t found = 0;
    int32_t node_count = -1;
    int32_t agent_count = -1;
    int32_t type1_agents = -1;
    int32_t type0_agents = -1;
    int32_t two_type_nodes = -1;
    int32_t type0_nodes = -1;
    double sum_cost = -1.0;
    double max_cost = -1.0;
    double last_update_time = -1.0;
    double suboptimality_bound = -1.0;
};

}  // namespace dulmar
