// Descent over the stage's neighbourhoods, restricted to each target's
// nearest neighbours: inside a route 2-opt and or-opt; between routes
// relocation, swap, 2-opt* (tail exchange) and cross-exchange of short
// strings. Moves are priced from the routes' timing data and applied only
// when the evaluator confirms the solution got strictly better.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "improve/route_plan.h"
#include "improve/stage_solution.h"

namespace dulmar {

class LocalSearch {
public:
    // Longest string moved by or-opt and cross-exchange.
    static constexpr size_t kMaxString = 3;
    // On large instances, how far from a change targets are queued again.
    static constexpr size_t kReach = 2;

    LocalSearch(const StageModel& model, size_t neighbours);

    // Improves `solution` until no queued target has an improving move; a
    // target whose route changes is queued again. Returns the moves applied.
    // `stop`, when given, is asked every few hundred targets and ends the run.
    size_t run(StageSolution& solution, const std::vector<int64_t>& queue, std::mt19937_64& rng,
               const std::function<bool()>* stop = nullptr);

private:
    // The cost of u's route without the string of `len` targets starting at
    // u, priced once per target since it does not depend on the partner.
    struct Removed {
        bool feasible = false;
        double cost = 0.0;
    };

    bool improve_target(StageSolution& s, int64_t u);
    bool between_routes(StageSolution& s, int64_t u, int64_t v, const Removed* removed);
    bool within_route(StageSolution& s, int64_t u, int64_t v);
    bool into_route_fronts(StageSolution& s, int64_t u, const Removed& removed);

    // Times a plan; false when it breaks a rule, or under min-max when it
    // alone would lengthen the longest route.
    bool price(const StageSolution& s, const RoutePlan& plan, double& cost) const;
    // Prices the plans (b may be null for a move inside one route) and applies
    // them when they improve the solution.
    bool try_plans(StageSolution& s, const RoutePlan& a, const RoutePlan* b);
    // The same with plan a already priced (unless the plans are timed whole).
    bool try_priced(StageSolution& s, const RoutePlan& a, double ca, const RoutePlan* b);
    // Precedence pairs hold and the solution keeps every rule: moves are priced on the whole plan.
    bool whole_plans(const StageSolution& s) const;
    void push(int64_t node);
    // Queues the targets of a route that changed from `before`: all of them on
    // small instances, else those within kReach positions of the change.
    void push_around(const StageSolution& s, size_t route, const Route& before);

    const StageModel& model_;
    size_t neighbours_;
    std::vector<int64_t> queue_;
    std::vector<char> queued_;
    Route scratch_a_, scratch_b_, undo_a_, undo_b_;
    std::vector<double> plan_costs_;  // with precedence pairs: every route's cost under a move
};

}  // namespace dulmar
