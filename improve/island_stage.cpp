#include "improve/island_stage.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "core/stop_check.h"

namespace dulmar {

namespace {

// How often the calling thread asks its stop check when nothing happens.
constexpr std::chrono::milliseconds kWatchInterval{20};

// post() swaps a copy into place and must not throw while it does.
static_assert(std::is_nothrow_move_constructible_v<StageSolution> && std::is_nothrow_move_assignable_v<StageSolution>);

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

// Waits until every worker still running has arrived; a worker that ends
// leaves, so the others never wait for it. The last to arrive runs the
// completion before any is released.
class IslandStage::Barrier {
public:
    Barrier(size_t count, std::function<void()> completion) : completion_(std::move(completion)), count_(count) {}

    void arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t phase = phase_;
        if (++arrived_ == count_) {
            release();
            return;
        }
        released_.wait(lock, [&] { return phase_ != phase; });
    }

    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        --count_;
        if (arrived_ > 0 && arrived_ == count_) release();
    }

private:
    void release() {
        completion_();
        arrived_ = 0;
        ++phase_;
        released_.notify_all();
    }

    std::function<void()> completion_;  // must not throw
    std::mutex mutex_;
    std::condition_variable released_;
    size_t count_;
    size_t arrived_ = 0;
    uint64_t phase_ = 0;
};

IslandStage::IslandStage(const StageModel& model, const StageSettings& settings, size_t workers)
    : model_(model),
      settings_(settings),
      workers_(std::max<size_t>(workers, 1)),
      slots_(workers_, Slot(model)),
      ends_(workers_),
      shared_(model) {
    model_.make_scratch(workers_);
}

IslandStage::~IslandStage() = default;

uint64_t IslandStage::worker_seed(uint64_t seed, size_t worker) {
    return worker == 0 ? seed : splitmix64(seed ^ splitmix64(static_cast<uint64_t>(worker)));
}

int64_t IslandStage::choose() const {
    int64_t chosen = -1;
    for (size_t w = 0; w < slots_.size(); ++w) {
        if (!slots_[w].feasible) continue;
        // Strictly better only: ties go to the lower index.
        if (chosen < 0 || better(slots_[w].solution.value(), slots_[static_cast<size_t>(chosen)].solution.value(),
                                 model_.min_max())) {
            chosen = static_cast<int64_t>(w);
        }
    }
    return chosen;
}

void IslandStage::post(size_t worker, const StageSolution& best, double time) {
    Slot& slot = slots_[worker];
    // Copied outside the lock and swapped in, so that a failed copy leaves the slot as it was.
    slot.spare = best;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(slot.solution, slot.spare);
        slot.feasible = true;
        slot.time = time;
        ++slot.version;
        ++posts_;
    }
    changed_.notify_one();
}

void IslandStage::exchange(ImprovementStage& stage) {
    if (barrier_) {
        barrier_->arrive_and_wait();
        // shared_ stays as it is until every worker has come to the next barrier.
        if (shared_feasible_) stage.adopt(shared_);
        return;
    }
    // Copied only when the stage will take it.
    std::optional<StageSolution> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t chosen = choose();
        if (chosen < 0) return;
        const StageSolution& best = slots_[static_cast<size_t>(chosen)].solution;
        if (stage.has_feasible() && !better(best.value(), stage.best().value(), model_.min_max())) return;
        taken.emplace(best);
    }
    stage.adopt(*taken);
}

void IslandStage::work(size_t worker, const Result* start, double deadline, const ClockFactory& make_clock) {
    WorkerEnd end;
    try {
        const ImprovementStage::Clock clock = make_clock();
        StageSettings settings = settings_;
        settings.seed = worker_seed(settings_.seed, worker);
        const StageModel::WorkerScope scope(worker);
        ImprovementStage stage(model_, settings);
        const ImprovementStage::StopCheck out_of_time = [&] { return clock() >= deadline || stop_.load(); };
        end.started = stage.initialise(start, out_of_time);
        if (end.started) {
            if (stage.has_feasible()) post(worker, stage.best(), clock());
            const auto on_best = [&](const StageSolution& best) {
                post(worker, best, clock());
                return !stop_.load();
            };
            const auto should_stop = [&] {
                const int64_t done = stage.iterations();
                if (!stop_.load() && done > 0 && done % kEpoch == 0 && stage.progress() >= kShareFrom) exchange(stage);
                return stop_.load();
            };
            end.end = stage.run(deadline, clock, on_best, should_stop);
            end.iterations = stage.iterations();
        }
        end.time = clock();
    } catch (const std::bad_alloc&) {
        std::lock_guard<std::mutex> lock(mutex_);
        out_of_memory_ = true;
        stop_ = true;
    } catch (const SolveStopped&) {
        // The model's stop check cut a long step short: what was posted stands.
        stop_ = true;
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::current_exception();
        stop_ = true;
    }
    // With an iteration cap, Deadline on one worker ends them all: the
    // others could not repeat their run anyway, and waits at the barriers
    // must not stretch the solve past its budget.
    if (barrier_ && end.end == StageEnd::Deadline) stop_ = true;
    if (barrier_) barrier_->leave();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ends_[worker] = end;
        --running_;
    }
    changed_.notify_one();
}

void IslandStage::watch(const BestListener& on_best, const StopCheck& should_stop) {
    uint64_t seen = 0;
    // What the listener was told last: the slot, its version then, the value and time.
    int64_t told = -1;
    uint64_t told_version = 0;
    StageValue told_value;
    double told_time = 0.0;
    for (;;) {
        std::optional<StageSolution> news;
        bool done = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, kWatchInterval, [&] { return posts_ != seen || running_ == 0; });
            seen = posts_;
            done = running_ == 0;
            const int64_t chosen = choose();
            if (chosen >= 0 && !caller_stopped_) {
                const Slot& slot = slots_[static_cast<size_t>(chosen)];
                const StageValue value = slot.solution.value();
                const bool same = chosen == told && slot.version == told_version;
                // While the workers run only a strictly better solution is
                // news; at the end the overall best is too, unless it is
                // worse, so that the result is the one an iteration cap repeats.
                if (!same && (told < 0 || better(value, told_value, model_.min_max()) ||
                              (done && !better(told_value, value, model_.min_max())))) {
                    news.emplace(slot.solution);
                    told = chosen;
                    told_version = slot.version;
                    told_value = value;
                    told_time = std::max(told_time, slot.time);
                }
            }
        }
        if (news && !on_best(*news, told_time)) stop_by_caller();
        if (done) return;
        if (!caller_stopped_ && should_stop && should_stop()) stop_by_caller();
    }
}

void IslandStage::stop_by_caller() {
    caller_stopped_ = true;
    stop_ = true;
}

void IslandStage::share_best() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t chosen = choose();
    shared_feasible_ = false;
    if (chosen < 0) return;
    // Runs inside the barrier: a throw here would leave the others waiting for good.
    try {
        shared_ = slots_[static_cast<size_t>(chosen)].solution;
        shared_feasible_ = true;
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        stop_ = true;
    }
}

StageEnd IslandStage::overall_end() const {
    if (caller_stopped_ || out_of_memory_ || error_) return StageEnd::Stopped;
    bool capped = false, stalled = false;
    for (size_t w = 0; w < workers_; ++w) {
        if (!ends_[w].started) continue;
        if (ends_[w].end == StageEnd::Deadline) return StageEnd::Deadline;
        capped = capped || ends_[w].end == StageEnd::Iterations;
        stalled = stalled || ends_[w].end == StageEnd::NoImprovement;
    }
    if (capped) return StageEnd::Iterations;
    return stalled ? StageEnd::NoImprovement : StageEnd::Stopped;
}

StageEnd IslandStage::run(const Result* start, double deadline, const ClockFactory& clock,
                          const BestListener& on_best, const StopCheck& should_stop) {
    // The workers read their start while the listener may change the caller's result.
    std::optional<Result> given;
    if (start != nullptr) given.emplace(*start);
    const Result* from = given ? &*given : nullptr;
    if (settings_.iteration_cap > 0) barrier_ = std::make_unique<Barrier>(workers_, [this] { share_best(); });
    std::vector<std::thread> threads;
    threads.reserve(workers_);
    running_ = workers_;
    // Joins whatever was started, also when starting a thread or the
    // listener throws: a thread left running would end the process.
    struct Joiner {
        IslandStage& islands;
        std::vector<std::thread>& threads;
        ~Joiner() {
            const size_t missing = islands.workers_ - threads.size();
            if (missing > 0) {
                islands.stop_ = true;
                {
                    std::lock_guard<std::mutex> lock(islands.mutex_);
                    islands.running_ -= missing;
                }
                for (size_t k = 0; k < missing && islands.barrier_; ++k) islands.barrier_->leave();
            }
            for (std::thread& thread : threads) {
                if (!thread.joinable()) continue;
                islands.stop_ = true;
                thread.join();
            }
        }
    } joiner{*this, threads};
    for (size_t w = 0; w < workers_; ++w) {
        threads.emplace_back(&IslandStage::work, this, w, from, deadline, std::cref(clock));
    }
    watch(on_best, should_stop);
    for (std::thread& thread : threads) thread.join();

    chosen_ = choose();
    for (const WorkerEnd& end : ends_) {
        started_ = started_ || end.started;
        iterations_ += end.iterations;
        elapsed_ = std::max(elapsed_, end.time);
    }
    if (error_) std::rethrow_exception(error_);
    return overall_end();
}

}  // namespace dulmar
