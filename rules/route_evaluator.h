// The route rules every stage judges routes by, on the prepared instance: a
// route must start and end at its agent's depots, visit only nodes its agent
// type may serve, avoid the other agents' depots inside, keep the time windows
// (with service times, by the visit rule), the agent's route limit and, when
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

#include "graph/planner_graph.h"
#include "rules/cost_table.h"
#include "rules/limits.h"
#include "rules/prepared_instance.h"
#include "rules/tables.h"
#include "rules/visit_rule.h"

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

// How far a route breaks the rules a plan may break while it is being
// improved: windows (lateness, or time warp: a late agent is set back to the
// window's end), the route limit and the capacity. The depot and assignment
// rules are never broken: a route that breaks one is not valid at all.
struct RouteViolation {
    bool valid = true;
    double cost = 0.0;  // the time at the route's end, with late arrivals set back
    double late = 0.0;
    double over_limit = 0.0;
    double over_capacity = 0.0;

    bool feasible() const { return valid && late == 0.0 && over_limit == 0.0 && over_capacity == 0.0; }
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
    static constexpr double kEpsilon = kTolerance;
    static constexpr double kNoBound = std::numeric_limits<double>::infinity();

    RouteEvaluator() = default;
    // Judges by a prepared instance shared with the rest of the solve.
    explicit RouteEvaluator(std::shared_ptr<const PreparedInstance> instance) { attach(std::move(instance)); }

    // From now on the evaluator judges by `instance`; prepare() keeps it.
    void attach(std::shared_ptr<const PreparedInstance> instance);

    // Settings of an evaluator used on its own; they take effect at the next prepare.
    void set_return_to_end(bool return_to_end) { settings_.return_to_end = return_to_end; }
    void set_start_nodes(const std::vector<size_t>& start_nodes) { settings_.start_nodes = start_nodes; }
    void set_end_nodes(const std::vector<size_t>& end_nodes) { settings_.end_nodes = end_nodes; }
    void set_time_windows(const TimeWindowMap& time_windows) { settings_.time_windows = time_windows; }
    void set_enforce_capacity(bool enforce) { settings_.enforce_capacity = enforce; }

    // Builds a prepared instance of its own over the graph's arcs (a null graph
    // makes every arc cost 0), the tables and the settings; once attached to a
    // shared instance, does nothing.
    void prepare(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                 const std::vector<AgentRecord>& agents);

    const PreparedInstance& instance() const { return *instance_; }
    const std::shared_ptr<const PreparedInstance>& shared_instance() const { return instance_; }
    const std::vector<size_t>& start_nodes() const { return instance_->settings().start_nodes; }
    const std::vector<size_t>& end_nodes() const { return instance_->settings().end_nodes; }

    size_t agent_count() const { return instance_->agent_count(); }
    const AgentRecord& agent(size_t a) const { return instance_->agents()[a]; }
    // Type t occurs in the node's allowed types.
    bool type_allows(size_t t, int64_t node) const {
        return node >= 0 && instance_->type_allows(t, static_cast<size_t>(node));
    }
    // The agent's type may visit the node and the node is no other agent's depot.
    bool can_serve(size_t agent, int64_t node) const {
        return node >= 0 && instance_->may_visit(agent, static_cast<size_t>(node));
    }
    // What the hop u -> v adds to the agent's running cost (PreparedInstance::hop).
    double arc(size_t agent, size_t u, size_t v) const { return instance_->hop(agent, u, v); }
    // The node's window, or null when it has none.
    const TimeWindow* window(size_t node) const {
        return node < instance_->node_count() ? instance_->window(node) : nullptr;
    }
    double service(size_t node) const { return instance_->service(node); }
    double demand(size_t node) const { return instance_->demand(node); }
    // The capacity a route of this agent must keep to; 0 when none is enforced.
    double capacity(size_t agent) const { return instance_->capacity(agent); }
    const CostTable& costs() const { return instance_->costs(); }
    size_t node_count() const { return instance_->node_count(); }

    // One route by the route rules alone; where precedence holds, a route's
    // cost may also depend on the other routes (plan_evaluator.h).
    RouteEvaluation evaluate(const Route& route, size_t agent) const;
    // The route starts and ends at the agent's depots (an empty route does too).
    bool ends_ok(const Route& route, size_t agent) const;
    // One step of a walk along the route: position i entered with the running
    // cost c (after position i - 1) and the load so far; service there may not
    // start before `ready`. False when position i breaks a route rule.
    bool advance(const Route& route, size_t agent, size_t i, double ready, double& c, double& load) const;
    // The timetable of a valid route, by the same rules and arithmetic as
    // evaluate: the last stop's departure is the route's cost. Empty for an
    // invalid route.
    std::vector<Stop> schedule(const Route& route, size_t agent) const;

    // The route measured as a plan that may break windows, its limit and its
    // capacity; a feasible route's cost is exactly evaluate()'s.
    RouteViolation measure(const Route& route, size_t agent) const;

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
    template <class View>
    bool ends_ok(const View& r, size_t a) const;
    template <class View>
    bool step(const View& r, size_t a, size_t i, double& c, double& load,
              double ready = -std::numeric_limits<double>::infinity()) const;
    template <class View>
    RouteEvaluation walk(const View& r, size_t a, size_t from, double c, double load, double bound) const;
    template <class View>
    RouteEvaluation resume(const View& r, const RouteScan& base, size_t from, double bound) const;

    std::shared_ptr<const PreparedInstance> instance_ =
        PreparedInstance::build(nullptr, {}, {}, RuleSettings{}, {});
    bool attached_ = false;
    RuleSettings settings_{{}, {}, {}, false, false, {}};
};

}  // namespace dulmar
