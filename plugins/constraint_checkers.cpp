#include "plugins/constraint_checkers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>


namespace dulmar {

namespace {

constexpr size_t kNoNode = PreparedInstance::kNoNode;
constexpr TransitionVerdict kAccept{true, 0.0, false};
constexpr TransitionVerdict kReject{false, 0.0, false};

void require_agent_in_state(const SearchState& state, size_t agent) {
    if (agent >= state.agent_cost.size() || agent >= state.agent_node.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " is beyond the state's " +
                                std::to_string(state.agent_cost.size()) + " agents");
    }
}

}  // namespace

// ---------------------------------------------------------------- default

void DefaultConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    if (!instance) return;
    instance_ = instance;
    attached_ = true;
}

void DefaultConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                          const std::vector<AgentRecord>& agents) {
    // The assignment rule needs no costs.
    if (!attached_) instance_ = PreparedInstance::build(nullptr, nodes, agents, RuleSettings{});
    const PreparedInstance& p = *instance_;
    type0_agents_.clear();
    for (size_t a = 0; a < p.agent_count(); ++a)
        if (p.type_of(a) == 0) type0_agents_.push_back(a);

    // Vertices without a node record have no assignment list, so they never count.
    type0_only_ = VisitedSet{};
    const size_t vertices = graph ? graph->NumVertex() : 0;
    const size_t limit = std::min({vertices, p.node_count(), VisitedSet::kBits});
    for (size_t u = 0; u < limit; ++u) {
        const auto& types = p.nodes()[u].allowed_types;
        if (types.size() == 1 && types[0] == 0) type0_only_.set(u);
    }
}

bool DefaultConstraintChecker::forbids(size_t agent, size_t node) const {
    const PreparedInstance& p = *instance_;
    if (agent >= p.agent_count() || node >= p.node_count()) return true;
    return (p.flags(agent, node) & PreparedInstance::kServes) == 0;
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

void TimeLimitConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    if (!instance) return;
    assignment_.attach(instance);
    instance_ = instance;
    attached_ = true;
}

void TimeLimitConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                            const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    if (!attached_) instance_ = PreparedInstance::build(nullptr, nodes, agents, RuleSettings{});
}

TransitionVerdict TimeLimitConstraintChecker::check_transition(const SearchState&, size_t, size_t) const {
    return kAccept;
}

bool TimeLimitConstraintChecker::check_state(const SearchState& child, size_t agent) const {
    if (agent >= child.agent_cost.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " is beyond the state's " +
                                std::to_string(child.agent_cost.size()) + " agents");
    }
    if (agent >= instance_->agent_count()) return true;  // no record, no limit
    return instance_->within_route_limit(agent, child.agent_cost[agent]);
}

// --------------------------------------------------------------- capacity

void CapacityConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    if (!instance) return;
    assignment_.attach(instance);
    instance_ = instance;
    attached_ = true;
}

void CapacityConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                           const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    // On its own the checker enforces what it is given.
    if (!attached_) instance_ = PreparedInstance::build(nullptr, nodes, agents, RuleSettings{{}, {}, {}, true, true, {}});
}

bool CapacityConstraintChecker::forbids(size_t agent, size_t node) const {
    if (assignment_.forbids(agent, node)) return true;
    const PreparedInstance& p = *instance_;
    return agent < p.agent_count() && node < p.node_count() && !p.within_capacity(agent, p.demand(node));
}

TransitionVerdict CapacityConstraintChecker::check_transition(const SearchState&, size_t, size_t) const {
    return kAccept;
}

bool CapacityConstraintChecker::check_state(const SearchState& child, size_t agent) const {
    if (agent >= child.extra_values.size()) {
        throw std::out_of_range("agent index " + std::to_string(agent) + " has no load among the state's " +
                                std::to_string(child.extra_values.size()) + " loads");
    }
    if (agent >= instance_->agent_count()) return true;  // no record, no limit
    return instance_->within_capacity(agent, child.extra_values[agent]);
}

// ------------------------------------------------------------ time window

void TimeWindowConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    if (!instance) return;
    assignment_.attach(instance);
    instance_ = instance;
    attached_ = true;
    own_costs_.reset();
    std::vector<NodeRecord>().swap(own_nodes_);
    std::vector<AgentRecord>().swap(own_agents_);
}

void TimeWindowConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                             const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    graph_ = graph;
    if (attached_) return;
    own_nodes_ = nodes;
    own_agents_ = agents;
    instance_ = PreparedInstance::from_graph(graph, own_nodes_, own_agents_, own_settings_);
    own_costs_ = instance_->shared_costs();
}

void TimeWindowConstraintChecker::set_end_nodes(const std::vector<size_t>& end_nodes) {
    if (attached_) return;
    own_settings_.end_nodes = end_nodes;
    rebuild();
}

void TimeWindowConstraintChecker::set_time_windows(const TimeWindowMap& time_windows) {
    if (attached_) return;
    own_settings_.time_windows = time_windows;
    rebuild();
}

void TimeWindowConstraintChecker::set_start_nodes(const std::vector<size_t>& start_nodes) {
    if (attached_) return;
    own_settings_.start_nodes = start_nodes;
    rebuild();
}

void TimeWindowConstraintChecker::set_return_to_end(bool return_to_end) {
    if (attached_) return;
    own_settings_.return_to_end = return_to_end;
    rebuild();
}

void TimeWindowConstraintChecker::rebuild() {
    instance_ = PreparedInstance::build(own_costs_, own_nodes_, own_agents_, own_settings_);
}

double TimeWindowConstraintChecker::cost_for(size_t agent, size_t u, size_t v) const {
    const PreparedInstance& p = *instance_;
    if (graph_ == nullptr || agent >= p.agent_count()) return 0.0;
    if (p.has_start_nodes() && v == p.start_of(agent)) return 0.0;
    return p.hop(agent, u, v);
}

TransitionVerdict TimeWindowConstraintChecker::check_transition(const SearchState& child, size_t agent,
                                                                size_t node) const {
    require_agent_in_state(child, agent);
    const double t = child.agent_cost[agent];
    const size_t prev = child.agent_node[agent];
    double arrival = 0.0;
    if (!enter(node, t, arrival)) return kReject;
    if (graph_ != nullptr && instance_->node_count() > 0) {
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
    const PreparedInstance& p = *instance_;
    const double departure = t - cost_for(agent, prev, node);
    const bool known = agent < p.agent_count();
    const size_t own_start = known ? p.start_of(agent) : kNoNode;
    const size_t own_end = known && !p.return_to_end() ? p.end_of(agent) : kNoNode;
    const size_t limit = std::min(p.node_count(), VisitedSet::kBits);
    // With precedence pairs, nodes in a pair are left out, and the way via w
    // enters `node` no earlier than t, the entry the pairs allowed: both only
    // make the cut see a later way round and cut less.
    const PrecedenceRule& order = p.precedence();
    const bool ordered = order.active();
    for (size_t w = 0; w < limit; ++w) {
        if (w == node || w == prev || w == own_start || w == own_end || child.visited.test(w) || !admits(agent, w)) {
            continue;
        }
        if (ordered && order.involved(w)) continue;
        double at_w = 0.0;
        if (!enter(w, departure + cost_for(agent, prev, w), at_w)) continue;
        double via_w = 0.0;
        const double reach = at_w + cost_for(agent, w, node);
        if (!enter(node, ordered ? std::max(reach, t) : reach, via_w)) continue;
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
    const PreparedInstance& p = *instance_;
    const size_t agents = std::min({p.agent_count(), child.agent_cost.size(), child.agent_node.size(),
                                    child.agent_done.size()});
    const size_t limit = std::min(p.node_count(), VisitedSet::kBits);
    const bool finished_agents_drop_out = p.has_end_nodes();
    for (size_t u = 0; u < limit; ++u) {
        if (child.visited.test(u)) continue;
        const TimeWindow* window = p.window(u);
        bool covered = false;
        for (size_t a = 0; a < agents && !covered; ++a) {
            if (finished_agents_drop_out && child.agent_done[a]) continue;
            if (!admits(a, u)) continue;
            if (window == nullptr) {
                covered = true;
            } else if (a == agent) {
                covered = arrival + cost_for(a, node, u) <= window->end;
            } else {
                covered = child.agent_cost[a] + cost_for(a, child.agent_node[a], u) <= window->end;
            }
        }
        if (!covered) return true;
    }
    return false;
}

bool TimeWindowConstraintChecker::check_state(const SearchState&, size_t) const { return true; }

// ------------------------------------------------------------- precedence

void PrecedenceConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    if (!instance) return;
    assignment_.attach(instance);
    instance_ = instance;
}

void PrecedenceConstraintChecker::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                             const std::vector<AgentRecord>& agents) {
    assignment_.initialize(graph, nodes, agents);
    const PrecedenceRule& rule = instance_->precedence();
    const size_t n = instance_->node_count();
    finish_slot_.assign(n, PrecedenceRule::kNoSlot);
    server_slot_.assign(n, PrecedenceRule::kNoSlot);
    finish_count_ = server_count_ = 0;
    for (const PrecedencePair& pair : rule.pairs()) {
        size_t& slot = pair.timed() ? finish_slot_[pair.before] : server_slot_[pair.before];
        if (slot == PrecedenceRule::kNoSlot) slot = pair.timed() ? finish_count_++ : server_count_++;
        // "diff" pairs are timed and bound to an agent both.
        if (pair.kind == PrecedenceType::Diff && server_slot_[pair.before] == PrecedenceRule::kNoSlot)
            server_slot_[pair.before] = server_count_++;
    }
}

bool PrecedenceConstraintChecker::settled(const SearchState& state, size_t before, bool timed) const {
    const PrecedenceRule& rule = instance_->precedence();
    for (uint32_t k : rule.out_of(before)) {
        const PrecedencePair& pair = rule.pair(k);
        const bool counts = timed ? pair.timed() : pair.kind != PrecedenceType::Any;
        if (counts && (pair.after >= VisitedSet::kBits || !state.visited.test(pair.after))) return false;
    }
    return true;
}

TransitionVerdict PrecedenceConstraintChecker::check_transition(const SearchState& child, size_t agent,
                                                                size_t node) const {
    require_agent_in_state(child, agent);
    const PreparedInstance& p = *instance_;
    const PrecedenceRule& rule = p.precedence();
    if (node >= p.node_count() || agent >= p.agent_count()) return kAccept;
    const size_t at = base(child);
    const double* finish = child.extra_values.data() + at;
    const double* server = finish + finish_count_;
    const double mark = static_cast<double>(agent + 1);
    if (p.flags(agent, node) & (PreparedInstance::kOwnStart | PreparedInstance::kOwnEnd)) {
        // A close: no "same" pair may still wait for this agent.
        for (size_t v = 0; v < server_slot_.size(); ++v) {
            const size_t slot = server_slot_[v];
            if (slot == PrecedenceRule::kNoSlot || server[slot] != mark) continue;
            for (uint32_t k : rule.out_of(v)) {
                const PrecedencePair& pair = rule.pair(k);
                if (pair.kind == PrecedenceType::Same && !child.visited.test(pair.after)) return kReject;
            }
        }
        return kAccept;
    }
    double ready = -std::numeric_limits<double>::infinity();
    for (uint32_t k : rule.into(node)) {
        const PrecedencePair& pair = rule.pair(k);
        if (pair.before >= VisitedSet::kBits || !child.visited.test(pair.before)) return kReject;
        if (pair.kind != PrecedenceType::Any) {
            const bool same_agent = server[server_slot_[pair.before]] == mark;
            if (same_agent != (pair.kind == PrecedenceType::Same)) return kReject;
        }
        if (pair.timed()) ready = std::max(ready, finish[finish_slot_[pair.before]]);
    }
    // A "same" pair's after node must be one this agent may visit.
    for (uint32_t k : rule.out_of(node)) {
        const PrecedencePair& pair = rule.pair(k);
        if (pair.kind == PrecedenceType::Same && !p.may_visit(agent, pair.after)) return kReject;
    }
    const double t = child.agent_cost[agent];
    if (!(ready > t)) return kAccept;
    return TransitionVerdict{true, ready, true};
}

void PrecedenceConstraintChecker::record(SearchState& child, size_t agent, size_t node) const {
    if (node >= finish_slot_.size()) return;
    const PrecedenceRule& rule = instance_->precedence();
    const size_t at = base(child);
    double* finish = child.extra_values.data() + at;
    double* server = finish + finish_count_;
    double* negated = server + server_count_;
    // Values a pair no longer needs go back to 0, so that they do not keep
    // states from dominating one another.
    for (uint32_t k : rule.into(node)) {
        const size_t before = rule.pair(k).before;
        if (finish_slot_[before] != PrecedenceRule::kNoSlot && settled(child, before, true))
            finish[finish_slot_[before]] = 0.0;
        if (server_slot_[before] != PrecedenceRule::kNoSlot && settled(child, before, false))
            server[server_slot_[before]] = negated[server_slot_[before]] = 0.0;
    }
    if (finish_slot_[node] != PrecedenceRule::kNoSlot && !settled(child, node, true))
        finish[finish_slot_[node]] = child.agent_cost[agent];
    if (server_slot_[node] != PrecedenceRule::kNoSlot && !settled(child, node, false)) {
        server[server_slot_[node]] = static_cast<double>(agent + 1);
        negated[server_slot_[node]] = -static_cast<double>(agent + 1);
    }
}

// -------------------------------------------------------------- composite

void CompositeConstraintChecker::add(std::unique_ptr<ConstraintCheckerPlugin> checker) {
    if (!checker) throw std::invalid_argument("CompositeConstraintChecker::add: checker is null");
    children_.push_back(std::move(checker));
}

void CompositeConstraintChecker::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    for (const auto& checker : children_) checker->attach(instance);
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

size_t CompositeConstraintChecker::state_values() const {
    size_t count = 0;
    for (const auto& checker : children_) count += checker->state_values();
    return count;
}

void CompositeConstraintChecker::record(SearchState& child, size_t agent, size_t node) const {
    for (const auto& checker : children_) checker->record(child, agent, node);
}

bool CompositeConstraintChecker::is_dead_end(const SearchState& child) const {
    for (const auto& checker : children_) {
        if (checker->is_dead_end(child)) return true;
    }
    return false;
}

}  // namespace dulmar
