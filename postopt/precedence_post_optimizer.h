// The post-optimisation of a goal where precedence pairs hold: a move on one
// route can change another route's waits, so every candidate plan is timed
// whole by the plan evaluator and adopted only when the objective gets
// strictly better. Moves: reversals inside a route (2-opt) and single-node
// relocations within and between routes, first improvement, until none
// improves or the move budget is spent.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/result.h"
#include "postopt/route_evaluating_post_optimizer.h"
#include "rules/objective.h"
#include "rules/plan_evaluator.h"

namespace dulmar {

class PrecedencePostOptimizer : public RouteEvaluatingPostOptimizer {
public:
    // Candidate plans timed per optimize call at most.
    static constexpr size_t kMaxCandidates = 20000;

    explicit PrecedencePostOptimizer(bool min_max) : min_max_(min_max), plans_(evaluator_) {}

    std::string name() const override { return "PrecedencePostOptimizer"; }
    void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                  const std::vector<AgentRecord>& agents, Result& result) override;

private:
    // Times the working plan; true when it keeps every rule and beats `best`,
    // which then takes its totals.
    bool improves(CostTotals& best);
    bool two_opt(CostTotals& best);
    bool relocate(CostTotals& best);

    bool min_max_;
    PlanEvaluator plans_;  // times plans by evaluator_
    size_t candidates_ = 0;
    std::vector<Route> routes_;
    std::vector<const Route*> view_;
    std::vector<double> costs_;
};

}  // namespace dulmar
