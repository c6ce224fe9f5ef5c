#include "plugins/objectives.h"

#include <algorithm>

namespace dulmar {

double DefaultObjective::evaluate_costs(const std::vector<double>& costs) const {
    if (costs.empty()) return 0.0;
    double largest = costs[0];
    for (double cost : costs) {
        if (cost > largest) largest = cost;
    }
    return largest;
}

double DefaultObjective::evaluate_state(const SearchState& state, int64_t active, double h) const {
    const double g = evaluate_costs(state.agent_cost);
    if (active <= 0) return g;
    double unfinished = 0.0;
    const size_t agents = std::min(state.agent_cost.size(), state.agent_done.size());
    for (size_t i = 0; i < agents; ++i) {
        if (!state.agent_done[i]) unfinished += state.agent_cost[i];
    }
    return std::max(g, (h + unfinished) / static_cast<double>(active));
}

double MinSumObjective::evaluate_costs(const std::vector<double>& costs) const {
    double sum = 0.0;
    for (double cost : costs) sum += cost;
    return sum;
}

double MinSumObjective::evaluate_state(const SearchState& state, int64_t, double h) const {
    return evaluate_costs(state.agent_cost) + h;
}

}  // namespace dulmar
