// One instance as every stage reads it, built once per solve and never
// changed: the node and agent tables by index with their depots, windows,
// service times, demands, capacities and route limits, one dense cost table
// per agent type (or costs worked out on demand, see CostTable), and the
// rules these make. The search's checkers and bound,
// the post-optimisers, the route evaluator and the improvement stage all ask
// it, so each rule below has this one home:
//   hop       what a move adds to an agent's running cost (the free hop into
//             its own depots when routes need not return);
//   admission which nodes an agent may visit (its type, other agents' depots);
//   visit     a node's window and service (visit_rule.h);
//   limits    the route limit and the capacity;
//   order     the precedence pairs (precedence.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include "graph/planner_graph.h"
#include "rules/cost_table.h"
#include "rules/limits.h"
#include "rules/precedence.h"
#include "rules/segment.h"
#include "rules/tables.h"
#include "rules/visit_rule.h"

namespace dulmar {

// What the rules need besides the tables. The depot lists are by agent index;
// either may be empty (a plug-in used on its own may not know them), and an
// agent beyond a non-empty list is unknown to the route rules.
struct RuleSettings {
    std::vector<size_t> start_nodes;
    std::vector<size_t> end_nodes;
    TimeWindowMap time_windows;
    bool return_to_end = true;
    bool enforce_capacity = false;
    // The precedence pairs to keep, by node index; empty when precedence is not enforced.
    std::vector<PrecedencePair> precedence;
};

class PreparedInstance {
public:
    static constexpr size_t kNoNode = std::numeric_limits<size_t>::max();

    // `given` marks, at [(u * n + v) * types + t], the entries a cost matrix or
    // metric gave; left empty, every entry the table holds counts as given.
    static std::shared_ptr<const PreparedInstance> build(std::shared_ptr<const CostTable> costs,
                                                         std::vector<NodeRecord> nodes,
                                                         std::vector<AgentRecord> agents, RuleSettings settings,
                                                         std::vector<char> given = {});
    // The same over the arcs of a caller's graph (null: every arc costs 0);
    // every entry the graph holds counts as given.
    static std::shared_ptr<const PreparedInstance> from_graph(const PlannerGraph* graph, std::vector<NodeRecord> nodes,
                                                              std::vector<AgentRecord> agents, RuleSettings settings);

    size_t node_count() const { return n_; }
    size_t agent_count() const { return agents_.size(); }
    const std::vector<NodeRecord>& nodes() const { return nodes_; }
    const std::vector<AgentRecord>& agents() const { return agents_; }
    const RuleSettings& settings() const { return settings_; }
    bool return_to_end() const { return settings_.return_to_end; }
    bool has_start_nodes() const { return !settings_.start_nodes.empty(); }
    bool has_end_nodes() const { return !settings_.end_nodes.empty(); }
    bool has_time_windows() const { return !settings_.time_windows.empty(); }
    const std::unordered_set<size_t>& start_node_set() const { return start_node_set_; }
    const std::unordered_set<size_t>& end_node_set() const { return end_node_set_; }

    // ---- costs
    const CostTable& costs() const { return *costs_; }
    const std::shared_ptr<const CostTable>& shared_costs() const { return costs_; }
    // Cost of u -> v for type t, both below node_count() and t a type the table has.
    double cost(size_t t, size_t u, size_t v) const { return costs_->cost(t, u, v); }
    // Some cost matrix or metric gave the entry (kMissingArcCost fills the rest).
    bool arc_given(size_t u, size_t v, size_t t) const;

    // ---- per agent
    size_t type_of(size_t agent) const { return agents_[agent].type; }
    // The depot lists cover the agent (see RuleSettings).
    bool known(size_t agent) const { return info_[agent].known; }
    size_t start_of(size_t agent) const { return info_[agent].start; }  // kNoNode when not given
    size_t end_of(size_t agent) const { return info_[agent].end; }
    double time_limit(size_t agent) const { return agents_[agent].time_limit; }
    // The capacity a route of this agent must keep to; 0 when none is enforced.
    double capacity(size_t agent) const { return info_[agent].capacity; }

    // ---- hop: what the move u -> v adds to the agent's running cost: nothing
    // when it stands still, nothing into its own depots when routes need not
    // return, else its type's arc cost (0 where the table has none).
    double hop(size_t agent, size_t u, size_t v) const {
        if (agent >= info_.size() || v >= n_) return 0.0;
        return hop_with(agent, flags_[agent * n_ + v], u, v);
    }

    // ---- admission
    enum : unsigned char { kServes = 1, kOtherDepot = 2, kOwnStart = 4, kOwnEnd = 8 };
    // kServes: the agent's type may visit the node; kOtherDepot: it is another
    // agent's start or end node; kOwnStart / kOwnEnd: the agent's own depots.
    unsigned char flags(size_t agent, size_t node) const { return flags_[agent * n_ + node]; }
    // The same by [agent * node_count() + node], for loops that read many.
    const unsigned char* flag_table() const { return flags_.data(); }
    // Type t occurs in the node's allowed types.
    bool type_allows(size_t t, size_t node) const;
    // The agent's type may visit the node and the node is no other agent's depot.
    bool may_visit(size_t agent, size_t node) const {
        if (agent >= info_.size() || node >= n_) return false;
        const unsigned char f = flags(agent, node);
        return (f & kServes) && !(f & kOtherDepot);
    }

    // ---- visit
    // The node's window, or null when it has none.
    const TimeWindow* window(size_t node) const {
        if (node < n_) return has_window_[node] ? &window_[node] : nullptr;
        return window_beyond_table(node);
    }
    double service(size_t node) const { return nodes_[node].service; }
    double demand(size_t node) const { return nodes_[node].demand; }
    // Enters the node at time t; see visit_node.
    bool visit(size_t node, double& t) const {
        return visit_node(window(node), node < n_ ? nodes_[node].service : 0.0, t);
    }
    // The visit in summary form, for joining runs of visits (node below node_count()).
    const Segment& visit_segment(size_t node) const { return segments_[node]; }
    const Segment* visit_segments() const { return segments_.data(); }

    // ---- limits
    bool within_route_limit(size_t agent, double cost) const {
        return dulmar::within_route_limit(cost, agents_[agent].time_limit);
    }
    bool within_capacity(size_t agent, double load) const { return dulmar::within_capacity(load, capacity(agent)); }

    // ---- order
    const PrecedenceRule& precedence() const { return precedence_; }

    // Running costs never decrease along a route (no negative or NaN cost of an
    // agent's type, no negative service, no NaN window start), so a candidate
    // whose running cost passes a bound can be given up there.
    bool monotone() const { return monotone_; }

private:
    struct AgentInfo {
        bool known = false;
        size_t start = kNoNode;
        size_t end = kNoNode;
        double capacity = 0.0;
    };

    double hop_with(size_t agent, unsigned char head_flags, size_t u, size_t v) const {
        if (v == u || (!settings_.return_to_end && (head_flags & (kOwnStart | kOwnEnd)))) return 0.0;
        return costs_->cost_or(u, v, agents_[agent].type, 0.0);
    }

    const TimeWindow* window_beyond_table(size_t node) const;

    friend class RouteEvaluator;

    std::shared_ptr<const CostTable> costs_;
    std::vector<char> given_;
    std::vector<NodeRecord> nodes_;
    size_t n_ = 0;  // nodes_.size(), kept so that hot indexing needs no division
    std::vector<AgentRecord> agents_;
    RuleSettings settings_;
    std::unordered_set<size_t> start_node_set_;
    std::unordered_set<size_t> end_node_set_;
    std::vector<AgentInfo> info_;
    std::vector<unsigned char> flags_;  // [agent * node count + node]
    std::vector<char> has_window_;      // by node index
    std::vector<TimeWindow> window_;    // by node index
    std::vector<Segment> segments_;     // by node index: visit_segment(window, service)
    bool monotone_ = false;
    PrecedenceRule precedence_;
};

}  // namespace dulmar
