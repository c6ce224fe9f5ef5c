// A complete or partial solution of the improvement stage: one route per
// agent, from its start node to its terminal node, with the timing data that
// lets moves be priced in constant time. Route costs are the evaluator's own.
// On very large instances a change re-times a route from its first changed
// position only and rebuilds just the blocks of summaries it touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/result.h"
#include "improve/penalties.h"
#include "improve/route_summaries.h"
#include "improve/stage_model.h"
#include "rules/objective.h"
#include "rules/segment.h"

namespace dulmar {

struct StageRoute {
    size_t agent = 0;
    Route nodes;               // start, targets..., terminal (the agent's end, or its start on an open route)
    std::vector<double> leave;  // running cost after each position, as the evaluator computes it
    std::vector<double> load;   // load[p]: the demands of positions 0..p
    // Very large instances only: hop[p], the evaluator's hop into position p.
    std::vector<double> hop;
    // Runs of the route's targets timed as a whole (head summaries on large
    // instances only, late tails only while the solution may break rules).
    RouteSummaries summaries;
    // The route's cost: the evaluator's; while the solution may break rules
    // (see StageSolution::set_penalties), the measured cost plus penalties.
    double cost = 0.0;
    // Only while the solution may break rules: the route measured as such a
    // plan, and the running time and lateness after each position (late
    // arrivals set back to their window's end).
    RouteViolation violation;
    std::vector<double> late_leave;
    std::vector<double> late_sum;

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
    size_t position_of(int64_t node) const {
        const size_t v = static_cast<size_t>(node);
        const int64_t r = route_of_[v];
        return r < 0 ? slot_of_[v] : routes_[static_cast<size_t>(r)].summaries.position(slot_of_[v]);
    }
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
    // that differs from this one in those routes only), without timing them
    // again; on very large instances the data of a route's targets before the
    // first that differs is kept.
    void copy_routes(const StageSolution& other, const std::vector<size_t>& routes);

    StageValue value() const { return totals_; }
    // Largest route cost among the routes other than a and b.
    double max_except(size_t a, size_t b) const;
    // The route with the largest cost (the first on ties).
    size_t longest() const { return top_[0]; }

private:
    // Marks the route's targets as unserved before its nodes are replaced.
    void release(size_t r);
    // Times the route whole.
    void refresh(size_t r);
    // The route's nodes hold the edits already (positions before them,
    // ascending, and only removals when there are several): the route is
    // re-timed from the first, its summaries where the edits fell. Very
    // large instances only (see incremental()).
    void update(size_t r, const RouteEdit* edits, size_t count);
    bool incremental(size_t r) const;
    // Re-times the route from position `from` on, as the evaluator would; from
    // `settled` on, a position that times as before ends the walk. False when
    // the route breaks a rule.
    bool walk(size_t r, size_t from, size_t settled);
    void walk_late(size_t r, size_t from, size_t settled);
    // Before `nodes` replace route r: true, with `edit`, when only the edit
    // changes and its old targets have been let go; false when the whole
    // route has been let go.
    bool prepare(size_t r, const Route& nodes, RouteEdit& edit);
    void place(size_t r, const Route& nodes, bool edited, const RouteEdit& edit);
    // The hops into the route's positions (hops[p]: p - 1 -> p) for its
    // summaries; on very large instances the route's own hop, worked out again.
    const double* hops(size_t r);
#ifndef NDEBUG
    void check_timing(size_t r) const;
#endif
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
    // By target: its position on its route, or on very large instances its
    // slot in the route's summaries (RouteSummaries::position).
    std::vector<size_t> slot_of_;
    size_t unassigned_ = 0;
    bool loads_ = false;  // some node has a demand: otherwise every load stays 0
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
    std::vector<double> hops_;   // refresh's working buffer: hop p - 1 -> p for the route's type
    std::vector<std::pair<size_t, size_t>> taken_;  // remove_nodes' working buffers: (route, position)
    std::vector<RouteEdit> edits_;
    std::vector<size_t> alike_;  // copy_routes' working buffer
    std::vector<size_t> changed_;
    std::vector<char> changed_flag_;  // by route: listed in changed_
};

}  // namespace dulmar
