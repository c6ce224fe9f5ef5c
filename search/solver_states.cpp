#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "search/solver.h"

namespace dulmar {

// One byte per agent while every node index fits in a byte (always so for
// instances the search accepts), so keys of up to 15 agents need no heap
// storage; otherwise the decimal form, which is longer and cannot collide.
const CountedString& Solver::compact_position_key(const SearchState& state) {
    CountedString& key = position_key_scratch;
    key.clear();
    for (size_t node : state.agent_node) {
        if (node > 0xff) {
            const std::string text = position_key(state);
            key.assign(text.begin(), text.end());
            return key;
        }
        key.push_back(static_cast<char>(static_cast<unsigned char>(node)));
    }
    return key;
}

size_t Solver::allocate_state() {
    const size_t id = num_states;
    if (id >= pool_capacity) {
        // Grown before the count moves, so a failed allocation leaves the pool as it was.
        if (pool_capacity == 0) {
            const size_t agents = static_cast<size_t>(agent_count);
            states.reset(agents, (enforce_capacity ? agents : 0) + checker_values);
        }
        states.resize(pool_capacity + pool_increment);
        parents.resize(pool_capacity + pool_increment, 0);
        pool_capacity += pool_increment;
        if (pool_increment < pool_increment_max) pool_increment *= 2;
    }
    num_states += 1;
    return id;
}

bool Solver::is_dominated(const SearchState& state) {
    const CountedString& key = compact_position_key(state);
    auto found = frontier_index.find(key);
    if (found != frontier_index.end()) {
        const Frontier* store = found->second < frontiers.size() ? frontiers[found->second].get() : nullptr;
        return store != nullptr && store->is_dominated(state);
    }
    frontier_index.emplace(key, frontier_count);
    frontier_count += 1;
    frontiers.emplace_back();
    return false;
}

void Solver::record_expanded(const SearchState& state) {
    auto found = frontier_index.find(compact_position_key(state));
    if (found == frontier_index.end()) {
        // Only reachable when a caller skips is_dominated; give the key its slot.
        is_dominated(state);
        found = frontier_index.find(compact_position_key(state));
    }
    if (found->second >= frontiers.size()) frontiers.resize(found->second + 1);
    std::unique_ptr<Frontier>& store = frontiers[found->second];
    if (!store) store = std::make_unique<Frontier>(&search_memory);
    store->insert(state);
}

bool Solver::is_idle_close(const SearchState& parent, const SearchState& child, bool stays_to_close) const {
    if (!stays_to_close || !(child.visited == parent.visited) || parent.node_count < 0) return false;
    const size_t limit = std::min(static_cast<size_t>(parent.node_count), VisitedSet::kBits);
    const int64_t unvisited = static_cast<int64_t>(limit) - parent.visited.count_below(limit);
    if (unvisited < parent.active_agents) return true;
    // An agent that may visit none of the nodes left has nothing to do but
    // close where it stands; without this it could never finish when its
    // depot's bit is set already (a start of another agent, an isolated depot).
    const size_t agent = static_cast<size_t>(child.last_agent);
    for (size_t j = 0; j < limit; ++j) {
        if (!parent.visited.test(j) && !constraint_checker->forbids(agent, j)) return false;
    }
    return true;
}

bool Solver::idles_in_turn(const SearchState& parent, size_t agent) const {
    if (parent.agent_cost[agent] != 0.0 || parent.agent_node[agent] != start_nodes[agent] || parent.node_count < 0)
        return false;
    const size_t limit = std::min(static_cast<size_t>(parent.node_count), VisitedSet::kBits);
    const int64_t unvisited = static_cast<int64_t>(limit) - parent.visited.count_below(limit);
    if (unvisited >= parent.active_agents) return false;
    for (size_t other = 0; other < agent; ++other) {
        const bool idle = parent.agent_done[other] && parent.agent_cost[other] == 0.0 &&
                          parent.agent_node[other] == start_nodes[other];
        if (idle && interchangeable(other, agent)) return true;
    }
    return false;
}

bool Solver::interchangeable(size_t a, size_t b) const {
    const AgentRecord& x = agents[a];
    const AgentRecord& y = agents[b];
    return x.type == y.type && x.capacity_limit == y.capacity_limit && x.time_limit == y.time_limit &&
           start_nodes[a] == start_nodes[b] && end_nodes[a] == end_nodes[b];
}

void Solver::reset_search() {
    release_search_memory();
    focal_bound = 0.0;
    incumbent_cost = -1.0;
    focal_weights.assign(1, 100.0);
    result = Result{};
    anytime_snapshots.clear();
    last_update_time = 0.0;
    solution_found = 0;
    best_max_cost = -1.0;
    summary = SolutionSummary{};
}

bool Solver::is_goal(const SearchState& state) const {
    if (state.node_count >= 1 && !state.visited.all_set_below(static_cast<size_t>(state.node_count))) return false;
    return state.active_agents == 0;
}

double Solver::total_length(const SearchState& state) const {
    double sum = 0.0;
    for (int i = 0; i < agent_count && static_cast<size_t>(i) < state.agent_cost.size(); ++i) {
        sum += state.agent_cost[static_cast<size_t>(i)];
    }
    return sum;
}

void Solver::reset_frontiers() { frontier_count = 0; }

void Solver::release_search_memory() {
    states = StatePool(&search_memory);
    num_states = 0;
    pool_capacity = 0;
    pool_increment = 1024;
    decltype(parents)(parents.get_allocator()).swap(parents);
    open.clear();
    focal.clear();
    decltype(frontier_index)(frontier_index.get_allocator()).swap(frontier_index);
    frontier_count = 0;
    decltype(frontiers)(frontiers.get_allocator()).swap(frontiers);
    std::unordered_set<size_t>().swap(idle_closes);
}

int64_t Solver::visited_count(const SearchState& state) const {
    if (state.node_count <= 0) return 0;
    return state.visited.count_below(static_cast<size_t>(state.node_count));
}

void Solver::update_focal_bound(double old_bound, double new_bound) {
    if (new_bound > old_bound) {
        // open is sorted by f_value, so the entries in (old, new] are one run.
        auto it = open.upper_bound(OpenEntry{old_bound, std::numeric_limits<size_t>::max()});
        for (; it != open.end() && it->f_value <= new_bound; ++it) {
            if (it->f_value <= old_bound) continue;
            focal.insert(FocalEntry{it->id, visited_count_of(it->id), states.active_agents(it->id), it->f_value, 0.0});
        }
    } else {
        for (auto it = focal.begin(); it != focal.end();) {
            it = it->f_value > new_bound ? focal.erase(it) : std::next(it);
        }
    }
    focal_bound = new_bound;
}

void Solver::set_incumbent(double cost) {
    for (auto it = focal.begin(); it != focal.end();) {
        it = it->f_value > cost ? focal.erase(it) : std::next(it);
    }
    if (!std::isnan(cost)) {
        // Entries above the threshold form the tail of the f-ordered set.
        open.erase(open.upper_bound(OpenEntry{cost + 0.2, std::numeric_limits<size_t>::max()}), open.end());
    }
    incumbent_cost = cost;
}

int64_t Solver::visited_count_of(size_t id) {
    states.load(id, scratch_state);
    return visited_count(scratch_state);
}

}  // namespace dulmar
