#include "search/frontier.h"

#include <stdexcept>
#include <string>

namespace dulmar {

Frontier::Frontier(MemoryMeter* meter)
    : g_values(CountingAllocator<double>(meter)),
      visited(CountingAllocator<VisitedSet>(meter)),
      costs(CountingAllocator<double>(meter)),
      load_values(CountingAllocator<double>(meter)),
      charge(meter, sizeof(Frontier)) {}

void Frontier::require_agents(const SearchState& state) const {
    if (!g_values.empty() && state.agent_cost.size() != agents) {
        throw std::invalid_argument("cannot compare states with " + std::to_string(agents) + " and " +
                                    std::to_string(state.agent_cost.size()) + " agent costs");
    }
    if (!g_values.empty() && state.extra_values.size() != loads) {
        throw std::invalid_argument("cannot compare states with " + std::to_string(loads) + " and " +
                                    std::to_string(state.extra_values.size()) + " loads");
    }
}

// Same verdict as dominates(stored k, state); the cheap tests go first.
bool Frontier::stored_dominates(size_t k, const SearchState& state) const {
    if (!(g_values[k] <= state.g_value)) return false;
    if (!state.visited.is_subset_of(visited[k])) return false;
    const double* stored_costs = costs.data() + k * agents;
    for (size_t i = 0; i < agents; ++i) {
        if (stored_costs[i] > state.agent_cost[i]) return false;
    }
    const double* stored_loads = load_values.data() + k * loads;
    for (size_t i = 0; i < loads; ++i) {
        if (stored_loads[i] > state.extra_values[i]) return false;
    }
    return true;
}

// Same verdict as dominates(state, stored k).
bool Frontier::dominates_stored(const SearchState& state, size_t k) const {
    if (!(state.g_value <= g_values[k])) return false;
    if (!visited[k].is_subset_of(state.visited)) return false;
    const double* stored_costs = costs.data() + k * agents;
    for (size_t i = 0; i < agents; ++i) {
        if (state.agent_cost[i] > stored_costs[i]) return false;
    }
    const double* stored_loads = load_values.data() + k * loads;
    for (size_t i = 0; i < loads; ++i) {
        if (state.extra_values[i] > stored_loads[i]) return false;
    }
    return true;
}

bool Frontier::is_dominated(const SearchState& state) const {
    require_agents(state);
    for (size_t k = 0; k < g_values.size(); ++k) {
        if (stored_dominates(k, state)) return true;
    }
    return false;
}

int Frontier::insert(const SearchState& state) {
    require_agents(state);
    if (g_values.empty()) {
        agents = state.agent_cost.size();
        loads = state.extra_values.size();
    }
    size_t kept = 0;
    for (size_t k = 0; k < g_values.size(); ++k) {
        if (dominates_stored(state, k)) continue;
        if (kept != k) {
            g_values[kept] = g_values[k];
            visited[kept] = visited[k];
            for (size_t i = 0; i < agents; ++i) costs[kept * agents + i] = costs[k * agents + i];
            for (size_t i = 0; i < loads; ++i) load_values[kept * loads + i] = load_values[k * loads + i];
        }
        ++kept;
    }
    const int dropped = static_cast<int>(g_values.size() - kept);
    g_values.resize(kept);
    visited.resize(kept);
    costs.resize(kept * agents);
    load_values.resize(kept * loads);
    g_values.push_back(state.g_value);
    visited.push_back(state.visited);
    costs.insert(costs.end(), state.agent_cost.begin(), state.agent_cost.end());
    load_values.insert(load_values.end(), state.extra_values.begin(), state.extra_values.end());
    return dropped;
}

}  // namespace dulmar
