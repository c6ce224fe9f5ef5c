// Expanded states that share one set of agent positions and do not dominate
// one another; a new state is pruned when one of them dominates it. Only what
// dominance reads is kept (objective value, visited set, agent costs and
// loads), laid out contiguously because every generated child scans its store.
#pragma once

#include <cstddef>
#include <vector>

#include "plugins/search_state.h"
#include "search/memory_meter.h"

namespace dulmar {

class Frontier {
public:
    Frontier() = default;
    // Counts the store and what it allocates on `meter`.
    explicit Frontier(MemoryMeter* meter);
    virtual ~Frontier() = default;
    virtual bool is_dominated(const SearchState& state) const;
    // Drops every stored state that `state` dominates, stores a copy of it and
    // returns how many were dropped.
    virtual int insert(const SearchState& state);

    size_t size() const { return g_values.size(); }

private:
    bool stored_dominates(size_t k, const SearchState& state) const;
    bool dominates_stored(const SearchState& state, size_t k) const;
    void require_agents(const SearchState& state) const;

    template <class T>
    using Column = std::vector<T, CountingAllocator<T>>;

    size_t agents = 0;  // fixed by the first stored state
    size_t loads = 0;   // likewise: its extra values (agent loads), compared like costs
    Column<double> g_values;
    Column<VisitedSet> visited;
    Column<double> costs;        // [k * agents + agent]
    Column<double> load_values;  // [k * loads + agent]
    MeterCharge charge{nullptr, 0};
};

}  // namespace dulmar
