// A candidate route described by the pieces of existing routes it is made
// of: the head of a base route, up to three runs of targets taken from any
// routes (forwards or backwards), and the base route's terminal node. Moves
// are priced by timing such a plan, and applied by building it.
#pragma once

#include <cstddef>
#include <vector>

#include "improve/stage_solution.h"

namespace dulmar {

// Targets first..last of a route (positions), backwards when `reversed`;
// empty when first > last. Without a route, the one target `node`.
struct Run {
    const StageRoute* route = nullptr;
    size_t first = 1;
    size_t last = 0;
    bool reversed = false;
    int64_t node = -1;

    bool empty() const { return first > last; }
    size_t length() const { return empty() ? 0 : last - first + 1; }
    int64_t at(size_t i) const { return route ? route->nodes[reversed ? last - i : first + i] : node; }
};

struct RoutePlan {
    static constexpr size_t kMaxRuns = 3;

    const StageRoute* base = nullptr;
    size_t keep = 0;  // base's nodes 0..keep stay in front
    Run runs[kMaxRuns];
    size_t run_count = 0;

    RoutePlan(const StageRoute& base_route, size_t keep_through) : base(&base_route), keep(keep_through) {}
    RoutePlan& then(const StageRoute& route, size_t first, size_t last, bool reversed = false) {
        runs[run_count++] = Run{&route, first, last, reversed};
        return *this;
    }
    // A target that is on no route yet.
    RoutePlan& then_node(int64_t node) {
        runs[run_count++] = Run{nullptr, 0, 0, false, node};
        return *this;
    }
    // The rest of `route` from position `first` to its last target.
    RoutePlan& then_rest(const StageRoute& route, size_t first) {
        return then(route, first, route.size() - 2);
    }
    size_t target_count() const;
};

// Times the plan for the base route's agent. False when a window, the route
// limit, the agent's enforced capacity or an agent-type rule fails; otherwise
// `cost` is the route's cost. Runs are timed hop by hop as the evaluator does,
// except a route's own tail reused unchanged, which is timed by its summary
// (equal up to rounding), and on large instances also a route's head and its
// tail under another type; loads come from the routes' prefix loads (likewise).
//
// With penalties (the plan's routes belong to a solution that may break
// rules), windows, the limit and the capacity are never a reason to refuse:
// `cost` is the measured cost plus the penalties for breaking them.
bool time_plan(const StageModel& model, const RoutePlan& plan, double& cost, const Penalties* penalties = nullptr);

// The plan priced for the solution it belongs to: with precedence pairs (and
// no penalties) the solution's plan with this one built in place of its base
// route is timed whole, so waits on other routes count, and `cost` is the
// built route's cost; otherwise exactly the time_plan above.
inline bool time_plan(const StageSolution& s, const RoutePlan& plan, double& cost);

// With precedence pairs: the solution's plan with `a` and, when given, `b`
// built in place of their base routes, timed whole. False when it breaks a
// rule; otherwise `costs` holds every route's cost.
bool time_plans(const StageSolution& s, const RoutePlan& a, const RoutePlan* b, std::vector<double>& costs);

// time_plan for a solution with precedence pairs and no penalties.
bool time_whole_plan(const StageSolution& s, const RoutePlan& plan, double& cost);

inline bool time_plan(const StageSolution& s, const RoutePlan& plan, double& cost) {
    if (!s.model().ordered() || s.penalties() != nullptr) return time_plan(s.model(), plan, cost, s.penalties());
    return time_whole_plan(s, plan, cost);
}

// The plan's nodes, start and terminal included.
void build_plan(const RoutePlan& plan, Route& out);

}  // namespace dulmar
