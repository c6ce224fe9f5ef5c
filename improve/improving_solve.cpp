#include "improve/improving_solve.h"

#include <algorithm>

#include "improve/improvement_stage.h"
#include "improve/stage_model.h"
#include "postopt/route_evaluator.h"
#include "search/solver.h"

namespace dulmar {

namespace {

// Makes `solution` the Solver's result and records it in the anytime record.
void publish(Solver& solver, const StageSolution& solution) {
    solution.write(solver.result);
    solver.solution_found = 1;
    solver.best_max_cost = solution.value().max_cost;
    solver.last_update_time = solver.timer.elapsed();
    solver.anytime_snapshots.emplace_back(solver.last_update_time, solver.result);
    solver.update_summary();
}

StageValue value_of(const Result& result) {
    StageValue v;
    for (const auto& entry : result.times) {
        v.sum_cost += entry.second;
        v.max_cost = std::max(v.max_cost, entry.second);
    }
    return v;
}

}  // namespace

int solve_with_improvement(Solver& solver) {
    const double budget = solver.time_limit;
    int searched = 0;
    if (solver.large_instance()) {
        // Beyond the search's reach the stage builds the first solution.
        solver.anytime_snapshots.clear();
        solver.timer.start();
    } else {
        solver.time_limit = budget * kSearchShareWithoutGoal;
        searched = solver.search();
        solver.time_limit = budget;
        solver.result.timeout = false;
        solver.release_search_memory();
    }

    RouteEvaluator evaluator;
    evaluator.set_return_to_end(solver.return_to_end);
    evaluator.set_start_nodes(solver.start_nodes);
    evaluator.set_end_nodes(solver.end_nodes);
    evaluator.set_time_windows(solver.time_windows);
    if (solver.large_instance()) {
        evaluator.prepare(solver.dense_costs, solver.nodes, solver.agents);
    } else {
        evaluator.prepare(solver.graph, solver.nodes, solver.agents);
    }
    const StageModel model(evaluator, solver.options.objective);

    StageSettings settings;
    settings.seed = static_cast<uint64_t>(solver.options.seed);
    settings.iteration_cap = solver.options.improve_iterations;
    ImprovementStage stage(model, settings);
    if (!stage.initialise(searched ? &solver.result : nullptr)) {
        solver.result.search_cpu_time = solver.timer.elapsed();
        return searched;
    }
    // A first solution of its own, or local search on the search's, is news.
    if (!searched || StageSolution::better(stage.best().value(), value_of(solver.result), model.min_max()))
        publish(solver, stage.best());

    const auto clock = [&solver] { return solver.timer.elapsed(); };
    const auto on_best = [&solver](const StageSolution& best) {
        publish(solver, best);
        return true;
    };
    const StageEnd end = stage.run(budget, clock, on_best, nullptr);
    solver.result.improve_iterations = stage.iterations();
    solver.result.timeout = end == StageEnd::Deadline;
    solver.result.search_cpu_time = solver.timer.elapsed();
    return 1;
}

}  // namespace dulmar
