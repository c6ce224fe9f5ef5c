// The improvement stage on several threads: each worker is an ImprovementStage
// with a seed of its own (an island), and in the last part of their run the
// workers share the best solution among them every so many iterations. The calling thread does no
// search: it hands each new overall best to its listener and asks its stop
// check, so whatever the caller does there (a Python callback, signal
// checks) happens on that thread, one call at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/result.h"
#include "improve/improvement_stage.h"
#include "improve/stage_model.h"
#include "improve/stage_solution.h"

namespace dulmar {

class IslandStage {
public:
    // Iterations between two exchanges: a count, so that a run with an
    // iteration cap repeats.
    static constexpr int64_t kEpoch = 500;
    // The workers search apart until this share of their run (ImprovementStage::progress)
    // and share from then on: apart they find more basins, together they
    // spend the last of the budget deepening the best one. Measured better
    // than sharing throughout, which drew the workers into one basin early.
    static constexpr double kShareFrom = 0.75;

    // Called once on each worker's thread; the clock it returns is read
    // there only (a processor-time clock of that thread).
    using ClockFactory = std::function<ImprovementStage::Clock()>;
    // Told, on the calling thread, of each new overall best and the time on
    // the clock of the worker that found it; returning false stops every worker.
    using BestListener = std::function<bool(const StageSolution&, double)>;
    using StopCheck = ImprovementStage::StopCheck;

    // `settings.iteration_cap` caps each worker's iterations.
    IslandStage(const StageModel& model, const StageSettings& settings, size_t workers);
    ~IslandStage();
    IslandStage(const IslandStage&) = delete;
    IslandStage& operator=(const IslandStage&) = delete;

    // Worker 0 keeps the seed; the others get seeds mixed from it and their index.
    static uint64_t worker_seed(uint64_t seed, size_t worker);

    // Called once. Every worker starts from `start` (null: builds its own
    // first solution) and runs to `deadline` on its own clock, its cap, its
    // stall limit, or until the listener or `should_stop` says stop (asked
    // about every 20 ms); returns once every worker has ended. At an exchange
    // a worker takes the best of all when it beats its own best. With an
    // iteration cap the workers wait for each other at every exchange, so the
    // run depends on nothing but the seed and the number of workers; without
    // one they never wait. An exception in a worker stops them all and is
    // raised here, except for an allocation failure, which ends the run like
    // a stop (out_of_memory()).
    StageEnd run(const Result* start, double deadline, const ClockFactory& clock, const BestListener& on_best,
                 const StopCheck& should_stop);

    // Some worker built or took a first solution (none: some target fits on no route).
    bool started() const { return started_; }
    bool has_feasible() const { return chosen_ >= 0; }
    // The overall best: the best of the workers' bests, ties to the lowest
    // worker index; meaningful once has_feasible().
    const StageSolution& best() const { return slots_[static_cast<size_t>(chosen_)].solution; }
    // Every worker's iterations together.
    int64_t iterations() const { return iterations_; }
    // The latest clock reading of any worker at its end.
    double elapsed() const { return elapsed_; }
    bool out_of_memory() const { return out_of_memory_; }

private:
    // A worker's best so far, written by its worker and read by the others
    // and the calling thread, all under mutex_.
    struct Slot {
        explicit Slot(const StageModel& model) : solution(model), spare(model) {}
        StageSolution solution;
        StageSolution spare;     // its worker's alone: the next post is copied here first
        bool feasible = false;
        double time = 0.0;       // on its worker's clock
        uint64_t version = 0;    // counts the worker's new bests
    };
    struct WorkerEnd {
        bool started = false;
        StageEnd end = StageEnd::Stopped;
        int64_t iterations = 0;
        double time = 0.0;
    };
    class Barrier;

    void work(size_t worker, const Result* start, double deadline, const ClockFactory& make_clock);
    void post(size_t worker, const StageSolution& best, double time);
    // Lets `stage` take the shared best at the end of an epoch.
    void exchange(ImprovementStage& stage);
    // Index of the best slot, -1 when no slot holds a solution; mutex_ held.
    int64_t choose() const;
    // Runs on the calling thread until every worker has ended.
    void watch(const BestListener& on_best, const StopCheck& should_stop);
    void stop_by_caller();
    // With an iteration cap, at the end of an epoch: copies the overall best to shared_.
    void share_best();
    StageEnd overall_end() const;

    const StageModel& model_;
    StageSettings settings_;
    size_t workers_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::vector<WorkerEnd> ends_;
    uint64_t posts_ = 0;   // every post, for the watcher
    size_t running_ = 0;
    std::exception_ptr error_;
    std::atomic<bool> stop_{false};
    bool out_of_memory_ = false;
    // The listener or the stop check said stop; the calling thread's alone.
    bool caller_stopped_ = false;

    // With an iteration cap: the barrier of every epoch, and the best it
    // chose, fixed until the next epoch ends.
    std::unique_ptr<Barrier> barrier_;
    StageSolution shared_;
    bool shared_feasible_ = false;

    bool started_ = false;
    int64_t chosen_ = -1;
    int64_t iterations_ = 0;
    double elapsed_ = 0.0;
};

}  // namespace dulmar
