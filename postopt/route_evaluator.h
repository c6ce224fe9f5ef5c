// The route rules shared by the post-optimisers: a route must start and end
// at its agent's depots, visit only nodes its agent type may serve, avoid the
// other agents' depots inside, keep the time windows (with service times, by
// the visit rule of plugins/visit_rule.h), the agent's time limit and, when
// enforced, its capacity. The first position is where the agent stands at
// time 0, so neither assignment nor window applies there. Candidate routes
// (one node removed, one inserted, one segment reversed) are judged in place
// against a scanned base route, with the same arithmetic as a full evaluation
// so the costs are bit-identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include "graph/cost_table.h"
#include "graph/planner_graph.h"
#include "plugins/records.h"
#include "plugins/visit_rule.h"

namespace dulmar {

using Route = std::vector<int64_t>;

struct RouteEvaluation {
    bool valid = true;
    double cost = 0.0;
};

// When an agent reaches a node of its route, how long it waits for the node's
// window, when its service starts and ends, and what its route has loaded by
// then (the demands served so far).
struct Stop {
    int64_t node = 0;
    double arrival = 0.0;
    double wait = 0.0;
    double start = 0.0;
    double departure = 0.0;
    double load = 0.0;
};

// Running costs of a base route, so candidates that share its head resume
// there instead of walking it again.
struct RouteScan {
    const Route* route = nullptr;
    size_t agent = 0;
    RouteEvaluation whole;       // the base route's own verdict
    size_t fail_at = 0;          // first position that breaks a rule (route size if none)
    std::vector<double> prefix;  // prefix[i]: running cost after position i, for i < fail_at
    std::vector<double> prefix_load;  // prefix_load[i]: demand loaded by position i (0 when not enforced)
};

class RouteEvaluator {
public:
    static constexpr double kEpsilon = 1e-9;
    static constexpr double kNoBound = std::numeric_limits<double>::infinity();

    // Settings take effect at the next prepare.
    void set_return_to_end(bool return_to_end) { return_to_end_ = return_to_end; }
    void set_start_nodes(const std::vector<size_t>& start_nodes);
    void set_end_nodes(const std::vector<size_t>& end_nodes);
    void set_time_windows(const TimeWindowMap& time_windows);
    void set_enforce_capacity(bool enforce) { enforce_capacity_ = enforce; }

    bool return_to_end() const { return return_to_end_; }
    bool has_time_windows() const { return has_time_windows_; }
    bool enforce_capacity() const { return enforce_capacity_; }
    const TimeWindowMap& time_windows() const { return time_windows_; }
    const std::vector<size_t>& start_nodes() const { return start_nodes_; }
    const std::vector<size_t>& end_nodes() const { return end_nodes_; }
    const std::unordered_set<size_t>& start_node_set() const { return start_node_set_; }
    const std::unordered_set<size_t>& end_node_set() const { return end_node_set_; }

    // Rebuilds the cost table and the per-agent, per-node tables. A null graph
    // makes every arc cost 0.
    void prepare(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                 const std::vector<AgentRecord>& agents);
    // The same over a cost table built without a graph, shared rather than
    // copied (a large instance's tables are the biggest thing in memory).
    void prepare(std::shared_ptr<const CostTable> costs, const std::vector<NodeRecord>& nodes,
                 const std::vector<AgentRecord>& agents);

    size_t agent_count() const { return agents_.size(); }
    const AgentRecord& agent(size_t a) const { return agents_[a]; }
    // Type t occurs in the node's allowed types.
    bool type_allows(size_t t, int64_t node) const;
    // The agent's type may visit the node and the node is no other agent's depot.
    bool can_serve(size_t agent, int64_t node) const;
    // What the hop u -> v adds to the agent's running cost: nothing when it
    // stands still, nothing into its own depots when routes need not return,
    // else its type's arc cost. Every route cost is built from these hops.
    double arc(size_t agent, size_t u, size_t v) const {
        const size_t n = nodes_.size();
        if (agent >= agent_info_.size() || v >= n) return 0.0;
        return hop(agent_info_[agent], flags_[agent * n + v], u, v);
    }
    // The node's window, or null when it has none.
    const TimeWindow* window(size_t node) const {
        return has_time_windows_ && node < has_window_.size() && has_window_[node] ? &window_[node] : nullptr;
    }
    double service(size_t node) const { return service_[node]; }
    double demand(size_t node) const { return demand_[node]; }
    // The capacity a route of this agent must keep to; 0 when none is enforced.
    double capacity(size_t agent) const { return agent_info_[agent].capacity; }
    const CostTable& costs() const { return *costs_; }
    size_t node_count() const { return nodes_.size(); }

    RouteEvaluation evaluate(const Route& route, size_t agent) const;
    // The timetable of a valid route, by the same rules and arithmetic as
    // evaluate: the last stop's departure is the route's cost. Empty for an
    // invalid route.
    std::vector<Stop> schedule(const Route& route, size_t agent) const;

    // Fills `out` for `route`, which must outlive it and stay unchanged while used.
    void scan(const Route& route, size_t agent, RouteScan& out) const;

    // Candidates derived from a scanned route. Positions: removal 1..n-2,
    // insertion before 1..n-1, reversal 1 <= first < last <= n-2; other
    // in-range positions work too, only slower. When arc costs cannot lower
    // the running cost, a candidate whose running cost passes `bound` is given
    // up and reported invalid: callers pass a bound above which they would
    // reject the candidate anyway.
    RouteEvaluation evaluate_removed(const RouteScan& base, size_t pos, double bound = kNoBound) const;
    RouteEvaluation evaluate_inserted(const RouteScan& base, size_t pos, int64_t node,
                                      double bound = kNoBound) const;
    RouteEvaluation evaluate_reversed(const RouteScan& base, size_t first, size_t last,
                                      double bound = kNoBound) const;

    // First-improvement 2-opt with a full restart after every adopted reversal;
    // `cost` is the route's current cost and is updated with it.
    void two_opt(Route& route, size_t agent, double& cost) const;

private:
    enum : unsigned char { kServes = 1, kOtherDepot = 2, kOwnStart = 4, kOwnEnd = 8 };

    struct AgentInfo {
        bool known = false;  // the depot lists cover this agent
        size_t type = 0;
        double time_limit = 0.0;
        double capacity = 0.0;  // 0: none enforced
        size_t start = 0;
        size_t end = 0;
    };

    double hop(const AgentInfo& info, unsigned char head_flags, size_t u, size_t v) const {
        if (v == u || (!return_to_end_ && (head_flags & (kOwnStart | kOwnEnd)))) return 0.0;
        return costs_->cost_or(u, v, info.type, 0.0);
    }
    template <class View>
    bool ends_ok(const View& r, const AgentInfo& info) const;
    template <class View>
    bool step(const View& r, const AgentInfo& info, size_t a, size_t i, double& c, double& load) const;
    template <class View>
    RouteEvaluation walk(const View& r, size_t a, size_t from, double c, double load, double bound) const;
    template <class View>
    RouteEvaluation resume(const View& r, const RouteScan& base, size_t from, double bound) const;

    bool return_to_end_ = false;
    bool has_time_windows_ = false;
    bool enforce_capacity_ = false;
    TimeWindowMap time_windows_;
    std::vector<size_t> start_nodes_;
    std::vector<size_t> end_nodes_;
    std::unordered_set<size_t> start_node_set_;
    std::unordered_set<size_t> end_node_set_;

    std::shared_ptr<const CostTable> costs_ = std::make_shared<const CostTable>();
    std::shared_ptr<CostTable> built_;  // the table built from a graph, when costs_ is it
    std::vector<NodeRecord> nodes_;
    std::vector<AgentRecord> agents_;
    std::vector<AgentInfo> agent_info_;
    std::vector<unsigned char> flags_;  // [agent * node_count + node]
    std::vector<char> has_window_;      // by node index
    std::vector<TimeWindow> window_;    // by node index
    std::vector<double> service_;       // by node index
    std::vector<double> demand_;        // by node index
    bool monotone_ = false;             // running costs never decrease
};

}  // namespace dulmar
