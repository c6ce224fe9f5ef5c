#include "driver/solve_driver.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "improve/improvement_stage.h"
#include "improve/island_stage.h"
#include "improve/stage_model.h"
#include "rules/objective.h"
#include "rules/route_evaluator.h"

namespace dulmar {

namespace {

// Stands between the search and the caller's control: passes the caller's
// answers on, and ends the search once it stops paying (see the header).
class SearchStall : public SolveControl {
public:
    SearchStall(const Solver& solver, SolveControl* outer)
        : solver_(solver),
          outer_(outer),
          without_goal_(solver.time_limit * kSearchShareWithoutGoal),
          expansions_(search_stall_expansions(solver.nodes.size())) {}

    StopReason poll() override {
        if (outer_ != nullptr) {
            const StopReason reason = outer_->poll();
            if (reason != StopReason::None) return reason;
        }
        const bool found = !solver_.anytime_snapshots.empty();
        // The counters restart at every solution, so n_expanded counts the
        // expansions since the latest one.
        if (found ? solver_.result.n_expanded >= expansions_ : solver_.timer.elapsed() > without_goal_) {
            stalled_ = true;
            return StopReason::NoImprovement;
        }
        return StopReason::None;
    }

    bool on_improvement(double time, double max_cost, double sum_cost) override {
        return outer_ == nullptr || outer_->on_improvement(time, max_cost, sum_cost);
    }

    bool stalled() const { return stalled_; }

private:
    const Solver& solver_;
    SolveControl* outer_;
    double without_goal_;
    int64_t expansions_;
    bool stalled_ = false;
};

// Makes `solution` the Solver's result and records it, at `time` when given,
// else at the timer's reading; false when the caller's control asked to stop.
bool publish(Solver& solver, const StageSolution& solution, std::optional<double> time = std::nullopt) {
    solution.write(solver.result);
    solver.solution_found = 1;
    solver.best_max_cost = solution.value().max_cost;
    const bool go_on = time ? solver.take_snapshot(*time) : solver.take_snapshot();
    solver.update_summary();
    return go_on;
}

StopReason stop_reason_of(StageEnd end) {
    switch (end) {
        case StageEnd::Deadline:
            return StopReason::TimeLimit;
        case StageEnd::NoImprovement:
            return StopReason::NoImprovement;
        case StageEnd::Iterations:
            return StopReason::Iterations;
        case StageEnd::Stopped:
            break;
    }
    return StopReason::None;
}

}  // namespace

int64_t search_stall_expansions(size_t nodes) { return std::max<int64_t>(1000, 50 * static_cast<int64_t>(nodes)); }

namespace {

// The stage on options.threads workers (threads > 1): each worker's budget is
// the processor time of its own thread, counted on from what the search and
// the set-up took on the solving thread, which meanwhile only watches.
int improve_on_threads(Solver& solver, const StageModel& model, const StageSettings& settings, int found) {
    IslandStage islands(model, settings, static_cast<size_t>(solver.options.threads));
    const double offset = solver.timer.elapsed();
    const auto clock = [offset] {
        SimpleTimer timer;
        timer.start();
        return ImprovementStage::Clock([timer, offset] { return offset + timer.elapsed(); });
    };
    // Until the workers beat the search's solution, theirs is no news.
    bool beaten = !found;
    const auto on_best = [&](const StageSolution& best, double time) {
        if (!beaten && !better(best.value(), cost_totals(solver.result), model.min_max())) return true;
        beaten = true;
        return publish(solver, best, time);
    };
    StopReason asked = StopReason::None;
    const auto should_stop = [&solver, &asked] {
        if (solver.control != nullptr) asked = solver.control->poll();
        return asked != StopReason::None;
    };
    const StageEnd end = islands.run(found ? &solver.result : nullptr, solver.time_limit, clock, on_best, should_stop);
    solver.result.search_cpu_time = std::max(offset, islands.elapsed());
    if (!islands.started()) {
        if (!found) solver.stop_reason = StopReason::Exhausted;
        return found;
    }
    solver.result.improve_iterations = islands.iterations();
    solver.result.timeout = end == StageEnd::Deadline;
    if (islands.out_of_memory()) {
        solver.stop_reason = StopReason::MemoryLimit;
    } else if (end != StageEnd::Stopped) {
        solver.stop_reason = stop_reason_of(end);
    } else if (asked != StopReason::None) {
        solver.stop_reason = asked;
    }
    return found || islands.has_feasible() ? 1 : 0;
}

int solve_with_improvement(Solver& solver) {
    SolveControl* const caller = solver.control;
    int found = 0;
    if (solver.large_instance()) {
        // Beyond the search's reach the stage builds the first solution.
        solver.start_record();
    } else {
        SearchStall stall(solver, caller);
        solver.control = &stall;
        try {
            found = solver.search();
        } catch (...) {
            solver.control = caller;
            throw;
        }
        solver.control = caller;
        solver.release_search_memory();
        // The search's own end is no reason to stop the solve; the caller's is.
        const StopReason searched = solver.stop_reason;
        if (searched == StopReason::Interrupted || searched == StopReason::Callback) return found;
        if (stall.stalled() || searched == StopReason::TimeLimit) solver.result.timeout = false;
    }

    const RouteEvaluator evaluator = solver.route_evaluator();
    std::unique_ptr<const StageModel> built;
    try {
        built = std::make_unique<const StageModel>(evaluator, solver.options.objective,
                                                   StageModel::kDefaultNeighbours, solver.control);
    } catch (const SolveStopped& stopped) {
        // Whatever the search found stands.
        solver.stop_reason = stopped.reason;
        solver.result.timeout = false;
        solver.result.search_cpu_time = solver.timer.elapsed();
        return found;
    }
    const StageModel& model = *built;

    StageSettings settings;
    settings.seed = static_cast<uint64_t>(solver.options.seed);
    settings.iteration_cap = solver.options.improve_iterations;
    if (solver.options.threads > 1) return improve_on_threads(solver, model, settings, found);
    ImprovementStage stage(model, settings);
    if (!stage.initialise(found ? &solver.result : nullptr)) {
        // Some target fits on no route: nothing is left to try.
        solver.result.search_cpu_time = solver.timer.elapsed();
        if (!found) solver.stop_reason = StopReason::Exhausted;
        return found;
    }
    // A first solution of its own, or local search on the search's, is news.
    if (stage.has_feasible() && (!found || better(stage.best().value(), cost_totals(solver.result), model.min_max()))) {
        if (!publish(solver, stage.best())) return 1;
    }

    StopReason asked = StopReason::None;
    const auto clock = [&solver] { return solver.timer.elapsed(); };
    const auto on_best = [&solver](const StageSolution& best) { return publish(solver, best); };
    const auto should_stop = [&solver, &asked] {
        if (solver.control != nullptr) asked = solver.control->poll();
        return asked != StopReason::None;
    };
    const StageEnd end = stage.run(solver.time_limit, clock, on_best, should_stop);
    solver.result.improve_iterations = stage.iterations();
    solver.result.timeout = end == StageEnd::Deadline;
    solver.result.search_cpu_time = solver.timer.elapsed();
    if (end != StageEnd::Stopped) {
        solver.stop_reason = stop_reason_of(end);
    } else if (asked != StopReason::None) {
        solver.stop_reason = asked;
    }
    return found || stage.has_feasible() ? 1 : 0;
}

}  // namespace

int run_solve(Solver& solver) { return solver.options.improve ? solve_with_improvement(solver) : solver.search(); }

}  // namespace dulmar
