// Feasibility rules of the search: which agent types may visit a node, the
// per-agent time limits, node time windows and service times with two
// look-ahead cuts, agent capacities, and a composite that runs several
// checkers as one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/cost_table.h"
#include "plugins/plugin_base.h"

namespace dulmar {

// Assignment of nodes to agent types, plus the dead-end rule for type 0.
class DefaultConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "DefaultConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    bool forbids(size_t agent, size_t node) const override;
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override;

    void set_end_nodes(const std::vector<size_t>& end_nodes) { end_nodes_ = end_nodes; }

private:
    const PlannerGraph* graph_ = nullptr;
    std::vector<NodeRecord> nodes_;
    std::vector<AgentRecord> agents_;
    size_t agent_count_ = 0;
    std::vector<size_t> end_nodes_;  // no rule reads it

    // [agent * nodes_.size() + node]: the agent's type is in the node's list
    std::vector<char> allowed_;
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
    bool forbids(size_t agent, size_t node) const override { return assignment_.forbids(agent, node); }
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    // Rejects a state whose agent has run past its positive time limit.
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

    void set_end_nodes(const std::vector<size_t>& end_nodes) { end_nodes_ = end_nodes; }

private:
    DefaultConstraintChecker assignment_;
    std::vector<AgentRecord> agents_;
    std::vector<size_t> end_nodes_;  // no rule reads it
};

// Agent capacities, checked on the loads the search carries in each state's
// extra_values (one per agent) when capacities are enforced.
class CapacityConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "CapacityConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    // Assignment, and a node whose demand alone exceeds the agent's capacity.
    bool forbids(size_t agent, size_t node) const override;
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    // Rejects a state whose agent carries more than its positive capacity.
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

private:
    DefaultConstraintChecker assignment_;
    std::vector<double> capacity_;   // by agent; 0: no limit
    std::vector<char> too_heavy_;    // [agent * node count + node]
    size_t node_count_ = 0;
};

class TimeWindowConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "TimeConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    bool forbids(size_t agent, size_t node) const override { return assignment_.forbids(agent, node); }
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override { return assignment_.is_dead_end(child); }

    void set_end_nodes(const std::vector<size_t>& end_nodes);
    void set_time_windows(const TimeWindowMap& time_windows);
    void set_start_nodes(const std::vector<size_t>& start_nodes);
    void set_return_to_end(bool return_to_end);

    // Time the agent spends on the move u -> v; moves onto its own depots are free
    // where the route's cost leaves them out.
    double cost_for(size_t agent, size_t u, size_t v) const;
    // Whether the agent may ever stand on w, depot rules included.
    bool admits(size_t agent, size_t w) const;

private:
    // Enters w at time t: false when w's window has closed, else `out` is the
    // time the agent leaves w, after waiting for the window and serving w.
    bool enter(size_t w, double t, double& out) const;
    bool window_of(size_t w, double& start, double& end) const;
    bool admits_uncached(size_t agent, size_t w) const;
    size_t start_of(size_t agent) const;
    size_t end_of(size_t agent) const;
    bool dominance_rejects(const SearchState& child, size_t agent, size_t prev, size_t node, double t,
                           double arrival) const;
    bool reachability_rejects(const SearchState& child, size_t agent, size_t node, double arrival) const;
    // Rebuilds every dense table from the current graph, tables and setter data.
    void rebuild();

    DefaultConstraintChecker assignment_;
    const PlannerGraph* graph_ = nullptr;
    std::vector<NodeRecord> nodes_;
    std::vector<AgentRecord> agents_;
    size_t agent_count_ = 0;
    TimeWindowMap time_windows_;
    std::vector<size_t> end_nodes_;
    std::unordered_set<size_t> end_node_set_;
    std::vector<size_t> start_nodes_;
    std::unordered_set<size_t> start_node_set_;
    bool return_to_end_ = false;

    // Dense copies for the hot path, indexed by node index below nodes_.size();
    // window lookups beyond the node table fall back to time_windows_.
    CostTable costs_;
    std::vector<char> has_window_;
    std::vector<double> window_start_;
    std::vector<double> window_end_;
    std::vector<double> service_;
    std::vector<char> admits_;  // [agent * nodes_.size() + w]
};

class CompositeConstraintChecker : public ConstraintCheckerPlugin {
public:
    std::string name() const override { return "CompositeConstraintChecker"; }
    void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                    const std::vector<AgentRecord>& agents) override;
    bool forbids(size_t agent, size_t node) const override;
    // Chains the children: each sees the arrival time the previous ones set.
    TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const override;
    bool check_state(const SearchState& child, size_t agent) const override;
    bool is_dead_end(const SearchState& child) const override;

    void add(std::unique_ptr<ConstraintCheckerPlugin> checker);
    const std::vector<std::unique_ptr<ConstraintCheckerPlugin>>& children() const { return children_; }

private:
    std::vector<std::unique_ptr<ConstraintCheckerPlugin>> children_;
    // Private copy of the child state; reused so a call allocates nothing once warm.
    mutable SearchState scratch_;
};

}  // namespace dulmar
