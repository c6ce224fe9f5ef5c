// Whole plans judged together where precedence pairs tie routes to one
// another: a timed pair makes the after node's route wait for the before
// node's route, so route times are propagated in dependency order (route
// order plus pair edges). A plan is infeasible when a route breaks a route
// rule at its waited times, a "same" pair is split or out of order, a "diff"
// pair shares a route, or the dependencies form a cycle across routes (a
// deadlock). Without pairs it judges every route as the route evaluator does.
// The search's result check, the post-optimisers, the improvement stage and
// the timetables of the result all time plans here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/result.h"
#include "rules/route_evaluator.h"

namespace dulmar {

class PlanEvaluator {
public:
    // `routes` judges the routes and must outlive the evaluator.
    explicit PlanEvaluator(const RouteEvaluator& routes) : routes_(&routes) {}

    const RouteEvaluator& route_evaluator() const { return *routes_; }

    // Judges plan[a], agent a's route (null or empty: it has none). A pair
    // whose two nodes are not both on the plan imposes nothing yet. `costs`
    // gets every route's cost (0 for an empty route; unset when invalid).
    bool evaluate(const std::vector<const Route*>& plan, std::vector<double>& costs) const;
    // The same for a solution's paths by agent index over `agents` agents;
    // `costs` by agent index.
    bool evaluate(const Result& solution, size_t agents, std::vector<double>& costs) const;

    // After a successful evaluate: the running cost after position i of agent
    // a's route, waits included (the last one is its cost).
    const std::vector<double>& leave(size_t a) const { return leave_[a]; }

    // The timetables of a valid plan with the precedence waits counted as
    // waits; empty lists when the plan is invalid.
    std::vector<std::vector<Stop>> schedule(const std::vector<const Route*>& plan) const;

private:
    bool run(const std::vector<const Route*>& plan) const;
    // Walks route a as far as its pairs allow; false when a position breaks a rule.
    bool advance(const std::vector<const Route*>& plan, size_t a, bool& moved) const;

    const RouteEvaluator* routes_;
    // Working data of the latest plan, kept so that pricing allocates nothing once warm.
    mutable std::vector<int64_t> where_;   // node -> agent whose route holds it, -1 none
    mutable std::vector<size_t> at_;       // node -> its position there
    mutable std::vector<char> done_;       // node -> its service is timed
    mutable std::vector<double> finish_;   // node -> when its service ended
    mutable std::vector<size_t> cursor_;   // agent -> next position to time
    mutable std::vector<double> load_;     // agent -> load so far
    mutable std::vector<std::vector<double>> leave_;  // agent -> running cost per position
    mutable std::vector<std::vector<double>> ready_;  // agent -> precedence floor per position
    mutable std::vector<int64_t> placed_;  // nodes whose where_ is set
};

}  // namespace dulmar
