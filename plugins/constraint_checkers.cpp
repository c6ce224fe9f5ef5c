#include "plugins/constraint_checkers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "plugins/visit_rule.h"

namespace dulmar {

namespace {

constexpr size_t kNoNode = std::numeric_limits<size_t>::max();
constexpr TransitionVerdict kAccept{true, 0.0, false};
constexpr TransitionVerdict kReject{false, 0.0, false};

bool lists_type(const NodeRecord& node, size_t type) {
    return std::find(node.allowed_types.begin(), node.allowed_types.end(), type) != node.allowed_types.end();
}

void require_agent_in_state(const SearchState& state, size_t agent) {
    if (agent >= state.agent_cost.size() || agent >= state.agent_node.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " is beyond the state's " +
                                std::to_string(state.agent_cost.size()) + " agents");
    }
}

}  // namespace

// ---------------------------------------------------------------- default

void DefaultConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                          const std::vector<AgentRecord>& agents) {
    graph_ = graph;
    nodes_ = nodes;
    agents_ = agents;
    agent_count_ = agents.size();

    const size_t n = nodes_.size();
    allowed_.assign(agent_count_ * n, 0);
    type0_agents_.clear();
    for (size_t a = 0; a < agent_count_; ++a) {
        for (size_t u = 0; u < n; ++u) allowed_[a * n + u] = lists_type(nodes_[u], agents_[a].type) ? 1 : 0;
        if (agents_[a].type == 0) type0_agents_.push_back(a);
    }

    // Vertices without a node record have no assignment list, so they never count.
    type0_only_ = VisitedSet{};
    const size_t vertices = graph_ ? graph_->NumVertex() : 0;
    const size_t limit = std::min({vertices, n, VisitedSet::kBits});
    for (size_t u = 0; u < limit; ++u) {
        const auto& types = nodes_[u].allowed_types;
        if (types.size() == 1 && types[0] == 0) type0_only_.set(u);
    }
}

bool DefaultConstraintChecker::forbids(size_t agent, size_t node) const {
    const size_t n = nodes_.size();
    if (agent >= agent_count_ || node >= n) return true;
    return allowed_[agent * n + node] == 0;
}

TransitionVerdict DefaultConstraintChecker::check_transition(const SearchState&, size_t, size_t) const {
    return kAccept;
}

bool DefaultConstraintChecker::check_state(const SearchState&, size_t) const { return true; }

bool DefaultConstraintChecker::is_dead_end(const SearchState& child) const {
    for (size_t a : type0_agents_) {
        if (a >= child.agent_done.size() || !child.agent_done[a]) return false;
    }
    for (size_t w = 0; w < 4; ++w) {
        if (type0_only_.words[w] & ~child.visited.words[w]) return true;
    }
    return false;
}

// ------------------------------------------------------------- time limit

void TimeLimitConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                            const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    agents_ = agents;
}

TransitionVerdict TimeLimitConstraintChecker::check_transition(const SearchState&, size_t, size_t) const {
    return kAccept;
}

bool TimeLimitConstraintChecker::check_state(const SearchState& child, size_t agent) const {
    if (agent >= child.agent_cost.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " is beyond the state's " +
                                std::to_string(child.agent_cost.size()) + " agents");
    }
    if (agent >= agents_.size()) return true;  // no record, no limit
    const double limit = agents_[agent].time_limit;
    return limit <= 0 || child.agent_cost[agent] <= limit;
}

// --------------------------------------------------------------- capacity

void CapacityConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                           const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    node_count_ = nodes.size();
    capacity_.assign(agents.size(), 0.0);
    too_heavy_.assign(agents.size() * node_count_, 0);
    for (size_t a = 0; a < agents.size(); ++a) {
        capacity_[a] = agents[a].capacity_limit;
        for (size_t v = 0; v < node_count_; ++v)
            too_heavy_[a * node_count_ + v] = within_capacity(nodes[v].demand, capacity_[a]) ? 0 : 1;
    }
}

bool CapacityConstraintChecker::forbids(size_t agent, size_t node) const {
    if (assignment_.forbids(agent, node)) return true;
    return agent < capacity_.size() && node < node_count_ && too_heavy_[agent * node_count_ + node] != 0;
}

TransitionVerdict CapacityConstraintChecker::check_transition(const SearchState&, size_t, size_t) const {
    return kAccept;
}

bool CapacityConstraintChecker::check_state(const SearchState& child, size_t agent) const {
    if (agent >= child.extra_values.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " has no load among the state's " +
                                std::to_string(child.extra_values.size()) + " loads");
    }
    if (agent >= capacity_.size()) return true;  // no record, no limit
    return within_capacity(child.extra_values[agent], capacity_[agent]);
}

// ------------------------------------------------------------ time window

void TimeWindowConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                             const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    graph_ = graph;
    nodes_ = nodes;
    agents_ = agents;
    agent_count_ = agents.size();
    costs_.build(graph);
    rebuild();
}

void TimeWindowConstraintChecker::set_end_nodes(const std::vector<size_t>& end_nodes) {
    end_nodes_ = end_nodes;
    end_node_set_ = std::unordered_set<size_t>(end_nodes.begin(), end_nodes.end());
    rebuild();
}

void TimeWindowConstraintChecker::set_time_windows(const TimeWindowMap& time_windows) {
    time_windows_ = time_windows;
    rebuild();
}

void TimeWindowConstraintChecker::set_start_nodes(const std::vector<size_t>& start_nodes) {
    start_nodes_ = start_nodes;
    start_node_set_ = std::unordered_set<size_t>(start_nodes.begin(), start_nodes.end());
    rebuild();
}

void TimeWindowConstraintChecker::set_return_to_end(bool return_to_end) {
    return_to_end_ = return_to_end;
    rebuild();
}

void TimeWindowConstraintChecker::rebuild() {
    const size_t n = nodes_.size();
    has_window_.assign(n, 0);
    window_start_.assign(n, 0.0);
    window_end_.assign(n, 0.0);
    service_.resize(n);
    for (size_t v = 0; v < n; ++v) service_[v] = nodes_[v].service;
    for (const auto& [node, window] : time_windows_) {
        if (node >= n) continue;
        has_window_[node] = 1;
        window_start_[node] = window.start;
        window_end_[node] = window.end;
    }
    admits_.assign(agent_count_ * n, 0);
    for (size_t a = 0; a < agent_count_; ++a) {
        for (size_t w = 0; w < n; ++w) admits_[a * n + w] = admits_uncached(a, w) ? 1 : 0;
    }
}

size_t TimeWindowConstraintChecker::start_of(size_t agent) const {
    return agent < start_nodes_.size() ? start_nodes_[agent] : kNoNode;
}

size_t TimeWindowConstraintChecker::end_of(size_t agent) const {
    return agent < end_nodes_.size() ? end_nodes_[agent] : kNoNode;
}

bool TimeWindowConstraintChecker::admits_uncached(size_t agent, size_t w) const {
    if (agent >= agents_.size() || w >= nodes_.size() || !lists_type(nodes_[w], agents_[agent].type)) return false;
    if (!end_nodes_.empty() && end_node_set_.count(w) != 0 && w != end_of(agent)) return false;
    if (!start_nodes_.empty() && start_node_set_.count(w) != 0) return w == start_of(agent);
    return true;
}

bool TimeWindowConstraintChecker::admits(size_t agent, size_t w) const {
    const size_t n = nodes_.size();
    if (agent >= agent_count_ || w >= n) return false;
    return admits_[agent * n + w] != 0;
}

double TimeWindowConstraintChecker::cost_for(size_t agent, size_t u, size_t v) const {
    if (graph_ == nullptr || u == v) return 0.0;
    if (!start_nodes_.empty() && v == start_of(agent)) return 0.0;
    if (!return_to_end_ && !end_nodes_.empty() && v == end_of(agent)) return 0.0;
    if (agent >= agents_.size()) return 0.0;
    return costs_.cost_or(u, v, agents_[agent].type, 0.0);
}

bool TimeWindowConstraintChecker::window_of(size_t w, double& start, double& end) const {
    if (w < has_window_.size()) {
        if (!has_window_[w]) return false;
        start = window_start_[w];
        end = window_end_[w];
        return true;
    }
    const auto found = time_windows_.find(w);
    if (found == time_windows_.end()) return false;
    start = found->second.start;
    end = found->second.end;
    return true;
}

bool TimeWindowConstraintChecker::enter(size_t w, double t, double& out) const {
    TimeWindow window;
    const bool windowed = window_of(w, window.start, window.end);
    out = t;
    return visit_node(windowed ? &window : nullptr, w < service_.size() ? service_[w] : 0.0, out);
}

TransitionVerdict TimeWindowConstraintChecker::check_transition(const SearchState& child, size_t agent,
                                                                size_t node) const {
    require_agent_in_state(child, agent);
    const double t = child.agent_cost[agent];
    const size_t prev = child.agent_node[agent];
    double arrival = 0.0;
    if (!enter(node, t, arrival)) return kReject;
    if (graph_ != nullptr && !nodes_.empty()) {
        if (dominance_rejects(child, agent, prev, node, t, arrival)) return kReject;
        if (reachability_rejects(child, agent, node, arrival)) return kReject;
    }
    if (arrival == t) return kAccept;
    return TransitionVerdict{true, arrival, true};
}

// Rejects the move when some unvisited w could be served first without
// reaching `node` later, yet serving it after `node` would be later than that.
bool TimeWindowConstraintChecker::dominance_rejects(const SearchState& child, size_t agent, size_t prev,
                                                    size_t node, double t, double arrival) const {
    const double departure = t - cost_for(agent, prev, node);
    const size_t own_start = start_nodes_.empty() ? kNoNode : start_of(agent);
    const size_t own_end = (!return_to_end_ && !end_nodes_.empty()) ? end_of(agent) : kNoNode;
    const size_t limit = std::min(nodes_.size(), VisitedSet::kBits);
    for (size_t w = 0; w < limit; ++w) {
        if (w == node || w == prev || w == own_start || w == own_end || child.visited.test(w) || !admits(agent, w)) {
            continue;
        }
        double at_w = 0.0;
        if (!enter(w, departure + cost_for(agent, prev, w), at_w)) continue;
        double via_w = 0.0;
        if (!enter(node, at_w + cost_for(agent, w, node), via_w)) continue;
        if (!(via_w <= arrival)) continue;
        double after_node = 0.0;
        if (!enter(w, arrival + cost_for(agent, node, w), after_node)) return true;
        if (after_node > via_w) return true;
    }
    return false;
}

// Rejects the move when some unvisited node can no longer be reached in its
// window by any agent still able to go there.
bool TimeWindowConstraintChecker::reachability_rejects(const SearchState& child, size_t agent, size_t node,
                                                       double arrival) const {
    const size_t agents = std::min({agent_count_, child.agent_cost.size(), child.agent_node.size(),
                                    child.agent_done.size()});
    const size_t limit = std::min(nodes_.size(), VisitedSet::kBits);
    const bool finished_agents_drop_out = !end_nodes_.empty();
    for (size_t u = 0; u < limit; ++u) {
        if (child.visited.test(u)) continue;
        double start = 0.0;
        double end = 0.0;
        const bool windowed = window_of(u, start, end);
        bool covered = false;
        for (size_t a = 0; a < agents && !covered; ++a) {
            if (finished_agents_drop_out && child.agent_done[a]) continue;
            if (!admits(a, u)) continue;
            if (!windowed) {
                covered = true;
            } else if (a == agent) {
                covered = arrival + cost_for(a, node, u) <= end;
            } else {
                covered = child.agent_cost[a] + cost_for(a, child.agent_node[a], u) <= end;
            }
        }
        if (!covered) return true;
    }
    return false;
}

bool TimeWindowConstraintChecker::check_state(const SearchState&, size_t) const { return true; }

// -------------------------------------------------------------- composite

void CompositeConstraintChecker::add(std::unique_ptr<ConstraintCheckerPlugin> checker) {
    if (!checker) throw std::invalid_argument("CompositeConstraintChecker::add: checker is null");
    children_.push_back(std::move(checker));
}

void CompositeConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                            const std::vector<AgentRecord>& agents) {
    for (const auto& checker : children_) checker->initialize(graph, nodes, agents);
}

bool CompositeConstraintChecker::forbids(size_t agent, size_t node) const {
    for (const auto& checker : children_) {
        if (checker->forbids(agent, node)) return true;
    }
    return false;
}

TransitionVerdict CompositeConstraintChecker::check_transition(const SearchState& child, size_t agent,
                                                               size_t node) const {
    if (agent >= child.agent_cost.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " is beyond the state's " +
                                std::to_string(child.agent_cost.size()) + " agents");
    }
    scratch_ = child;
    bool timed = false;
    for (const auto& checker : children_) {
        const TransitionVerdict verdict = checker->check_transition(scratch_, agent, node);
        if (!verdict.feasible) return verdict;
        if (verdict.has_arrival_time) {
            scratch_.agent_cost[agent] = verdict.arrival_time;
            timed = true;
        }
    }
    if (!timed) return kAccept;
    return TransitionVerdict{true, scratch_.agent_cost[agent], true};
}

bool CompositeConstraintChecker::check_state(const SearchState& child, size_t agent) const {
    for (const auto& checker : children_) {
        if (!checker->check_state(child, agent)) return false;
    }
    return true;
}

bool CompositeConstraintChecker::is_dead_end(const SearchState& child) const {
    for (const auto& checker : children_) {
        if (checker->is_dead_end(child)) return true;
    }
    return false;
}

}  // namespace dulmar
