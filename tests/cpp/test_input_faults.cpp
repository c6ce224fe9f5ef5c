// Bad input never gives a wrong answer: each case here was a silent wrong
// result, a hang or a failure reported for a solvable instance. Now it is the
// right answer or an error that names the fault.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "graph/sparse_graph.h"
#include "rules/route_evaluator.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::PointSpec;
using testing_support::random_points;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The text of the invalid_argument that building a Solver raises, or a note that none was raised.
std::string setup_error(const Problem& problem, const Options& options = options_with(ObjectiveType::MinMax)) {
    try {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Solver solver(problem, options);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
    } catch (const std::invalid_argument& error) {
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        return error.what();
    }
    return "no error";
}

bool mentions(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs a search with the solver's own prints swallowed.
int quiet_search(Solver& solver) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int found = solver.search();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return found;
}

TEST(InstanceChecks, RepeatedIdsNameTheIdAndBothPositions) {
    Problem nodes = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1);
    nodes.node_list[2].id = 1;
    const std::string node_error = setup_error(nodes);
    EXPECT_TRUE(mentions(node_error, "node id 1") && mentions(node_error, "nodes[1]") &&
                mentions(node_error, "nodes[2]"))
        << node_error;

    // Two agents under one id with different types: the first was priced with the second's matrix.
    Problem agents = euclidean_problem({{0, 0}, {1, 0}}, 1);
    Agent other = agents.ordered_agents[0];
    other.type = "b";
    agents.add_agent(other, 0);
    agents.set_cost_matrix("b", {{0, 1000}, {1000, 0}});
    const std::string agent_error = setup_error(agents);
    EXPECT_TRUE(mentions(agent_error, "agent id 0") && mentions(agent_error, "agents[0]") &&
                mentions(agent_error, "agents[1]"))
        << agent_error;

    // An agent's id is the one it was added under; its own id field is then only a label.
    Problem labelled = euclidean_problem({{0, 0}, {1, 0}}, 0);
    Agent unlabelled;
    unlabelled.type = "a";
    labelled.add_agent(unlabelled, 0);
    labelled.add_agent(unlabelled, 1);
    EXPECT_EQ(setup_error(labelled), "no error");
}

TEST(InstanceChecks, EmptyInstancesSaySo) {
    EXPECT_TRUE(mentions(setup_error(Problem{}), "no nodes"));
    Problem no_agents = euclidean_problem({{0, 0}, {1, 0}}, 0);
    EXPECT_TRUE(mentions(setup_error(no_agents), "no agents"));
}

TEST(InstanceChecks, NonFiniteAndNegativeCostsNameTypeRowAndColumn) {
    for (double bad : {kNaN, kInf, -kInf, -1.0}) {
        Problem problem = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1);
        auto matrix = problem.cost_matrices.at("a");
        matrix[2][1] = bad;
        problem.set_cost_matrix("a", matrix);
        const std::string error = setup_error(problem);
        EXPECT_TRUE(mentions(error, "\"a\"") && mentions(error, "row 2, column 1")) << bad << ": " << error;
    }
    // The diagonal is never read, so it may hold anything.
    Problem diagonal = euclidean_problem({{0, 0}, {1, 0}}, 1);
    diagonal.set_cost_matrix("a", {{kInf, 1}, {1, -1}});
    EXPECT_EQ(setup_error(diagonal), "no error");
}

TEST(InstanceChecks, BadWindowsNameTheNode) {
    const std::vector<std::pair<double, double>> bad = {{5, 4}, {kNaN, 10}, {0, kNaN}, {kInf, kInf}};
    for (const auto& [start, end] : bad) {
        Problem problem = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1);
        problem.node_list[2].id = 42;
        problem.assignment_constraint.set_assignment(42, {"a"});
        TimeWindowConstraint windows;
        windows.set_timewindow(42, start, end);
        problem.set_timewindow_constraint(windows);
        const std::string error = setup_error(problem);
        EXPECT_TRUE(mentions(error, "node 42")) << start << ", " << end << ": " << error;
    }
    // An open end and a window that is one instant are fine.
    Problem fine = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 1);
    TimeWindowConstraint windows;
    windows.set_timewindow(1, 0, kInf);
    windows.set_timewindow(2, 3, 3);
    fine.set_timewindow_constraint(windows);
    EXPECT_EQ(setup_error(fine), "no error");
}

TEST(InstanceChecks, BudgetMustBeAPositiveNumber) {
    const Problem problem = euclidean_problem({{0, 0}, {1, 0}}, 1);
    for (double seconds : {kNaN, 0.0, -1.0}) {
        EXPECT_TRUE(mentions(setup_error(problem, options_with(ObjectiveType::MinMax, seconds)), "time_limit"))
            << seconds;
    }
}

// Agents "a" (cost 1 per unit) and "b" (cost 10 per unit) on nodes 0 and 1, one unit apart.
Problem two_priced_types() {
    Problem problem = euclidean_problem({{0, 0}, {1, 0}}, 0);
    Agent a;
    a.type = "a";
    problem.add_agent(a, 0);
    problem.set_cost_matrix("b", {{0, 10}, {10, 0}});
    problem.assignment_constraint.set_assignment(0, {"a", "b"});
    problem.assignment_constraint.set_assignment(1, {"a", "b"});
    return problem;
}

TEST(AgentTypes, EachAgentIsPricedByItsOwnTypeName) {
    // Filed under another id than its own: still its own matrix.
    Problem filed = two_priced_types();
    Agent b;
    b.id = 1;
    b.type = "b";
    filed.add_agent(b, 7);
    filed.ordered_agents[0].type = "b";  // changed through agents_ordered()
    Solver solver(filed, options_with(ObjectiveType::MinSum));
    ASSERT_EQ(quiet_search(solver), 1);
    for (int64_t a = 0; a < 2; ++a) {
        const auto& path = solver.result.paths.at(a);
        const double expected = path.size() > 2 ? 20.0 : 0.0;
        EXPECT_DOUBLE_EQ(solver.result.times.at(a), expected) << "agent " << a;
    }
    EXPECT_EQ(solver.agents[0].type, solver.agents[1].type);

    // A type name no agent was added with gets a matrix of its own.
    Problem renamed = two_priced_types();
    renamed.cost_matrices.erase("b");
    renamed.ordered_agents[0].type = "c";
    renamed.set_cost_matrix("c", {{0, 3}, {3, 0}});
    renamed.assignment_constraint.set_assignment(0, {"c"});
    renamed.assignment_constraint.set_assignment(1, {"c"});
    Solver priced(renamed, options_with(ObjectiveType::MinSum));
    ASSERT_EQ(quiet_search(priced), 1);
    EXPECT_DOUBLE_EQ(priced.result.times.at(0), 6.0);
}

// The same instance with every cost multiplied by `scale`.
Problem scaled(const Problem& base, double scale) {
    Problem problem = base;
    for (auto& [name, matrix] : problem.cost_matrices)
        for (auto& row : matrix)
            for (double& cost : row) cost *= scale;
    return problem;
}

double objective_of(const Result& result) {
    double largest = 0.0;
    for (const auto& [agent, cost] : result.times) largest = std::max(largest, cost);
    return largest;
}

TEST(LargeCosts, AGivenCostOfAnySizeIsARealArc) {
    const Problem base = euclidean_problem(random_points(8, 3), 2);
    Solver unit(base, options_with(ObjectiveType::MinMax));
    Solver thousand(scaled(base, 1000.0), options_with(ObjectiveType::MinMax));
    EXPECT_EQ(thousand.mst_edges.size(), 28u);  // 8 * 7 / 2: nothing blocked
    EXPECT_TRUE(thousand.isolated_depots.empty());
    ASSERT_EQ(quiet_search(unit), 1);
    ASSERT_EQ(quiet_search(thousand), 1);
    EXPECT_NEAR(objective_of(thousand.result), 1000.0 * objective_of(unit.result), 1e-6 * objective_of(thousand.result));

    // Entries no matrix gave still cost 9999 and are no connection for the bound.
    Problem cut = base;
    cut.cost_matrices.at("a")[1].resize(1);  // nothing from node 1 to nodes 2..7
    cut.cost_matrices.at("a")[2].resize(1);  // nor from 2 to 1
    testing::internal::CaptureStdout();
    Solver missing(cut, options_with(ObjectiveType::MinMax));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[TW-MST] blocked edges: 1 / 28 (set MTSP_DEBUG_TW_EDGES=1 for details)\n");
    EXPECT_EQ(missing.mst_edges.size(), 27u);
    EXPECT_EQ(missing.graph->GetCost(1, 2), CostVector{kMissingArcCost});
}

TEST(LargeCosts, AWindowOpeningLateIsWaitedFor) {
    Problem problem = euclidean_problem({{0, 0}, {3, 0}, {3, 4}}, 1);
    TimeWindowConstraint windows;
    windows.set_timewindow(2, 100000, 200000);
    problem.set_timewindow_constraint(windows);
    Solver solver(problem, options_with(ObjectiveType::MinMax));
    ASSERT_EQ(quiet_search(solver), 1);
    // 0 -> 1 -> 2 arrives at 7, waits until 100000, and goes home: 5 more.
    EXPECT_DOUBLE_EQ(solver.result.times.at(0), 100005.0);

    // From 0 (window [0, 0]) or 1 (window [0, 10]) the wait for node 2 makes
    // every pair cost to it 9999 or more: still an edge of the bound.
    Problem late = euclidean_problem({{0, 0}, {3, 0}, {3, 4}}, 1);
    late.ordered_agents[0].end_node = 2;
    windows.set_timewindow(0, 0, 0);
    windows.set_timewindow(1, 0, 10);
    late.set_timewindow_constraint(windows);
    Solver bounded(late, options_with(ObjectiveType::MinMax));
    SearchState root;
    root.agent_node = {0};
    root.agent_cost = {0.0};
    root.agent_done = {0};
    root.node_count = 3;
    root.visited = VisitedSet::with_first_clear(3);
    root.visited.set(0);
    // Tree: 0 - 1 (3), then 1 - 2: 4 + (100000 - (10 + 4)) of waiting.
    EXPECT_DOUBLE_EQ(bounded.heuristic->evaluate(root), 3.0 + 99990.0);
    ASSERT_EQ(quiet_search(bounded), 1);
    EXPECT_DOUBLE_EQ(bounded.result.times.at(0), 100000.0);
}

TEST(LargeCosts, AGraphFromTheAlternativeSetUpHasEveryArcItHolds) {
    SparseGraph graph;
    graph.ChangeCostDim(1, 0.0);
    for (size_t i = 0; i < 3; ++i) graph.AddVertex(i);
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j)
            if (i != j) graph.AddArc(i, j, {20000.0 + static_cast<double>(i + j)});
    std::vector<NodeRecord> nodes(3);
    for (auto& node : nodes) node.allowed_types = {0};
    Solver solver(euclidean_problem({{0, 0}}, 1), Options{});
    testing::internal::CaptureStdout();
    EXPECT_EQ(solver.configure(&graph, nodes, std::vector<AgentRecord>(1), {0}, {0}, 2.0, ""), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("blocked"), std::string::npos);
    EXPECT_EQ(solver.mst_edges.size(), 3u);
}

TEST(StartWindows, AWindowOnTheStartHoldsOnlyWhereTheRouteComesBack) {
    // Start at node 1 (x = 10), end at node 0 (x = 0), targets at x = 5 and x = 20.
    Problem problem = euclidean_problem({{0, 0}, {10, 0}, {5, 0}, {20, 0}}, 1);
    problem.ordered_agents[0].start_node = 1;
    TimeWindowConstraint windows;
    windows.set_timewindow(1, 100, 200);  // would push departure to 100
    windows.set_timewindow(2, 0, 50);     // which then misses this one
    problem.set_timewindow_constraint(windows);
    Solver solver(problem, options_with(ObjectiveType::MinMax));
    ASSERT_EQ(quiet_search(solver), 1);
    EXPECT_EQ(solver.result.paths.at(0), (std::vector<int64_t>{1, 3, 2, 0}));
    EXPECT_DOUBLE_EQ(solver.result.times.at(0), 30.0);  // 10 + 15 + 5, leaving at 0
}

// Re-evaluates every route of every snapshot with the Solver's own route evaluator.
void expect_costs_match_evaluation(const Solver& solver, const std::string& label) {
    const RouteEvaluator evaluator = solver.route_evaluator();
    for (const auto& [time, snapshot] : solver.get_result_process()) {
        for (const auto& [agent, path] : snapshot.paths) {
            const RouteEvaluation own = evaluator.evaluate(path, static_cast<size_t>(agent));
            ASSERT_TRUE(own.valid) << label << " agent " << agent;
            EXPECT_NEAR(snapshot.times.at(agent), own.cost, 1e-9 * std::max(1.0, own.cost))
                << label << " agent " << agent;
        }
    }
}

TEST(StartWindows, EveryReportedRouteCostsWhatItsOwnEvaluationSays) {
    std::mt19937 random(12);
    for (int round = 0; round < 24; ++round) {
        const size_t n = 6 + static_cast<size_t>(round % 3);
        Problem problem = euclidean_problem(random_points(n, static_cast<unsigned>(round)), 2);
        // Different starts and ends, some routes open, windows on starts and targets.
        problem.ordered_agents[0].start_node = 1;
        problem.ordered_agents[1].end_node = round % 2 == 0 ? 2 : 0;
        TimeWindowConstraint windows;
        for (size_t v = 0; v < n; ++v) {
            if (random() % 3 == 0) {
                const double open = static_cast<double>(random() % 150);
                windows.set_timewindow(v, open, open + 150.0 + static_cast<double>(random() % 200));
            }
        }
        problem.set_timewindow_constraint(windows);
        const bool closed = round % 4 < 2;
        Solver solver(problem, options_with(round % 3 ? ObjectiveType::MinMax : ObjectiveType::MinSum, 0.5, closed));
        quiet_search(solver);
        expect_costs_match_evaluation(solver, "round " + std::to_string(round));
    }
}

TEST(IdleAgents, MoreAgentsThanTargetsStillSucceed) {
    for (bool closed : {true, false}) {
        for (size_t agents : {3, 5}) {
            Solver solver(euclidean_problem({{0, 0}, {1, 0}}, agents), options_with(ObjectiveType::MinMax, 5.0, closed));
            ASSERT_EQ(quiet_search(solver), 1) << agents << " agents, closed " << closed;
            int serving = 0;
            for (int64_t a = 0; a < static_cast<int64_t>(agents); ++a) {
                const auto& path = solver.result.paths.at(a);
                if (path.size() == 2) {
                    // As an agent that serves no target is reported: start, end, cost 0.
                    EXPECT_EQ(path, (std::vector<int64_t>{0, 0}));
                    EXPECT_EQ(solver.result.times.at(a), 0.0);
                } else {
                    ++serving;
                    EXPECT_EQ(path, (std::vector<int64_t>{0, 1, 0}));
                    EXPECT_DOUBLE_EQ(solver.result.times.at(a), closed ? 2.0 : 1.0);
                }
            }
            EXPECT_EQ(serving, 1);
        }
    }
}

TEST(SolveTwice, ASecondSearchGivesWhatANewSolverGives) {
    const Problem problem = euclidean_problem(random_points(8, 5), 2);
    Solver twice(problem, options_with(ObjectiveType::MinMax));
    ASSERT_EQ(quiet_search(twice), 1);
    ASSERT_EQ(quiet_search(twice), 1);
    Solver fresh(problem, options_with(ObjectiveType::MinMax));
    ASSERT_EQ(quiet_search(fresh), 1);
    EXPECT_EQ(twice.result.paths, fresh.result.paths);
    EXPECT_EQ(twice.result.times, fresh.result.times);
    EXPECT_EQ(twice.result.n_generated, fresh.result.n_generated);
    EXPECT_EQ(twice.result.n_expanded, fresh.result.n_expanded);
    EXPECT_EQ(twice.get_result_process().size(), fresh.get_result_process().size());
    EXPECT_EQ(twice.focal_weights, fresh.focal_weights);
}

}  // namespace
}  // namespace dulmar
