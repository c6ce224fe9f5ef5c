#include "driver/solve_driver.h"

#include <algorithm>
#include <atomic>
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
    const bool go_on = solver.take_snapshot_at(time ? *time : solver.timer.elapsed(), solver.keep_stage_routes);
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

// The stage model's stop check on several threads: the caller's control while
// the model is built on the solving thread; once the workers run, a flag that
// only the solving thread sets, so that no worker calls into the caller.
class WorkerStop : public StopCheck {
public:
    explicit WorkerStop(StopCheck* caller) : caller_(caller) {}
    StopReason poll() override {
        if (!on_workers_) return caller_ != nullptr ? caller_->poll() : StopReason::None;
        return reason_.load();
    }
    // Called before the workers start.
    void hand_to_workers() { on_workers_ = true; }
    void stop(StopReason why) { reason_.store(why); }

private:
    StopCheck* caller_;
    bool on_workers_ = false;
    std::atomic<StopReason> reason_{StopReason::None};
};

// The stage on options.threads workers (threads > 1): each worker's budget is
// the processor time of its own thread, counted on from what the search and
// the set-up took on the solving thread, which meanwhile only watches.
int improve_on_threads(Solver& solver, const StageModel& model, WorkerStop& worker_stop,
                       const StageSettings& settings, int found) {
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
        if (publish(solver, best, time)) return true;
        worker_stop.stop(StopReason::Callback);
        return false;
    };
    StopReason asked = StopReason::None;
    const auto should_stop = [&solver, &asked, &worker_stop] {
        if (solver.control != nullptr) asked = solver.control->poll();
        if (asked != StopReason::None) worker_stop.stop(asked);
        return asked != StopReason::None;
    };
    worker_stop.hand_to_workers();
    const StageEnd end = islands.run(found ? &solver.result : nullptr, solver.time_limit, clock, on_best, should_stop);
    solver.result.search_cpu_time = std::max(offset, islands.elapsed());
    solver.result.improve_iterations = islands.iterations();
    solver.result.timeout = end == StageEnd::Deadline;
    if (islands.out_of_memory()) {
        solver.stop_reason = StopReason::MemoryLimit;
    } else if (end != StageEnd::Stopped) {
        solver.stop_reason = stop_reason_of(end);
    } else if (asked != StopReason::None) {
        solver.stop_reason = asked;
    } else if (!islands.started() && !found && solver.stop_reason != StopReason::Callback) {
        // Some target fits on no route: nothing is left to try.
        solver.stop_reason = StopReason::Exhausted;
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
    const bool on_threads = solver.options.threads > 1;
    WorkerStop worker_stop(solver.control);
    std::unique_ptr<const StageModel> built;
    try {
        StopCheck* const model_stop = on_threads ? &worker_stop : static_cast<StopCheck*>(solver.control);
        built = std::make_unique<const StageModel>(evaluator, solver.options.objective,
                                                   StageModel::kDefaultNeighbours, model_stop);
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
    if (on_threads) return improve_on_threads(solver, model, worker_stop, settings, found);
    ImprovementStage stage(model, settings);
    StopReason asked = StopReason::None;
    const auto should_stop = [&solver, &asked] {
        if (solver.control != nullptr) asked = solver.control->poll();
        return asked != StopReason::None;
    };
    const auto out_of_time = [&solver, &should_stop] {
        return solver.timer.elapsed() >= solver.time_limit || should_stop();
    };
    bool published = false;
    try {
        if (!stage.initialise(found ? &solver.result : nullptr, out_of_time)) {
            // Some target fits on no route: nothing is left to try.
            solver.result.search_cpu_time = solver.timer.elapsed();
            if (!found) solver.stop_reason = StopReason::Exhausted;
            return found;
        }
        // A first solution of its own, or local search on the search's, is news.
        if (stage.has_feasible() &&
            (!found || better(stage.best().value(), cost_totals(solver.result), model.min_max()))) {
            published = true;
            if (!publish(solver, stage.best())) return 1;
        }

        const auto clock = [&solver] { return solver.timer.elapsed(); };
        const auto on_best = [&solver, &published](const StageSolution& best) {
            published = true;
            return publish(solver, best);
        };
        const StageEnd end = stage.run(solver.time_limit, clock, on_best, should_stop);
        solver.result.timeout = end == StageEnd::Deadline;
        if (end != StageEnd::Stopped) {
            solver.stop_reason = stop_reason_of(end);
        } else if (asked != StopReason::None) {
            solver.stop_reason = asked;
        }
    } catch (const SolveStopped& stopped) {
        // Stopped inside a long step of a large instance (the construction, a
        // local search): the solutions already published stand.
        solver.stop_reason = stopped.reason;
        solver.result.timeout = false;
    }
    solver.result.improve_iterations = stage.iterations();
    solver.result.search_cpu_time = solver.timer.elapsed();
    return found || published ? 1 : 0;
}

}  // namespace

int run_solve(Solver& solver) { return solver.options.improve ? solve_with_improvement(solver) : solver.search(); }

}  // namespace dulmar
