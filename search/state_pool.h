// Compact storage of every search state the Solver generates. States are
// kept column-wise (fixed-size header plus per-agent columns) so that a pool
// of millions of states costs a few words per agent each, not three heap
// vectors per state. Slots are addressed by state id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "search/search_state.h"

namespace dulmar {

class StatePool {
public:
    // Fixes the number of agents and of extra values (agent loads) per state;
    // drops every slot. Without extra values a stored state's are not kept.
    void reset(size_t agent_count, size_t extra_count = 0);
    size_t agent_count() const { return agents_; }
    size_t extra_count() const { return extra_count_; }
    size_t capacity() const { return headers_.size(); }
    // Grows or shrinks to `capacity` slots; new slots are empty (node_count -1).
    void resize(size_t capacity);

    void store(size_t id, const SearchState& state);
    // Fills `out` from slot `id`, reusing its vectors' storage.
    void load(size_t id, SearchState& out) const;
    SearchState get(size_t id) const;

    double f_value(size_t id) const { return headers_[id].f_value; }
    int64_t active_agents(size_t id) const { return headers_[id].active_agents; }
    const VisitedSet& visited(size_t id) const { return headers_[id].visited; }
    int32_t node_count(size_t id) const { return headers_[id].node_count; }
    int64_t last_agent(size_t id) const { return headers_[id].last_agent; }
    size_t agent_node(size_t id, size_t agent) const { return nodes_[id * agents_ + agent]; }
    double agent_cost(size_t id, size_t agent) const { return costs_[id * agents_ + agent]; }

private:
    struct Header {
        VisitedSet visited;
        double h_value = 0.0;
        double g_value = 0.0;
        double f_value = 0.0;
        int64_t active_agents = 0;
        int64_t last_agent = 0;
        int32_t node_count = -1;
    };

    size_t agents_ = 0;
    size_t extra_count_ = 0;
    std::vector<Header> headers_;
    std::vector<double> costs_;   // [id * agents + agent]
    std::vector<uint8_t> nodes_;  // [id * agents + agent]; node indices are below 256
    std::vector<char> done_;      // [id * agents + agent]
    std::vector<double> extra_values_;  // [id * extras + k]
};

}  // namespace dulmar
