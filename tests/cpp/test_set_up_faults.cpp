// Set-up that a caller stops, and the container's memory limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>

#include "core/json_reader.h"
#include "driver/solve_driver.h"
#include "improve/stage_model.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::random_points;

// Stops at its `stop_at`-th poll.
class CountingCheck : public StopCheck {
public:
    explicit CountingCheck(long stop_at) : stop_at_(stop_at) {}
    StopReason poll() override { return ++polls >= stop_at_ ? StopReason::Interrupted : StopReason::None; }
    long polls = 0;

private:
    long stop_at_;
};

TEST(SetUpFaults, EveryPartOfTheSetUpStopsWhenAsked) {
    Options options = options_with(ObjectiveType::MinMax, 1.0);
    options.improve = true;
    const Problem problem = euclidean_problem(random_points(300, 3), 2);
    CountingCheck counter(1L << 40);
    Solver counted(problem, options, &counter);
    const long set_up_polls = counter.polls;
    // One poll per row of the cost layer at least, and a stop at any of them leaves no Solver.
    ASSERT_GE(set_up_polls, 300);
    for (long stop_at : {1L, set_up_polls / 2, set_up_polls}) {
        CountingCheck check(stop_at);
        EXPECT_THROW(Solver(problem, options, &check), SolveStopped) << stop_at;
    }
    CountingCheck model_check(10);
    const RouteEvaluator evaluator = counted.route_evaluator();
    EXPECT_THROW(StageModel(evaluator, ObjectiveType::MinMax, StageModel::kDefaultNeighbours, &model_check),
                 SolveStopped);

    const auto document = nlohmann::json::parse(
        R"({"nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1, "x": 1, "y": 0}], "agents": [],
            "costs": {"car": [[0, 1], [1, 0]]}})");
    Problem read;
    CountingCheck reader_check(2);
    EXPECT_THROW(read_problem_json(document, read, &reader_check), SolveStopped);
}

// A caller's control that stops the solve at its `stop_at`-th poll and
// remembers how many polls came before the first solution.
class CountingControl : public SolveControl {
public:
    explicit CountingControl(long stop_at) : stop_at_(stop_at) {}
    StopReason poll() override { return ++polls >= stop_at_ ? StopReason::Interrupted : StopReason::None; }
    bool on_improvement(double, double, double) override {
        if (first_solution < 0) first_solution = polls;
        return true;
    }
    long polls = 0;
    long first_solution = -1;

private:
    long stop_at_;
};

TEST(SetUpFaults, OnALargeInstanceTheStageAsksToStopWhileItBuildsItsFirstSolution) {
    Options options = options_with(ObjectiveType::MinMax, 60.0);
    options.improve = true;
    options.improve_iterations = 20;
    const size_t n = 400;
    const Problem problem = euclidean_problem(random_points(n, 11), 3);
    CountingControl full(1L << 40);
    Solver counted(problem, options, &full);
    const long set_up = full.polls;
    counted.control = &full;
    ASSERT_EQ(run_solve(counted), 1);
    // The neighbour lists, the construction and its local search each ask once per target at least.
    EXPECT_GE(full.first_solution - set_up, static_cast<long>(3 * (n - 1)));

    // Stopped just before the first solution, and just after it: no exception, the routes published stand.
    for (const long stop_at : {full.first_solution - 1, full.first_solution + 2}) {
        CountingControl stop(stop_at);
        Solver solver(problem, options, &stop);
        solver.control = &stop;
        const int found = run_solve(solver);
        EXPECT_EQ(solver.stop_reason, StopReason::Interrupted) << stop_at;
        EXPECT_EQ(found, stop_at > full.first_solution ? 1 : 0) << stop_at;
        EXPECT_EQ(solver.result.paths.empty(), found == 0) << stop_at;
        const RouteEvaluator evaluator = solver.route_evaluator();
        for (const auto& [agent, path] : solver.result.paths) {
            const RouteEvaluation checked = evaluator.evaluate(path, static_cast<size_t>(agent));
            EXPECT_TRUE(checked.valid && checked.cost == solver.result.times.at(agent)) << stop_at;
        }
    }
}

TEST(SetUpFaults, TheMemoryLimitIsTheSmallestOfTheCgroupAndItsAncestors) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("vok_cgroup_" + std::to_string(::getpid()));
    fs::remove_all(root);
    const auto write = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    };
    const std::string self = (root / "self_cgroup").string();
    // v2: the process's own group says "max", its parent 3 GB.
    write(root / "self_cgroup", "0::/box/job\n");
    write(root / "box/job/memory.max", "max\n");
    write(root / "box/memory.max", "3221225472\n");
    EXPECT_EQ(cgroup_memory_limit_bytes(self, root.string()), 3221225472.0);
    // v1: the memory controller's own folder.
    write(root / "self_cgroup", "4:memory:/ci\n1:cpu:/ci\n");
    write(root / "memory/ci/memory.limit_in_bytes", "1073741824\n");
    write(root / "memory/memory.limit_in_bytes", "9223372036854771712\n");
    EXPECT_EQ(cgroup_memory_limit_bytes(self, root.string()), 1073741824.0);
    // No limit anywhere, and no file at all.
    write(root / "self_cgroup", "0::/\n");
    write(root / "memory.max", "max\n");
    EXPECT_EQ(cgroup_memory_limit_bytes(self, root.string()), 0.0);
    EXPECT_EQ(cgroup_memory_limit_bytes((root / "none").string(), root.string()), 0.0);
    fs::remove_all(root);
    EXPECT_LE(default_memory_limit_mb(), 8192.0);
}

}  // namespace
}  // namespace dulmar
