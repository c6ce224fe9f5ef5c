#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "graph/sparse_graph.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::random_points;

// Counts goals through the per-goal summary update.
class CountingSolver : public Solver {
public:
    using Solver::Solver;
    void update_summary() override {
        ++goals;
        Solver::update_summary();
    }
    int goals = 0;
};

double route_cost(const Problem& problem, const std::vector<int64_t>& route) {
    const auto& matrix = problem.cost_matrices.at("a");
    double cost = 0.0;
    for (size_t i = 1; i < route.size(); ++i) cost += matrix[route[i - 1]][route[i]];
    return cost;
}

TEST(SolverSearch, EveryTargetIsVisitedOnceAndCostsMatchTheRoutes) {
    for (ObjectiveType objective : {ObjectiveType::MinMax, ObjectiveType::MinSum}) {
        const Problem problem = euclidean_problem(random_points(9, 7), 3);
        testing::internal::CaptureStdout();
        CountingSolver solver(problem, options_with(objective, 2.0));
        ASSERT_EQ(solver.search(), 1);
        testing::internal::GetCapturedStdout();
        const Result result = solver.get_result();

        std::vector<int> seen(9, 0);
        double largest = 0.0;
        for (int64_t a = 0; a < 3; ++a) {
            const auto& route = result.paths.at(a);
            ASSERT_GE(route.size(), 2u);
            EXPECT_EQ(route.front(), 0);
            EXPECT_EQ(route.back(), 0);
            for (size_t i = 1; i + 1 < route.size(); ++i) seen[route[i]] += 1;
            EXPECT_NEAR(result.times.at(a), route_cost(problem, route), 1e-9);
            largest = std::max(largest, result.times.at(a));
        }
        for (size_t v = 1; v < 9; ++v) EXPECT_EQ(seen[v], 1) << "node " << v;
        EXPECT_DOUBLE_EQ(solver.best_max_cost, largest);
        EXPECT_EQ(solver.get_result_process().size(), 2u * static_cast<size_t>(solver.goals));
        EXPECT_EQ(solver.get_summary().found, 1);
        EXPECT_EQ(solver.get_summary().node_count, 9);
        EXPECT_EQ(result.finish_code, -1);
    }
}

TEST(SolverSearch, MinSumNeverKeepsARouteSetCostlierThanTheOneFound) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Problem problem = euclidean_problem(random_points(10, seed), 3);
        testing::internal::CaptureStdout();
        Solver solver(problem, options_with(ObjectiveType::MinSum, 1.0));
        solver.search();
        testing::internal::GetCapturedStdout();
        const auto snapshots = solver.get_result_process();
        ASSERT_FALSE(snapshots.empty());
        for (size_t i = 0; i + 1 < snapshots.size(); i += 2) {
            double found = 0.0;
            double kept = 0.0;
            for (const auto& [agent, cost] : snapshots[i].second.times) found += cost;
            for (const auto& [agent, cost] : snapshots[i + 1].second.times) kept += cost;
            EXPECT_LE(kept, found + 1e-9) << "seed " << seed << " goal " << i / 2;
        }
        double final_sum = 0.0;
        for (const auto& [agent, cost] : solver.result.times) final_sum += cost;
        EXPECT_DOUBLE_EQ(solver.incumbent_cost, final_sum);
    }
}

TEST(SolverSearch, AgentFromOneDepotToAnotherFinishes) {
    for (bool return_to_end : {true, false}) {
        Problem problem = euclidean_problem({{0, 0}, {10, 0}, {4, 1}, {6, -1}}, 1);
        problem.ordered_agents[0].end_node = 1;
        problem.agents[0].end_node = 1;
        testing::internal::CaptureStdout();
        Solver solver(problem, options_with(ObjectiveType::MinMax, 2.0, return_to_end));
        EXPECT_EQ(solver.search(), 1) << "return_to_end " << return_to_end;
        testing::internal::GetCapturedStdout();
        const auto& route = solver.result.paths.at(0);
        EXPECT_EQ(route, (std::vector<int64_t>{0, 2, 3, 1}));
        // An open route leaves out the leg into its end node.
        const double expected = return_to_end ? route_cost(problem, route) : route_cost(problem, {0, 2, 3});
        EXPECT_NEAR(solver.result.times.at(0), expected, 1e-9);
    }
}

TEST(SolverSearch, RunningOutOfTimeBeforeAGoalFails) {
    Solver solver(euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1), options_with(ObjectiveType::MinMax));
    solver.time_limit = -1.0;  // spent before the first expansion
    EXPECT_EQ(solver.search(), 0);
    EXPECT_TRUE(solver.result.timeout);
    EXPECT_TRUE(solver.result.paths.empty());
    EXPECT_TRUE(solver.get_result_process().empty());
    EXPECT_EQ(solver.result.n_generated, 1);  // the root only
}

TEST(SolverSearch, FocalWeightMovesFourFifthsTowardsTheRatio) {
    EXPECT_NEAR(next_focal_weight(12.0, 10.0), 1.16, 1e-12);
    EXPECT_EQ(next_focal_weight(10.002, 10.0), 1.0);
    EXPECT_EQ(next_focal_weight(-1.0, 7.0), 1.0);  // no incumbent yet
}

TEST(SolverSearch, SearchEndsWhenNothingIsLeftToExpand) {
    // One agent whose route limit keeps it from its only target: no round ever reaches a goal.
    Problem problem = euclidean_problem({{0, 0}, {1, 0}}, 1);
    problem.ordered_agents[0].time_limit = 0.5;
    Solver solver(problem, options_with(ObjectiveType::MinMax, 2.0));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(solver.search(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(solver.result.timeout);
    // The root expands into nothing, open empties, and the search ends.
    EXPECT_EQ(out, "");
    EXPECT_EQ(solver.result.n_expanded, 1);
}

class DebugExport : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        directory = std::filesystem::temp_directory_path() /
                    ("vok_debug_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                     std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(directory);
        std::filesystem::current_path(directory);
    }
    void TearDown() override {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(directory);
    }
    std::filesystem::path previous;
    std::filesystem::path directory;
};

TEST_F(DebugExport, ConfigureWritesTheRoutesWithoutTheirLastNode) {
    // Line graph 0 - 2 - 1, agents start at 0 and 1 (open routes).
    SparseGraph graph;
    graph.ChangeCostDim(1, 9999);
    const double cost[3][3] = {{0, 5, 1}, {5, 0, 2}, {1, 2, 0}};
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            if (i != j) graph.AddArc(i, j, {cost[i][j]});
        }
    }
    std::vector<NodeRecord> nodes(3);
    for (auto& node : nodes) node.allowed_types = {0};
    std::vector<AgentRecord> agents(2);

    Solver solver(euclidean_problem({{0, 0}}, 1), Options{});
    testing::internal::CaptureStdout();
    const int found = solver.configure(&graph, nodes, agents, {0, 1}, {0, 1}, 2.0, "run");
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(found, 1);
    EXPECT_FALSE(solver.return_to_end);
    EXPECT_NE(out.find("Saved to paths/paths_astar/run_astar.json\n"), std::string::npos);

    std::ifstream in("paths/paths_astar/run_astar.json");
    std::stringstream text;
    text << in.rdbuf();
    const std::string body = text.str();
    // Keys in byte order, two-space indentation, a final newline.
    const size_t goals = body.find("\"goals\"");
    const size_t max_length = body.find("\"max_path_length\"");
    const size_t agents_key = body.find("\"num_agents\": 2");
    const size_t paths = body.find("\"paths\"");
    const size_t starts = body.find("\"starts\"");
    const size_t totals = body.find("\"total_costs\"");
    EXPECT_EQ(body.rfind("{\n  \"goals\": [\n    0,\n    1\n  ],", 0), 0u) << body;
    EXPECT_LT(goals, max_length);
    EXPECT_LT(max_length, agents_key);
    EXPECT_LT(agents_key, paths);
    EXPECT_LT(paths, starts);
    EXPECT_LT(starts, totals);
    EXPECT_EQ(body.back(), '\n');
    for (int64_t a = 0; a < 2; ++a) {
        const auto& route = solver.result.paths.at(a);
        std::string expected = "\"" + std::to_string(a) + "\": [";
        EXPECT_NE(body.find(expected), std::string::npos) << body;
        EXPECT_EQ(route.front(), a);
    }
}

TEST(SolverSearch, NoDebugFileWithoutAName) {
    const auto before = std::filesystem::exists("paths/paths_astar");
    testing::internal::CaptureStdout();
    Solver solver(euclidean_problem({{0, 0}, {1, 0}}, 1), options_with(ObjectiveType::MinMax, 2.0));
    EXPECT_EQ(solver.search(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Saved to"), std::string::npos);
    EXPECT_EQ(std::filesystem::exists("paths/paths_astar"), before);
}

}  // namespace
}  // namespace dulmar

namespace dulmar {
namespace {

class NonZeroLengthSolver : public Solver {
public:
    using Solver::Solver;
    double total_length(const SearchState&) const override { return 1.0; }
};

TEST(SolverSearch, NonZeroInitialLengthIsAnExceptionNotAnExit) {
    NonZeroLengthSolver solver(testing_support::euclidean_problem({{0, 0}, {1, 0}}, 1), Options{});
    try {
        solver.search();
        FAIL() << "expected an exception";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Initial length is not 0 !");
    }
}

TEST(SimpleTimer, PrintsProcessorSecondsSinceStart) {
    SimpleTimer timer;
    timer.start();
    testing::internal::CaptureStdout();
    timer.print_elapsed();
    const std::string line = testing::internal::GetCapturedStdout();
    ASSERT_EQ(line.rfind(" System Clock Duration: ", 0), 0u) << line;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_LT(std::stod(line.substr(24)), 1.0);
}

}  // namespace
}  // namespace dulmar
