// The node and agent tables by index, as the Solver's set-up builds them
// from a Problem, and time windows by node index. Every stage reads them
// through the prepared instance; the plug-in interfaces hand them over too.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace dulmar {

struct NodeRecord {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    size_t id = 0;
    std::vector<size_t> allowed_types;  // ascending type numbers that may visit the node
    // Time spent at the node and the quantity it takes; the Solver's set-up
    // leaves both 0 at every agent's start and end node.
    double service = 0.0;
    double demand = 0.0;
};

struct AgentRecord {
    size_t id = 0;
    size_t type = 0;  // type number; all bits set when the problem gave the agent none
    double capacity_limit = 0.0;  // 0: no limit, and none unless capacity is enforced
    double time_limit = 0.0;  // 0 or less: no limit
};

struct TimeWindow {
    double start = 0.0;
    double end = 0.0;
};

// node index -> window
using TimeWindowMap = std::unordered_map<size_t, TimeWindow>;

}  // namespace dulmar
