// Records the Solver exchanges with its plug-ins besides the node and agent
// tables (rules/tables.h): the transition verdict of a constraint checker and
// the lower bound's edges.
#pragma once

#include <cstddef>

#include "rules/tables.h"

namespace dulmar {

struct TransitionVerdict {
    bool feasible = true;
    double arrival_time = 0.0;
    bool has_arrival_time = false;
};

// One pair of the lower bound's edge list: u > v, cost the cheapest
// window-aware cost between them over all agent types.
struct MstEdge {
    size_t u = 0;
    size_t v = 0;
    double cost = 0.0;
};

}  // namespace dulmar
