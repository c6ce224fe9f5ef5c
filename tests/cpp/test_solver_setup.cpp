#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/solve_driver.h"
#include "plugins/constraint_checkers.h"
#include "plugins/objectives.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;

Problem two_type_problem() {
    Problem problem;
    for (size_t id : {10, 20, 30}) {
        Node node;
        node.id = id;
        problem.add_node(node);
    }
    Agent a;
    a.id = 1;
    a.type = "A";
    a.start_node = 10;
    a.end_node = 10;
    Agent b = a;
    b.id = 2;
    b.type = "B";
    b.start_node = 20;
    b.end_node = 30;
    problem.add_agent(a, a.id);
    problem.add_agent(b, b.id);
    problem.set_cost_matrix("A", {{0, 1, 2}, {3, 0, 4}, {5, 6, 0}});
    problem.set_cost_matrix("B", {{0, 7}, {8, 0}});
    return problem;
}

TEST(SolverSetup, TablesMapIdsToDenseIndices) {
    Problem problem = two_type_problem();
    AssignmentConstraint assignment;
    assignment.set_assignment(10, {"B", "unknown", "A", "B"});
    assignment.set_assignment(20, {});
    problem.set_assignment_constraint(assignment);
    testing::internal::CaptureStderr();
    Solver solver(problem, Options{});
    const std::string warnings = testing::internal::GetCapturedStderr();

    EXPECT_EQ(solver.type_count, 2u);
    EXPECT_EQ(solver.type_names.at(1), "B");
    EXPECT_EQ(solver.node_index.at(30), 2u);
    EXPECT_EQ(solver.agent_index.at(2), 1u);
    EXPECT_EQ(solver.start_nodes, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(solver.end_nodes, (std::vector<size_t>{0, 2}));
    EXPECT_EQ(solver.agent_count, 2);
    // Unknown names dropped, duplicates merged, sorted ascending.
    EXPECT_EQ(solver.nodes[0].allowed_types, (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(solver.nodes[1].allowed_types.empty());
    EXPECT_EQ(solver.nodes[2].allowed_types, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(warnings, "[warning] node 30 has no assignment constraint; allowing all types\n");
}

TEST(SolverSetup, GraphIsCompleteWithOneCostPerTypeAndMissingEntriesAt9999) {
    testing::internal::CaptureStderr();
    Solver solver(two_type_problem(), Options{});
    testing::internal::GetCapturedStderr();
    const PlannerGraph& graph = *solver.graph;
    EXPECT_EQ(graph.NumVertex(), 3u);
    EXPECT_EQ(graph.NumArc(), 12u);  // 6 ordered pairs, each counted on both sides
    EXPECT_FALSE(graph.HasArc(1, 1));
    EXPECT_EQ(graph.GetCost(0, 1), (CostVector{1, 7}));
    EXPECT_EQ(graph.GetCost(2, 1), (CostVector{6, 9999}));  // "B" has no row 2
}

TEST(SolverSetup, MatrixLargerThanTheNodeListIsCutToIt) {
    Problem problem = euclidean_problem({{0, 0}, {3, 4}}, 1);
    problem.set_cost_matrix("a", {{0, 5, 1, 1}, {5, 0, 1, 1}, {1, 1, 0, 1}});
    Solver solver(problem, Options{});
    EXPECT_EQ(solver.graph->NumVertex(), 2u);
    EXPECT_EQ(solver.graph->GetCost(1, 0), (CostVector{5}));
}

TEST(SolverSetup, UnknownIdsAreReportedByName) {
    Problem problem = euclidean_problem({{0, 0}, {1, 0}}, 1);
    problem.ordered_agents[0].end_node = 77;
    try {
        Solver solver(problem, Options{});
        FAIL() << "expected out_of_range";
    } catch (const std::out_of_range& error) {
        EXPECT_NE(std::string(error.what()).find("agent 0"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("end_node 77"), std::string::npos) << error.what();
    }

    Problem typed = euclidean_problem({{0, 0}, {1, 0}}, 1);
    typed.set_cost_matrix("drone", {{0}});
    try {
        Solver solver(typed, Options{});
        FAIL() << "expected out_of_range";
    } catch (const std::out_of_range& error) {
        EXPECT_NE(std::string(error.what()).find("\"drone\""), std::string::npos) << error.what();
    }
}

TEST(SolverSetup, MoreThan256NodesIsAnInvalidArgument) {
    std::vector<testing_support::PointSpec> points(257, {0, 0});
    Problem problem = euclidean_problem(points, 1);
    try {
        Solver solver(problem, Options{});
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("257"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("256"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find(R"("improve": true)"), std::string::npos) << error.what();
    }
}

TEST(SolverSetup, AMetricGivesTheCostsOfAMatrixHoldingItsEntries) {
    const std::vector<testing_support::PointSpec> points{{0, 0}, {3, 4}, {1.5, 2.7}, {-7.25, 0.1}, {10, -3}};
    const Problem base = euclidean_problem(points, 2);
    const size_t n = points.size();
    struct Form {
        double factor;
        const char* round;
        double first;  // cost 0 -> 1: 5 x factor, rounded or not
    };
    for (const Form& form : {Form{1.0, "", 5.0}, Form{1.3, "", 6.5}, Form{1.3, "nint", 7.0}, Form{0.0, "", 0.0}}) {
        Problem by_metric = base;
        by_metric.set_cost_metric("a", "euclidean", form.factor, form.round);
        Problem by_matrix = base;
        CostMatrix matrix(n, std::vector<double>(n));
        for (size_t r = 0; r < n; ++r) {
            for (size_t c = 0; c < n; ++c) {
                const double dx = points[r].x - points[c].x, dy = points[r].y - points[c].y;
                const double d = std::sqrt(dx * dx + dy * dy) * form.factor;
                matrix[r][c] = std::string(form.round) == "nint" ? std::floor(d + 0.5) : d;
            }
        }
        by_matrix.set_cost_matrix("a", matrix);
        const Solver metric(by_metric, Options{});
        const Solver explicit_costs(by_matrix, Options{});
        for (size_t r = 0; r < n; ++r) {
            for (size_t c = 0; c < n; ++c) {
                if (r == c) continue;
                EXPECT_EQ(metric.graph->GetCost(r, c), explicit_costs.graph->GetCost(r, c)) << r << c;
            }
        }
        EXPECT_EQ(metric.graph->GetCost(0, 1), CostVector{form.first});
    }
}

TEST(SolverSetup, AMetricWhoseDistanceOverflowsIsRefused) {
    Problem problem = euclidean_problem({{0, 0}, {1, 0}}, 1);
    problem.nodes()[1].position.x = 1e300;
    problem.set_cost_metric("a", "euclidean");
    try {
        Solver solver(problem, Options{});
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(R"(agent type "a")"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("not finite"), std::string::npos) << error.what();
    }
}

// 300 nodes in a spiral around the depot; the search cannot take them.
TEST(SolverSetup, AboveTheSearchLimitTheImprovementStageSolvesOnDenseTables) {
    std::vector<testing_support::PointSpec> points{{0, 0}};
    for (int i = 1; i < 300; ++i) points.push_back({i * std::cos(i * 0.7) / 3.0, i * std::sin(i * 0.7) / 3.0});
    const Problem problem = euclidean_problem(points, 3);
    Options options = options_with(ObjectiveType::MinMax, 30.0);
    options.improve = true;
    options.improve_iterations = 20;
    Solver solver(problem, options);
    EXPECT_TRUE(solver.large_instance());
    EXPECT_EQ(solver.graph, nullptr);
    EXPECT_TRUE(solver.mst_edges.empty());
    ASSERT_NE(solver.instance, nullptr);
    const CostTable& table = solver.instance->costs();
    EXPECT_EQ(table.size(), 300u);
    EXPECT_EQ(table.dim(), 1u);
    EXPECT_FALSE(table.has_arc(7, 7));
    EXPECT_EQ(table.cost_or(7, 9, 0, -1.0), problem.cost_matrices.at("a")[7][9]);
    EXPECT_EQ(table.cost_or(7, 7, 0, -1.0), -1.0);
    try {
        solver.search();
        FAIL() << "the search took 300 nodes";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("300"), std::string::npos) << error.what();
    }

    ASSERT_EQ(run_solve(solver), 1);
    const Result result = solver.get_result();
    EXPECT_EQ(result.improve_iterations, 20);
    std::vector<int> visits(points.size(), 0);
    for (int a = 0; a < 3; ++a) {
        const std::vector<int64_t>& path = result.paths.at(a);
        ASSERT_GE(path.size(), 2u);
        EXPECT_EQ(path.front(), 0);
        EXPECT_EQ(path.back(), 0);
        double cost = 0.0;
        for (size_t i = 1; i < path.size(); ++i) {
            cost += problem.cost_matrices.at("a")[static_cast<size_t>(path[i - 1])][static_cast<size_t>(path[i])];
            if (i + 1 < path.size()) ++visits[static_cast<size_t>(path[i])];
        }
        EXPECT_NEAR(result.times.at(a), cost, 1e-9);
    }
    for (size_t v = 1; v < points.size(); ++v) EXPECT_EQ(visits[v], 1) << "node " << v;
    ASSERT_FALSE(solver.get_result_process().empty());
}

TEST(SolverSetup, PluginChoiceFollowsObjectiveWindowsAndLimits) {
    Problem plain = euclidean_problem({{0, 0}, {1, 0}}, 2);
    Solver bare(plain, options_with(ObjectiveType::MinSum));
    EXPECT_EQ(bare.constraint_checker->name(), "DefaultConstraintChecker");
    EXPECT_EQ(bare.objective->name(), "MinSumObjective");
    EXPECT_EQ(bare.post_optimizer->name(), "CompositePostOptimizer");

    Problem limited = plain;
    limited.ordered_agents[1].time_limit = 5;
    Solver with_limit(limited, options_with(ObjectiveType::MinMax));
    EXPECT_EQ(with_limit.objective->name(), "DefaultObjective");
    auto* composite = dynamic_cast<CompositeConstraintChecker*>(with_limit.constraint_checker.get());
    ASSERT_NE(composite, nullptr);
    ASSERT_EQ(composite->children().size(), 2u);
    EXPECT_EQ(composite->children()[0]->name(), "DefaultConstraintChecker");
    EXPECT_EQ(composite->children()[1]->name(), "TimeLimitConstraintChecker");

    Problem windowed = limited;
    TimeWindowConstraint windows;
    windows.set_timewindow(1, 0, 10);
    windows.set_timewindow(99, 0, 10);
    windowed.set_timewindow_constraint(windows);
    testing::internal::CaptureStderr();
    Solver with_windows(windowed, Options{});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[warning] time window node id 99 not found in nodes\n");
    composite = dynamic_cast<CompositeConstraintChecker*>(with_windows.constraint_checker.get());
    ASSERT_NE(composite, nullptr);
    ASSERT_EQ(composite->children().size(), 3u);
    EXPECT_EQ(composite->children()[1]->name(), "TimeConstraintChecker");
    EXPECT_EQ(with_windows.time_windows.size(), 1u);
    EXPECT_EQ(with_windows.time_windows.at(1).end, 10.0);
}

// Nodes 0 (no window), 1 = a and 2 = b with windows; one type.
Solver windowed_solver(double cost_ab, std::pair<double, double> a, std::pair<double, double> b) {
    Problem problem = euclidean_problem({{0, 0}, {0, 0}, {0, 0}}, 1);
    problem.set_cost_matrix("a", {{0, 1, 1}, {1, 0, cost_ab}, {1, cost_ab, 0}});
    TimeWindowConstraint windows;
    windows.set_timewindow(1, a.first, a.second);
    windows.set_timewindow(2, b.first, b.second);
    problem.set_timewindow_constraint(windows);
    return Solver(problem, Options{});
}

TEST(SolverBound, PairCostWaitsForTheLaterWindow) {
    Solver solver = windowed_solver(5, {0, 10}, {50, 60});
    EXPECT_DOUBLE_EQ(solver.pair_cost(1, 2), 40.0);  // 5 + (50 - (10 + 5))
    // b closes before a opens plus travel: impossible in that direction.
    Solver reversed = windowed_solver(1, {10, 20}, {0, 4});
    EXPECT_EQ(reversed.pair_cost(1, 2), std::numeric_limits<double>::max());
    EXPECT_DOUBLE_EQ(reversed.pair_cost(2, 1), 1.0 + (10 - (4 + 1)));
    // the edge takes the possible direction
    bool found = false;
    for (const MstEdge& edge : reversed.mst_edges) {
        if (edge.u == 2 && edge.v == 1) {
            found = true;
            EXPECT_DOUBLE_EQ(edge.cost, 6.0);
        }
    }
    EXPECT_TRUE(found);
}

TEST(SolverBound, BlockedPairsAreCountedAndEdgesSorted) {
    Problem problem = euclidean_problem({{0, 0}, {1, 0}, {3, 0}, {6, 0}}, 1);
    auto matrix = problem.cost_matrices.at("a");
    // No matrix gives 1 -> 3 or 3 -> 1 (nor 3 -> 2, but 2 -> 3 joins that pair).
    matrix[1].resize(3);
    matrix[3].resize(1);
    problem.set_cost_matrix("a", matrix);
    testing::internal::CaptureStdout();
    Solver solver(problem, Options{});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[TW-MST] blocked edges: 1 / 6 (set MTSP_DEBUG_TW_EDGES=1 for details)\n");
    ASSERT_EQ(solver.mst_edges.size(), 5u);
    for (size_t i = 1; i < solver.mst_edges.size(); ++i) {
        EXPECT_LE(solver.mst_edges[i - 1].cost, solver.mst_edges[i].cost);
        EXPECT_GT(solver.mst_edges[i].u, solver.mst_edges[i].v);
    }
}

TEST(SolverBound, DepotWithoutUsableArcIsIsolated) {
    Problem problem = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1);
    auto matrix = problem.cost_matrices.at("a");
    matrix[0].clear();  // no arc given out of depot 0
    matrix[1].clear();  // nor out of target 1: not examined
    problem.set_cost_matrix("a", matrix);
    testing::internal::CaptureStderr();
    Solver solver(problem, Options{});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "point: 0 can't be reached\n");
    EXPECT_EQ(solver.isolated_depots, (std::vector<size_t>{0}));
}

TEST(SolverSetup, AlternativeSetUpRefusesUnsupportedAssignments) {
    Solver solver(euclidean_problem({{0, 0}, {1, 0}}, 1), Options{});
    NodeRecord odd;
    odd.allowed_types = {1};
    EXPECT_THROW(solver.set_nodes({odd}), std::invalid_argument);
    NodeRecord both;
    both.allowed_types = {0, 1};
    NodeRecord first;
    first.allowed_types = {0};
    EXPECT_NO_THROW(solver.set_nodes({both, first}));
    EXPECT_EQ(solver.nodes.size(), 2u);
}

}  // namespace
}  // namespace dulmar
