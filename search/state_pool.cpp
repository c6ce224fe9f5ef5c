#include "search/state_pool.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dulmar {

void StatePool::reset(size_t agent_count, size_t extra_count) {
    agents_ = agent_count;
    extra_count_ = extra_count;
    headers_.clear();
    extra_values_.clear();
    costs_.clear();
    nodes_.clear();
    done_.clear();
}

void StatePool::resize(size_t capacity) {
    headers_.resize(capacity);
    costs_.resize(capacity * agents_, 0.0);
    nodes_.resize(capacity * agents_, 0);
    done_.resize(capacity * agents_, 0);
    extra_values_.resize(capacity * extra_count_, 0.0);
}

void StatePool::store(size_t id, const SearchState& state) {
    if (id >= headers_.size()) {
        throw std::out_of_range("state id " + std::to_string(id) + " is beyond the pool's " +
                                std::to_string(headers_.size()) + " slots");
    }
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
        if (node >= 256) {
            throw std::out_of_range("state " + std::to_string(id) + ": node index " + std::to_string(node) +
                                    " is beyond the 256 nodes a state can hold");
        }
    }
    Header& header = headers_[id];
    header.visited = state.visited;
    header.h_value = state.h_value;
    header.g_value = state.g_value;
    header.f_value = state.f_value;
    header.active_agents = state.active_agents;
    header.last_agent = state.last_agent;
    header.node_count = state.node_count;
    const size_t base = id * agents_;
    std::copy(state.agent_cost.begin(), state.agent_cost.end(), costs_.begin() + base);
    std::copy(state.agent_node.begin(), state.agent_node.end(), nodes_.begin() + base);
    std::copy(state.agent_done.begin(), state.agent_done.end(), done_.begin() + base);
    std::copy(state.extra_values.begin(), state.extra_values.begin() + static_cast<std::ptrdiff_t>(extra_count_),
              extra_values_.begin() + static_cast<std::ptrdiff_t>(id * extra_count_));
}

void StatePool::load(size_t id, SearchState& out) const {
    const Header& header = headers_.at(id);
    out.id = id;
    out.visited = header.visited;
    out.h_value = header.h_value;
    out.g_value = header.g_value;
    out.f_value = header.f_value;
    out.active_agents = header.active_agents;
    out.last_agent = header.last_agent;
    out.node_count = header.node_count;
    const auto extras = extra_values_.begin() + static_cast<std::ptrdiff_t>(id * extra_count_);
    out.extra_values.assign(extras, extras + static_cast<std::ptrdiff_t>(extra_count_));
    const size_t base = id * agents_;
    out.agent_cost.assign(costs_.begin() + base, costs_.begin() + base + agents_);
    out.agent_node.assign(nodes_.begin() + base, nodes_.begin() + base + agents_);
    out.agent_done.assign(done_.begin() + base, done_.begin() + base + agents_);
}

SearchState StatePool::get(size_t id) const {
    SearchState state;
    load(id, state);
    return state;
}

}  // namespace dulmar
