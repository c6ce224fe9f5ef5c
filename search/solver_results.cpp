#include <algorithm>
#include <cassert>
#include <cmath>

#include "rules/plan_evaluator.h"
#include "search/solver.h"

namespace dulmar {

#ifdef NDEBUG
void Solver::assert_routes_evaluate(const Result&) const {}
#else
void Solver::assert_routes_evaluate(const Result& solution) const {
    const RouteEvaluator evaluator = route_evaluator();
    // Where precedence pairs tie routes together, the plan is timed whole.
    std::vector<double> plan_costs;
    const bool ordered = instance->precedence().active();
    const bool plan_valid = !ordered || PlanEvaluator(evaluator).evaluate(solution, agents.size(), plan_costs);
    assert(plan_valid);
    (void)plan_valid;
    for (const auto& [agent, path] : solution.paths) {
        RouteEvaluation own = evaluator.evaluate(path, static_cast<size_t>(agent));
        if (ordered && static_cast<size_t>(agent) < plan_costs.size()) own.cost = plan_costs[static_cast<size_t>(agent)];
        const auto reported = solution.times.find(agent);
        assert(own.valid && reported != solution.times.end());
        assert(std::fabs(own.cost - reported->second) <= kTolerance * std::max(1.0, std::fabs(own.cost)));
        (void)own;
        (void)reported;
    }
}
#endif

Result Solver::get_result() {
    result.last_update_time = last_update_time;
    Result copy = result;
    copy.stop_reason = stop_reason;
    return copy;
}

SolutionSummary Solver::get_summary() const { return summary; }

std::vector<std::pair<double, Result>> Solver::get_result_process() const { return anytime_snapshots; }

void Solver::update_summary() {
    if (solution_found == 0) return;
    summary.found = solution_found;
    summary.type1_agents = 0;
    summary.type0_agents = 0;
    summary.two_type_nodes = 0;
    summary.type0_nodes = 0;
    summary.agent_count = agent_count;
    summary.max_cost = best_max_cost;
    summary.node_count = static_cast<int32_t>(nodes.size());
    for (const NodeRecord& node : nodes) {
        const auto& allowed = node.allowed_types;
        if (allowed.size() == 1 && allowed[0] == 0) {
            summary.type0_nodes += 1;
        } else if (allowed.size() == 2 && allowed[0] == 0 && allowed[1] == 1) {
            summary.two_type_nodes += 1;
        }
    }
    for (const AgentRecord& agent : agents) {
        if (agent.type == 0) summary.type0_agents += 1;
        if (agent.type == 1) summary.type1_agents += 1;
    }
    summary.sum_cost = 0.0;
    const int64_t count = static_cast<int64_t>(result.times.size());
    for (int64_t k = 0; k < count; ++k) summary.sum_cost += result.times[k];
    summary.last_update_time = last_update_time;
}

}  // namespace dulmar
