// A complete or partial solution of the improvement stage: one route per
// agent, from its start node to its terminal node, with the timing data that
// lets moves be priced in constant time. Route costs are the evaluator's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/result.h"
#include "improve/penalties.h"
#include "improve/stage_model.h"
#include "rules/objective.h"
#include "rules/segment.h"

namespace dulmar {

struct StageRoute {
    size_t agent = 0;
    Route nodes;               // start, targets..., terminal (the agent's end, or its start on an open route)
    std::vector<double> leave;  // running cost after each position, as the evaluator computes it
    std::vector<double> load;   // load[p]: the demands of positions 0..p
    std::vector<Segment> tail;  // tail[p]: the targets from position p to the last one (1 <= p <= size-2)
    // Large instances only, so that no move walks a whole route: head[p], the
    // targets from position 1 to p; tail_by_type[t * size + p], tail[p] timed
    // for agent type t (blocked where t may not serve a target), with more
    // than one type.
    std::vector<Segment> head;
    std::vector<Segment> tail_by_type;
    // The route's cost: the evaluator's; while the solution may break rules
    // (see StageSolution::set_penalties), the measured cost plus penalties.
    double cost = 0.0;
    // Only while the solution may break rules: the route measured as such a
    // plan, the running time and lateness after each position (late arrivals
    // set back to their window's end), and the targets from position p on as
    // a summary that may be late.
    RouteViolation violation;
    std::vector<double> late_leave;
    std::vector<double> late_sum;
    std::vector<WarpSegment> late_tail;

    size_t size() const { return nodes.size(); }
    size_t target_count() const { return nodes.size() - 2; }
};

// A solution's value, compared by rules/objective.h's better().
using StageValue = CostTotals;

class StageSolution {
public:
    // Every agent idle on [start, end]; routes_valid() tells whether that is allowed.
    explicit StageSolution(const StageModel& model);

    const StageModel& model() const { return *model_; }
    const std::vector<StageRoute>& routes() const { return routes_; }
    const StageRoute& route(size_t r) const { return routes_[r]; }
    // The route serving `node`, or -1.
    int64_t route_of(int64_t node) const { return route_of_[static_cast<size_t>(node)]; }
    size_t position_of(int64_t node) const { return position_of_[static_cast<size_t>(node)]; }
    size_t unassigned_count() const { return unassigned_; }
    // No route breaks the depot and assignment rules (nor, without penalties,
    // any other, precedence pairs included).
    bool routes_valid() const { return invalid_routes_ == 0 && !plan_invalid_; }

    // With penalties, routes may break windows, route limits and capacities at
    // the given cost, and route costs and the value include it; null: they
    // may not. Every route is measured again; `penalties` must outlive its use.
    void set_penalties(const Penalties* penalties);
    const Penalties* penalties() const { return penalties_; }
    // Every route keeps every rule.
    bool feasible() const { return routes_valid() && (penalties_ == nullptr || breaking_routes_ == 0); }
    // Summed over the routes: lateness, time over limits, load over capacities.
    RouteViolation violations() const;

    // Takes the routes of a solution; false (and the idle solution) when any
    // route breaks a rule or the routes do not serve every target exactly once.
    bool load(const Result& result);
    // Every agent back on its idle route [start, end].
    void clear();
    // Writes every route and its cost into `out` (agent index keys).
    void write(Result& out) const;

    // Replaces a route's nodes (start and terminal included) and refreshes it.
    void set_route(size_t r, const Route& nodes);
    // Replaces two routes at once, so targets may pass from one to the other.
    void set_routes(size_t a, const Route& a_nodes, size_t b, const Route& b_nodes);
    void insert(size_t r, size_t pos, int64_t node);
    void remove(size_t r, size_t pos);
    // Removes several targets at once; each route is refreshed once.
    void remove_nodes(const std::vector<int64_t>& nodes);

    // Routes refreshed since forget_changes(), each once.
    const std::vector<size_t>& changed() const { return changed_; }
    void forget_changes();
    // Makes the listed routes those of `other` (a solution of the same model
    // that differs from this one in those routes only), without timing them again.
    void copy_routes(const StageSolution& other, const std::vector<size_t>& routes);

    StageValue value() const { return totals_; }
    // Largest route cost among the routes other than a and b.
    double max_except(size_t a, size_t b) const;
    // The route with the largest cost (the first on ties).
    size_t longest() const { return top_[0]; }

private:
    // Marks the route's targets as unserved before its nodes are replaced.
    void release(size_t r);
    void refresh(size_t r);
    // refresh() of a route that may break windows, limits and capacities.
    void refresh_breakable(size_t r);
    void set_invalid(size_t r, bool invalid);
    void refresh_totals();
    // With precedence pairs and no penalties: every route's cost and running
    // costs from the plan timed whole.
    void time_whole_plan();

    const StageModel* model_;
    std::vector<StageRoute> routes_;
    std::vector<int64_t> route_of_;
    std::vector<size_t> position_of_;
    size_t unassigned_ = 0;
    size_t invalid_routes_ = 0;
    bool plan_invalid_ = false;  // the routes keep their own rules but not the precedence pairs
    const Penalties* penalties_ = nullptr;
    size_t breaking_routes_ = 0;  // with penalties: routes that break a window, limit or capacity
    std::vector<char> invalid_;
    CostTotals totals_;
    size_t top_[3] = {0, 0, 0};  // routes with the three largest costs, largest first
    RouteScan scan_;
    std::vector<char> touched_;  // remove_nodes' working buffer
    std::vector<double> costs_;  // time_whole_plan's working buffer
    std::vector<double> hops_;   // refresh's working buffer: hop p -> p + 1 for the route's type
    std::vector<size_t> changed_;
    std::vector<char> changed_flag_;  // by route: listed in changed_
};

}  // namespace dulmar
