// The plug-in class tree through which the search asks every question it
// does not answer itself: feasibility, which agent moves, the lower bound,
// the objective and priority, the focal order and post-optimisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"
#include "graph/planner_graph.h"
#include "plugins/records.h"
#include "plugins/search_state.h"
#include "rules/prepared_instance.h"

namespace dulmar {

class PluginBase {
public:
    virtual ~PluginBase() = default;
    virtual std::string name() const = 0;
};

class ConstraintCheckerPlugin : public PluginBase {
public:
    virtual void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                            const std::vector<AgentRecord>& agents) = 0;
    // True when the agent may not visit the node.
    virtual bool forbids(size_t agent, size_t node) const = 0;
    // Called on the child under construction: agent_node[agent] still holds the
    // previous node, agent_cost[agent] already includes the move's cost.
    virtual TransitionVerdict check_transition(const SearchState& child, size_t agent, size_t node) const = 0;
    virtual bool check_state(const SearchState& child, size_t agent) const = 0;
    virtual bool is_dead_end(const SearchState& child) const = 0;
    // The Solver hands its prepared instance over before initialize(); a
    // checker that takes it reads its rules there and builds nothing of its
    // own. Not pure, so checkers written without it still build.
    virtual void attach(const std::shared_ptr<const PreparedInstance>&) {}
    // Values the checker keeps in every state, at the end of extra_values
    // (after the loads); they start at 0. Not pure, like attach.
    virtual size_t state_values() const { return 0; }
    // Called on the child once the move to `node` passed check_transition and
    // check_state, with the child's cost already its departure from `node`:
    // writes the move into the checker's state values.
    virtual void record(SearchState&, size_t /*agent*/, size_t /*node*/) const {}
};

class ExpansionPlugin : public PluginBase {
public:
    virtual void initialize(const std::vector<size_t>& end_nodes) = 0;
    // The agent whose moves are generated from `state`; -1 when none can move.
    virtual int64_t select_agent(const SearchState& state) const = 0;
};

class HeuristicPlugin : public PluginBase {
public:
    virtual void initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                            const std::vector<AgentRecord>& agents) = 0;
    virtual double evaluate(const SearchState& state) const = 0;
};

class ObjectivePlugin : public PluginBase {
public:
    virtual void initialize(const std::vector<size_t>& end_nodes) = 0;
    virtual double evaluate_costs(const std::vector<double>& costs) const = 0;
    virtual double evaluate_state(const SearchState& state, int64_t active, double h) const = 0;
};

class FocalComparatorPlugin : public PluginBase {
public:
    // Strict weak ordering of the focal set.
    virtual bool before(const FocalEntry& a, const FocalEntry& b) const = 0;
};

class PostOptimizerPlugin : public PluginBase {
public:
    virtual void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                          const std::vector<AgentRecord>& agents, Result& result) = 0;
    virtual void set_return_to_end(bool return_to_end) = 0;
    virtual void set_start_nodes(const std::vector<size_t>& start_nodes) = 0;
    virtual void set_end_nodes(const std::vector<size_t>& end_nodes) = 0;
    virtual void set_time_windows(const TimeWindowMap& time_windows) = 0;
    // Whether routes must keep their demands within their agents' capacities.
    // Not pure, so optimisers written before capacities existed still build.
    virtual void set_enforce_capacity(bool) {}
    // As for the checkers: the Solver's prepared instance, handed over before
    // the first optimize(); an optimiser that takes it judges routes by it
    // instead of rebuilding the rules from the graph at every call.
    virtual void attach(const std::shared_ptr<const PreparedInstance>&) {}
};

}  // namespace dulmar
