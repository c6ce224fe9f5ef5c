// The improvement stage: ruin and recreate with local search on every new
// solution, accepted by simulated annealing, keeping the best solution seen.
// It starts from a given solution or builds one by constraint-aware
// insertion, and runs until its deadline, its iteration cap, a long run
// without a new best, or its caller says stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "core/result.h"
#include "improve/insertion.h"
#include "improve/local_search.h"
#include "improve/removal.h"
#include "improve/stage_solution.h"

namespace dulmar {

struct StageSettings {
    uint64_t seed = 0;
    // Iterations at most; 0: no cap. With a cap the run depends on nothing
    // but the seed (the temperature follows the iteration count, not time).
    int64_t iteration_cap = 0;
    // Iterations without a new best before the stage gives up; 0: scaled by
    // the number of targets (see default_stall_limit).
    int64_t stall_limit = 0;
    // Move partners per target in the local search.
    size_t search_neighbours = 12;
};

enum class StageEnd { Deadline, NoImprovement, Iterations, Stopped };

class ImprovementStage {
public:
    using Clock = std::function<double()>;
    // Told of every new best solution; returning false stops the stage.
    using BestListener = std::function<bool(const StageSolution&)>;
    // Asked between iterations; true stops the stage. It may adopt() a
    // solution for the stage to go on from.
    using StopCheck = std::function<bool()>;

    ImprovementStage(const StageModel& model, const StageSettings& settings);

    static int64_t default_stall_limit(size_t targets);

    // Starts from `start` when its routes serve every target by the rules,
    // else builds a first solution: one that keeps every rule when it can,
    // else one that may break windows, route limits and capacities, which run()
    // then repairs. False only when some target fits on no route at all.
    // On very large instances `out_of_time` cuts the building short, and the
    // local search over every target waits for run().
    bool initialise(const Result* start, const StopCheck& out_of_time = nullptr);
    StageEnd run(double deadline, const Clock& clock, const BestListener& on_best, const StopCheck& should_stop);

    // Makes `shared` (another stage's best, of the same model)
    // the best and the current solution when it beats the best or the stage
    // has none yet, and starts the count towards the stall limit again;
    // false when it was not taken.
    bool adopt(const StageSolution& shared);

    // The best solution that keeps every rule; meaningful once has_feasible().
    const StageSolution& best() const { return best_; }
    bool has_feasible() const { return has_feasible_; }
    int64_t iterations() const { return iterations_; }
    // How far run() has come, from 0 to 1: by the iteration count under a
    // cap, else by the clock; the temperature falls with it.
    double progress() const { return progress_; }
    bool started_from_given() const { return from_given_; }

private:
    bool construct(const StopCheck& out_of_time);
    // Moves each target best_ leaves out from position i of `order` to kPromotion * i.
    void move_left_out_ahead(std::vector<int64_t>& order);
    // Makes `candidate` the best when it keeps every rule and beats the best
    // (or is the first). Where the search may not go on breaking rules (see
    // keep_breaking_), it keeps every rule from the first such plan on.
    bool consider_feasible(const StageSolution& candidate);
    // A candidate that breaks rules yet beats the best even with its penalties:
    // a local search under raised weights may make it keep them.
    bool repair(const StageSolution& candidate);
    // One ruin and recreate step on `candidate`; false when a target found no place.
    bool ruin_and_recreate(StageSolution& candidate);
    double scalar(const StageValue& v) const;
    // Makes current_ and candidate_ alike again after an iteration: the
    // candidate becomes current when `accepted`, else it is dropped.
    void settle(bool accepted);

    const StageModel& model_;
    StageSettings settings_;
    std::mt19937_64 rng_;
    Removal removal_;
    Inserter inserter_;
    LocalSearch local_search_;
    StageSolution best_;
    StageSolution current_;
    StageSolution candidate_;
    std::vector<int64_t> removed_;
    std::vector<std::pair<double, int64_t>> keyed_;
    // Per target: the cheapest hop to it from the start of an agent that may serve it.
    std::vector<double> start_distance_;
    int64_t iterations_ = 0;
    // Iterations since the best last changed.
    int64_t since_best_ = 0;
    double progress_ = 0.0;
    bool from_given_ = false;
    bool has_feasible_ = false;
    // current_ and candidate_ may break windows, limits and capacities, at the penalties' cost.
    bool breakable_ = false;
    // The search goes on through such plans after the first feasible one, up
    // to half its run: not with precedence pairs, which the penalties do not
    // weigh, nor on very large instances, whose iterations copy only the
    // routes they change.
    bool keep_breaking_ = false;
    // Very large instances: the local search over every target is still to run.
    bool polish_pending_ = false;
    // Very large instances: candidate_ equals current_, so an iteration starts without copying it.
    bool in_step_ = false;
    PenaltyControl penalties_{Penalties{}};
    // repair()'s working copy, its weights and the targets on its broken routes.
    StageSolution repaired_;
    Penalties raised_;
    std::vector<int64_t> broken_targets_;
};

}  // namespace dulmar
