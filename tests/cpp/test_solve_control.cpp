#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "core/json_reader.h"
#include "search/solver.h"
#include "search/state_pool.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::random_points;

// Records what the solver tells it; stops when told to.
class RecordingControl : public SolveControl {
public:
    StopReason poll() override {
        ++polls;
        return polls > stop_after_polls ? StopReason::Interrupted : StopReason::None;
    }
    bool on_improvement(double time, double max_cost, double sum_cost) override {
        seen.emplace_back(time, max_cost, sum_cost);
        return static_cast<int>(seen.size()) < stop_after_improvements;
    }
    long polls = 0;
    long stop_after_polls = 1L << 40;
    int stop_after_improvements = 1 << 30;
    std::vector<std::tuple<double, double, double>> seen;
};

// The anytime list rule written out: a snapshot joins when its objective value
// is more than 1e-9 below every earlier one's.
std::vector<std::tuple<double, double, double>> improving(const std::vector<std::pair<double, Result>>& record,
                                                          bool min_sum) {
    std::vector<std::tuple<double, double, double>> kept;
    double best = 1e18;
    for (const auto& [time, snapshot] : record) {
        double sum = 0.0;
        double largest = 0.0;
        for (const auto& [agent, cost] : snapshot.times) {
            sum += cost;
            largest = std::max(largest, cost);
        }
        const double value = min_sum ? sum : largest;
        if (value < best - 1e-9) {
            kept.emplace_back(time, largest, sum);
            best = value;
        }
    }
    return kept;
}

// Runs the search with its diagnostics ("w = 1", warnings) kept off the test log.
int quiet_search(Solver& solver) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int found = 0;
    try {
        found = solver.search();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        throw;
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return found;
}

TEST(SolveControl, ControlHearsOfExactlyTheSnapshotsOfTheAnytimeList) {
    for (ObjectiveType objective : {ObjectiveType::MinMax, ObjectiveType::MinSum}) {
        Solver solver(euclidean_problem(random_points(14, 5), 3), options_with(objective, 0.3));
        RecordingControl control;
        solver.control = &control;
        ASSERT_EQ(quiet_search(solver), 1);
        const auto record = solver.get_result_process();
        EXPECT_EQ(control.seen, improving(record, objective == ObjectiveType::MinSum));
        EXPECT_FALSE(control.seen.empty());
        EXPECT_GT(control.polls, 0);
    }
}

TEST(SolveControl, StopFromPollEndsTheSearchLikeTheTimeLimitButKeepsTimeoutFalse) {
    Solver solver(euclidean_problem(random_points(30, 5), 3), options_with(ObjectiveType::MinMax, 60.0));
    RecordingControl control;
    control.stop_after_polls = 20000;  // long after the first goal
    solver.control = &control;
    EXPECT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(control.polls, 20001);
    const Result result = solver.get_result();
    EXPECT_EQ(result.stop_reason, StopReason::Interrupted);
    EXPECT_EQ(solver.stop_reason, StopReason::Interrupted);
    EXPECT_FALSE(result.timeout);
    EXPECT_EQ(result.paths.size(), 3u);
    ASSERT_FALSE(solver.get_result_process().empty());
    EXPECT_EQ(result.paths, solver.get_result_process().back().second.paths);
}

TEST(SolveControl, FalseFromTheControlStopsAfterTheGoalInHand) {
    Solver solver(euclidean_problem(random_points(30, 5), 3), options_with(ObjectiveType::MinMax, 60.0));
    RecordingControl control;
    control.stop_after_improvements = 1;
    solver.control = &control;
    EXPECT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(solver.stop_reason, StopReason::Callback);
    EXPECT_FALSE(solver.result.timeout);
    // The goal's post-optimised snapshot is still taken and, when it improves, reported.
    const auto record = solver.get_result_process();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(control.seen, improving(record, false));
}

TEST(SolveControl, EveryWayASearchEndsHasItsReason) {
    const Problem small = euclidean_problem({{0, 0}, {1, 0}, {1, 1}}, 1);
    Solver exhausted(small, options_with(ObjectiveType::MinMax, 10.0));
    EXPECT_EQ(exhausted.get_result().stop_reason, StopReason::None);
    EXPECT_EQ(quiet_search(exhausted), 1);
    EXPECT_EQ(exhausted.get_result().stop_reason, StopReason::Exhausted);

    Solver timed(euclidean_problem(random_points(30, 5), 3), options_with(ObjectiveType::MinMax, 0.05));
    EXPECT_EQ(quiet_search(timed), 1);
    EXPECT_EQ(timed.get_result().stop_reason, StopReason::TimeLimit);
    EXPECT_TRUE(timed.get_result().timeout);

    Solver rounds(euclidean_problem(random_points(30, 5), 3), options_with(ObjectiveType::MinMax, 60.0));
    rounds.max_rounds = 1;
    EXPECT_EQ(quiet_search(rounds), 1);
    EXPECT_EQ(rounds.get_result().stop_reason, StopReason::Rounds);
    EXPECT_FALSE(rounds.get_result().timeout);

    EXPECT_STREQ(stop_reason_name(StopReason::MemoryLimit), "memory_limit");
    EXPECT_STREQ(stop_reason_name(StopReason::NoImprovement), "no_improvement");
    EXPECT_STREQ(stop_reason_name(StopReason::None), "");
}

TEST(SolveControl, MemoryCapEndsTheSearchAndKeepsTheRoutes) {
    Options options = options_with(ObjectiveType::MinMax, 60.0);
    options.memory_limit_mb = 4.0;
    Solver solver(euclidean_problem(random_points(30, 5), 3), options);
    EXPECT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(solver.stop_reason, StopReason::MemoryLimit);
    EXPECT_FALSE(solver.result.timeout);
    EXPECT_EQ(solver.get_result().paths.size(), 3u);
    const size_t cap = 4u << 20;
    EXPECT_GE(solver.search_memory.bytes, cap);
    // Overshoot: at most the children of one expansion and one block of the pool.
    EXPECT_LE(solver.search_memory.bytes, cap + (1u << 20));
}

TEST(SolveControl, MeterCountsWhatTheSearchHoldsAndGetsEveryByteBack) {
    // 20 agents: frontier keys no longer fit a string's inline buffer.
    for (size_t agents : {3u, 20u}) {
        Solver solver(euclidean_problem(random_points(30, 5), agents), options_with(ObjectiveType::MinMax, 0.2));
        quiet_search(solver);
        const size_t before = solver.search_memory.bytes;
        // Whatever the containers' overheads, the entries themselves must be counted.
        const size_t lower = solver.open.size() * sizeof(OpenEntry) + solver.focal.size() * sizeof(FocalEntry) +
                             solver.num_states * (sizeof(int64_t) + agents * (sizeof(double) + 2)) +
                             solver.frontier_index.size() * agents;
        EXPECT_GE(before, lower) << agents << " agents";
        ASSERT_GT(solver.open.size(), 0u);

        // Released wholesale, as a stage after the search may do.
        solver.states = StatePool(&solver.search_memory);
        decltype(solver.parents)(solver.parents.get_allocator()).swap(solver.parents);
        solver.open.clear();
        solver.focal.clear();
        decltype(solver.frontier_index)(solver.frontier_index.get_allocator()).swap(solver.frontier_index);
        decltype(solver.frontiers)(solver.frontiers.get_allocator()).swap(solver.frontiers);
        // Only the key scratch of the last lookup may stay.
        EXPECT_LE(solver.search_memory.bytes, heap_block_bytes(2 * agents + 1)) << agents << " agents";
    }
}

TEST(SolveControl, NegativeOrMissingMemoryLimitIsRefusedByName) {
    Options options;
    EXPECT_GT(options.memory_limit_mb, 0.0);
    EXPECT_LE(options.memory_limit_mb, 8192.0);
    for (double bad : {-1.0, std::nan("")}) {
        options.memory_limit_mb = bad;
        try {
            Solver solver(euclidean_problem({{0, 0}, {1, 0}}, 1), options);
            FAIL() << "accepted " << bad;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("memory_limit_mb"), std::string::npos);
        }
    }
    Problem problem;
    read_problem_json(nlohmann::json::parse(R"({"nodes": [], "agents": [], "options": {"memory_limit_mb": 0}})"),
                      problem);
    EXPECT_EQ(problem.solve_options.memory_limit_mb, 0.0);
}

// Fails allocations the way an exhausted machine would, at a chosen moment.
class StarvedSolver : public Solver {
public:
    using Solver::Solver;
    size_t allocate_state() override {
        if (fail_states_after_goals >= 0 && goals >= fail_states_after_goals) throw std::bad_alloc();
        return Solver::allocate_state();
    }
    void extract_solution(size_t goal) override {
        Solver::extract_solution(goal);
        ++goals;
        if (fail_in_extraction) fail_half_written();
    }
    // The last step of a goal, after both snapshots.
    void update_summary() override {
        Solver::update_summary();
        if (fail_after_snapshots) fail_half_written();
    }
    void fail_half_written() {
        result.paths[0].clear();
        throw std::bad_alloc();
    }
    int goals = 0;
    int fail_states_after_goals = -1;
    bool fail_in_extraction = false;
    bool fail_after_snapshots = false;
};

TEST(SolveControl, AllocationFailureEndsTheSearchWithTheRoutesFoundSoFar) {
    StarvedSolver solver(euclidean_problem(random_points(30, 5), 3), options_with(ObjectiveType::MinMax, 60.0));
    solver.fail_states_after_goals = 1;
    EXPECT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(solver.stop_reason, StopReason::MemoryLimit);
    EXPECT_FALSE(solver.result.timeout);
    EXPECT_TRUE(solver.open.empty());  // released for the result's sake
    EXPECT_EQ(solver.get_result().paths, solver.get_result_process().back().second.paths);
}

TEST(SolveControl, AllocationFailureInsideAGoalPutsBackTheLastCompleteSolution) {
    StarvedSolver solver(euclidean_problem(random_points(12, 3), 3), options_with(ObjectiveType::MinMax, 5.0));
    solver.fail_after_snapshots = true;
    EXPECT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(solver.stop_reason, StopReason::MemoryLimit);
    const auto record = solver.get_result_process();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(solver.get_result().paths, record.back().second.paths);
    EXPECT_EQ(solver.get_result().paths.at(0).front(), 0);

    // Failing before any snapshot leaves no solution rather than a broken one.
    StarvedSolver first(euclidean_problem(random_points(12, 3), 3), options_with(ObjectiveType::MinMax, 5.0));
    first.fail_in_extraction = true;
    EXPECT_EQ(quiet_search(first), 0);
    EXPECT_TRUE(first.get_result().paths.empty());
    EXPECT_EQ(first.stop_reason, StopReason::MemoryLimit);
}

TEST(SimpleTimer, CountsTheProcessorTimeOfItsOwnThreadOnly) {
    SimpleTimer timer;
    timer.start();
    std::thread busy([] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        volatile double sink = 0.0;
        while (std::chrono::steady_clock::now() < until) sink = sink + 1.0;
    });
    busy.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // 300 ms of another thread's work and 100 ms of sleep are not this thread's.
    EXPECT_LT(timer.elapsed(), 0.1);
}

TEST(StatePool, StatesKeepTheirSlotsAcrossBlocksAndRegrownSlotsAreEmpty) {
    StatePool pool;
    pool.reset(2);
    pool.resize(10000);
    SearchState state;
    state.agent_node = {3, 7};
    state.agent_cost = {1.5, 2.5};
    state.agent_done = {0, 1};
    state.node_count = 9;
    for (size_t id : {0u, 4095u, 4096u, 9999u}) {
        state.f_value = static_cast<double>(id);
        pool.store(id, state);
    }
    pool.resize(20000);  // growing moves nothing
    for (size_t id : {0u, 4095u, 4096u, 9999u}) {
        EXPECT_EQ(pool.f_value(id), static_cast<double>(id));
        EXPECT_EQ(pool.agent_node(id, 1), 7u);
        EXPECT_EQ(pool.agent_cost(id, 0), 1.5);
    }
    pool.resize(4000);
    pool.resize(10000);
    EXPECT_EQ(pool.node_count(0), 9);
    EXPECT_EQ(pool.node_count(4095), -1);
    EXPECT_EQ(pool.node_count(9999), -1);
    EXPECT_EQ(pool.agent_cost(4095, 0), 0.0);
    EXPECT_THROW(pool.store(10000, state), std::out_of_range);
    SearchState out;
    EXPECT_THROW(pool.load(10000, out), std::out_of_range);
}

}  // namespace
}  // namespace dulmar
