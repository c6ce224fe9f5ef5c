#include "plugins/default_expansion.h"

#include <algorithm>
#include <limits>

namespace dulmar {

void DefaultExpansion::initialize(const std::vector<size_t>& end_nodes) {
    end_nodes_ = end_nodes;
    agent_count_ = end_nodes.size();
}

int64_t DefaultExpansion::select_agent(const SearchState& state) const {
    const size_t agents = std::min({agent_count_, state.agent_cost.size(), state.agent_done.size()});
    int64_t best = -1;
    // Starting at the largest finite double: an agent at or above it is never chosen.
    double best_cost = std::numeric_limits<double>::max();
    for (size_t i = 0; i < agents; ++i) {
        if (!state.agent_done[i] && state.agent_cost[i] < best_cost) {
            best = static_cast<int64_t>(i);
            best_cost = state.agent_cost[i];
        }
    }
    return best;
}

}  // namespace dulmar
