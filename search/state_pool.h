// Compact storage of every search state the Solver generates. States are
// kept column-wise (fixed-size header plus per-agent columns) so that a pool
// of millions of states costs a few words per agent each, not three heap
// vectors per state. Slots are addressed by state id and live in blocks of a
// fixed number of slots: growing adds blocks and never moves stored states,
// so growth needs no second copy of the pool and costs what the cap expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugins/search_state.h"
#include "rules/limits.h"
#include "search/memory_meter.h"

namespace dulmar {

// A node index is kept in one byte.
static_assert(kMaxSearchNodes <= 256, "the pool stores node indices in bytes");

class StatePool {
public:
    // Every block the pool allocates is counted on `meter` (none when null).
    explicit StatePool(MemoryMeter* meter = nullptr);

    // Fixes the number of agents and of extra values (agent loads) per state;
    // drops every slot. Without extra values a stored state's are not kept.
    void reset(size_t agent_count, size_t extra_count = 0);
    size_t agent_count() const { return agents_; }
    size_t extra_count() const { return extra_count_; }
    size_t capacity() const { return slots_; }
    // Grows or shrinks to `capacity` slots; new slots are empty (node_count -1).
    void resize(size_t capacity);

    void store(size_t id, const SearchState& state);
    // Fills `out` from slot `id`, reusing its vectors' storage.
    void load(size_t id, SearchState& out) const;
    SearchState get(size_t id) const;

    double f_value(size_t id) const { return header(id).f_value; }
    int64_t active_agents(size_t id) const { return header(id).active_agents; }
    const VisitedSet& visited(size_t id) const { return header(id).visited; }
    int32_t node_count(size_t id) const { return header(id).node_count; }
    int64_t last_agent(size_t id) const { return header(id).last_agent; }
    size_t agent_node(size_t id, size_t agent) const { return block(id).nodes[column(id, agent)]; }
    double agent_cost(size_t id, size_t agent) const { return block(id).costs[column(id, agent)]; }

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

    template <class T>
    using Column = std::vector<T, CountingAllocator<T>>;

    struct Block {
        Block(MemoryMeter* meter, size_t agents, size_t extras);
        Column<Header> headers;
        Column<double> costs;   // [slot * agents + agent]
        Column<uint8_t> nodes;  // [slot * agents + agent]; node indices are below kMaxSearchNodes
        Column<char> done;      // [slot * agents + agent]
        Column<double> extras;  // [slot * extras + k]
    };

    static constexpr size_t kBlockBits = 12;
    static constexpr size_t kBlockSlots = size_t{1} << kBlockBits;

    const Block& block(size_t id) const { return blocks_[id >> kBlockBits]; }
    const Header& header(size_t id) const { return block(id).headers[id & (kBlockSlots - 1)]; }
    size_t column(size_t id, size_t agent) const { return (id & (kBlockSlots - 1)) * agents_ + agent; }
    size_t extra_column(size_t id) const { return (id & (kBlockSlots - 1)) * extra_count_; }
    void clear_slot(size_t id);
    void require_slot(size_t id) const;

    MemoryMeter* meter_ = nullptr;
    size_t agents_ = 0;
    size_t extra_count_ = 0;
    size_t slots_ = 0;
    std::vector<Block, CountingAllocator<Block>> blocks_;
};

}  // namespace dulmar
