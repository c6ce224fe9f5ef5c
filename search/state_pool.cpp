#include "search/state_pool.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dulmar {

StatePool::Block::Block(MemoryMeter* meter, size_t agents, size_t extras)
    : headers(kBlockSlots, Header{}, CountingAllocator<Header>(meter)),
      costs(kBlockSlots * agents, 0.0, CountingAllocator<double>(meter)),
      nodes(kBlockSlots * agents, 0, CountingAllocator<uint8_t>(meter)),
      done(kBlockSlots * agents, 0, CountingAllocator<char>(meter)),
      extras(kBlockSlots * extras, 0.0, CountingAllocator<double>(meter)) {}

StatePool::StatePool(MemoryMeter* meter) : meter_(meter), blocks_(CountingAllocator<Block>(meter)) {}

void StatePool::reset(size_t agent_count, size_t extra_count) {
    agents_ = agent_count;
    extra_count_ = extra_count;
    slots_ = 0;
    blocks_.clear();
}

void StatePool::resize(size_t capacity) {
    const size_t needed = (capacity + kBlockSlots - 1) >> kBlockBits;
    if (needed < blocks_.size()) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(needed), blocks_.end());
    while (blocks_.size() < needed) blocks_.emplace_back(meter_, agents_, extra_count_);
    // Slots cut off inside the last kept block must read as empty when they come back.
    const size_t kept_end = std::min(slots_, needed << kBlockBits);
    for (size_t id = capacity; id < kept_end; ++id) clear_slot(id);
    slots_ = capacity;
}

void StatePool::clear_slot(size_t id) {
    Block& target = blocks_[id >> kBlockBits];
    target.headers[id & (kBlockSlots - 1)] = Header{};
    const size_t base = column(id, 0);
    std::fill_n(target.costs.begin() + static_cast<std::ptrdiff_t>(base), agents_, 0.0);
    std::fill_n(target.nodes.begin() + static_cast<std::ptrdiff_t>(base), agents_, 0);
    std::fill_n(target.done.begin() + static_cast<std::ptrdiff_t>(base), agents_, 0);
    std::fill_n(target.extras.begin() + static_cast<std::ptrdiff_t>(extra_column(id)), extra_count_, 0.0);
}

void StatePool::require_slot(size_t id) const {
    if (id >= slots_) {
        throw std::out_of_range("state id " + std::to_string(id) + " is beyond the pool's " + std::to_string(slots_) +
                                " slots");
    }
}

void StatePool::store(size_t id, const SearchState& state) {
    require_slot(id);
    if (state.agent_node.size() != agents_ || state.agent_cost.size() != agents_ ||
        state.agent_done.size() != agents_) {
        throw std::invalid_argument("state " + std::to_string(id) + " does not hold one entry per agent (" +
                                    std::to_string(agents_) + " agents)");
    }
    if (extra_count_ > 0 && state.extra_values.size() != extra_count_) {
        throw std::invalid_argument("state " + std::to_string(id) + " holds " +
                                    std::to_string(state.extra_values.size()) + " extra values, the pool keeps " +
                                    std::to_string(extra_count_));
    }
    for (size_t node : state.agent_node) {
        if (node >= kMaxSearchNodes) {
            throw std::out_of_range("state " + std::to_string(id) + ": node index " + std::to_string(node) +
                                    " is beyond the " + std::to_string(kMaxSearchNodes) + " nodes a state can hold");
        }
    }
    Block& target = blocks_[id >> kBlockBits];
    Header& header = target.headers[id & (kBlockSlots - 1)];
    header.visited = state.visited;
    header.h_value = state.h_value;
    header.g_value = state.g_value;
    header.f_value = state.f_value;
    header.active_agents = state.active_agents;
    header.last_agent = state.last_agent;
    header.node_count = state.node_count;
    const auto base = static_cast<std::ptrdiff_t>(column(id, 0));
    std::copy(state.agent_cost.begin(), state.agent_cost.end(), target.costs.begin() + base);
    std::copy(state.agent_node.begin(), state.agent_node.end(), target.nodes.begin() + base);
    std::copy(state.agent_done.begin(), state.agent_done.end(), target.done.begin() + base);
    std::copy(state.extra_values.begin(), state.extra_values.begin() + static_cast<std::ptrdiff_t>(extra_count_),
              target.extras.begin() + static_cast<std::ptrdiff_t>(extra_column(id)));
}

void StatePool::load(size_t id, SearchState& out) const {
    require_slot(id);
    const Block& source = block(id);
    const Header& stored = header(id);
    out.id = id;
    out.visited = stored.visited;
    out.h_value = stored.h_value;
    out.g_value = stored.g_value;
    out.f_value = stored.f_value;
    out.active_agents = stored.active_agents;
    out.last_agent = stored.last_agent;
    out.node_count = stored.node_count;
    const auto extras = source.extras.begin() + static_cast<std::ptrdiff_t>(extra_column(id));
    out.extra_values.assign(extras, extras + static_cast<std::ptrdiff_t>(extra_count_));
    const auto base = static_cast<std::ptrdiff_t>(column(id, 0));
    const auto end = base + static_cast<std::ptrdiff_t>(agents_);
    out.agent_cost.assign(source.costs.begin() + base, source.costs.begin() + end);
    out.agent_node.assign(source.nodes.begin() + base, source.nodes.begin() + end);
    out.agent_done.assign(source.done.begin() + base, source.done.begin() + end);
}

SearchState StatePool::get(size_t id) const {
    SearchState state;
    load(id, state);
    return state;
}

}  // namespace dulmar
