// Feasibility rules of the search: which agent types may visit a node, the
// per-agent time limits, node time windows and service times with two
// look-ahead cuts, agent capacities, precedence pairs, and a composite that runs several
// checkers as one. Each reads its rules from a prepared instance: the
// Solver's, when attached, or one built from what initialize() and the
// setters hand over when a checker is used on its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "plugins/plugin_base.h"
#include "rules/prepared_instance.h"

namespace dulmar {

// Assignment of nodes to agent types, plus the dead-end rule for type 0.
class DefaultConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "DefaultConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    bool forbids(size_t agent, size_t node) const override;
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override;

    void set_end_nodes(const std::vector<size_t>& end_nodes) { end_nodes_ = end_nodes; }

private:
    std::shared_ptr<const PreparedInstance> instance_ = PreparedInstance::build(nullptr, {}, {}, RuleSettings{});
    bool attached_ = false;
    std::vector<size_t> end_nodes_;  // no rule reads it

    // agents whose type is 0
    std::vector<size_t> type0_agents_;
    // nodes below the graph's vertex count that only type 0 may visit
    VisitedSet type0_only_;
};

class TimeLimitConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "TimeLimitConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    bool forbids(size_t agent, size_t node) const override { return assignment_.forbids(agent, node); }
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    // Rejects a state whose agent has run past its positive time limit.
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

    void set_end_nodes(const std::vector<size_t>& end_nodes) { end_nodes_ = end_nodes; }

private:
    DefaultConstraintChecker assignment_;
    std::shared_ptr<const PreparedInstance> instance_ = PreparedInstance::build(nullptr, {}, {}, RuleSettings{});
    bool attached_ = false;
    std::vector<size_t> end_nodes_;  // no rule reads it
};

// Agent capacities, checked on the loads the search carries in each state's
// extra_values (one per agent) when capacities are enforced.
class CapacityConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "CapacityConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    // Assignment, and a node whose demand alone exceeds the agent's capacity.
    bool forbids(size_t agent, size_t node) const override;
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    // Rejects a state whose agent carries more than its positive capacity.
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

private:
    DefaultConstraintChecker assignment_;
    std::shared_ptr<const PreparedInstance> instance_ = PreparedInstance::build(nullptr, {}, {}, RuleSettings{});
    bool attached_ = false;
};

// Node time windows. An agent's start position is never entered through
// check_transition, so a window on a start node holds only where a route comes
// back to that node, the rule the route evaluator applies too.
class TimeWindowConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "TimeConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    bool forbids(size_t agent, size_t node) const override { return assignment_.forbids(agent, node); }
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

    // Used on its own, the checker rebuilds its rules from these; once
    // attached, the instance already holds them and they change nothing.
    void set_end_nodes(const std::vector<size_t>& end_nodes);
    void set_time_windows(const TimeWindowMap& time_windows);
    void set_start_nodes(const std::vector<size_t>& start_nodes);
    void set_return_to_end(bool return_to_end);

    // Time the agent spends on the move u -> v, by the instance's hop rule,
    // except that a move onto the agent's own start counts as free even where
    // routes return there. That only makes the dominance cut see a later
    // departure and cut less; the search's counters rely on it, so it stays.
    double cost_for(size_t agent, size_t u, size_t v) const;
    // Whether the agent may ever stand on w, depot rules included.
    bool admits(size_t agent, size_t w) const { return instance_->may_visit(agent, w); }

private:
    // Enters w at time t: false when w's window has closed, else `out` is the
    // time the agent leaves w, after waiting for the window and serving w.
    bool enter(size_t w, double t, double& out) const {
        out = t;
        return instance_->visit(w, out);
    }
    bool dominance_rejects(const SearchState& child, size_t agent, size_t prev, size_t node, double t,
                           double arrival) const;
    bool reachability_rejects(const SearchState& child, size_t agent, size_t node, double arrival) const;
    // Used on its own: the rules again from the tables, the graph's costs and the setters' data.
    void rebuild();

    DefaultConstraintChecker assignment_;
    const PlannerGraph* graph_ = nullptr;
    std::shared_ptr<const PreparedInstance> instance_ = PreparedInstance::build(nullptr, {}, {}, RuleSettings{});
    bool attached_ = false;
    // What a checker used on its own builds its rules from.
    std::shared_ptr<const CostTable> own_costs_;
    std::vector<NodeRecord> own_nodes_;
    std::vector<AgentRecord> own_agents_;
    RuleSettings own_settings_{{}, {}, {}, false, false, {}};
};

// Precedence pairs, for a search that builds plans in time order: an after
// node may be entered only once its before nodes are served (by the same
// agent for "same", another for "diff"), and its service waits for theirs
// to end (timed pairs). States carry, as state values, the end of service
// at each timed before node and the agent that served each before node of
// a "same" or "diff" pair, while a pair still needs them (0 otherwise), so
// the dominance test stays sound: earlier ends dominate, and an agent k is
// kept as the values k + 1 and -(k + 1), which compare as equal only when
// equal. Only used with the Solver's prepared instance.
class PrecedenceConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "PrecedenceConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    bool forbids(size_t agent, size_t node) const override { return assignment_.forbids(agent, node); }
    // Refuses an after node whose before nodes are not served as its pairs
    // ask, and a close that leaves a "same" pair of the agent open; sets the
    // arrival to the end of the latest timed before node when that is later.
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState&, size_t) const override { return true; }
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }
    size_t state_values() const override { return finish_count_ + 2 * server_count_; }
    void record(SearchState& child, size_t agent, size_t node) const override;

private:
    // The first of the checker's values in the state's extra_values.
    size_t base(const SearchState& state) const { return state.extra_values.size() - state_values(); }
    // Every pair of the before node of this kind (timed, or bound to an agent) has its after node visited.
    bool settled(const SearchState& state, size_t before, bool timed) const;

    DefaultConstraintChecker assignment_;
    std::shared_ptr<const PreparedInstance> instance_ = PreparedInstance::build(nullptr, {}, {}, RuleSettings{});
    // node -> index of its finish value / its agent values, or kNoSlot
    std::vector<size_t> finish_slot_, server_slot_;
    size_t finish_count_ = 0;
    size_t server_count_ = 0;
};

class CompositeConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "CompositeConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;
    bool forbids(size_t agent, size_t node) const override;
    // Chains the children: each sees the arrival time the previous ones set.
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override;
    size_t state_values() const override;
    void record(SearchState& child, size_t agent, size_t node) const override;

    void add(std::unique_ptr<ConstraintCheckerPlugin> checker);
    const std::vector<std::unique_ptr<ConstraintCheckerPlugin>>& children() const { return children_; }

private:
    std::vector<std::unique_ptr<ConstraintCheckerPlugin>> children_;
    // Private copy of the child state; reused so a call allocates nothing once warm.
    mutable SearchState scratch_;
};

}  // namespace dulmar
