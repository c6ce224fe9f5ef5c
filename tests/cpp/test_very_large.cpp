#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/problem.h"
#include "driver/solve_driver.h"
#include "improve/stage_model.h"
#include "rules/instance_builder.h"
#include "rules/route_evaluator.h"
#include "search/solver.h"

namespace dulmar {
namespace {

constexpr size_t kNodes = kOnDemandNodes + 200;

// kNodes uniform points in a 1000 x 1000 square with the depot, node 0, in
// the middle; every type has a metric. With `rules`: a slower second type
// that alone may serve every tenth target, and windows on every third.
Problem metric_problem(size_t agents, ObjectiveType objective, bool rules, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> coordinate(0.0, 1000.0);
    Problem p;
    AssignmentConstraint assignment;
    TimeWindowConstraint windows;
    for (size_t i = 0; i < kNodes; ++i) {
        Node node;
        node.id = i;
        node.position = i == 0 ? Position{500, 500, 0} : Position{coordinate(rng), coordinate(rng), 0};
        p.add_node(node);
        assignment.set_assignment(i, rules && i > 0 && i % 10 == 0 ? std::vector<std::string>{"van"}
                                                         : std::vector<std::string>{"car", "van"});
        if (rules && i > 0 && i % 3 == 0) {
            const double open = std::uniform_real_distribution<double>(0, 6000)(rng);
            windows.set_timewindow(i, open, open + 8000);
        }
    }
    for (size_t k = 0; k < agents; ++k) {
        Agent agent;
        agent.id = k;
        agent.type = k % 2 == 1 || !rules ? "van" : "car";
        p.add_agent(agent, k);
    }
    p.set_cost_metric("van", "euclidean");
    if (rules) p.set_cost_metric("car", "euclidean", 0.8, "nint");
    p.set_assignment_constraint(assignment);
    p.set_timewindow_constraint(windows);
    p.solve_options.objective = objective;
    p.solve_options.improve = true;
    return p;
}

// Costs worked out on demand are the very numbers of the matrix a metric
// stands for: entry (r, c), r <= c, is the metric from r to c, mirrored.
TEST(VeryLarge, CostsOnDemandAgreeWithTheTableToTheBit) {
    Problem by_metric = metric_problem(2, ObjectiveType::MinSum, true, 1);
    ProblemIds ids;
    const auto on_demand = prepare_instance(by_metric, by_metric.solve_options, ids);
    const size_t car = ids.type_index.at("car");
    ASSERT_TRUE(on_demand->costs().all_on_demand());

    const CostMetric metric = by_metric.cost_metrics.at("car");
    CostMatrix matrix(kNodes, std::vector<double>(kNodes, 0.0));
    for (size_t r = 0; r < kNodes; ++r) {
        for (size_t c = r + 1; c < kNodes; ++c) {
            const Position& a = by_metric.node_list[r].position;
            const Position& b = by_metric.node_list[c].position;
            matrix[r][c] = matrix[c][r] = metric.cost(a.x, a.y, b.x, b.y);
        }
    }
    Problem by_matrix = by_metric;
    by_matrix.set_cost_matrix("car", std::move(matrix));
    ProblemIds matrix_ids;
    const auto table = prepare_instance(by_matrix, by_matrix.solve_options, matrix_ids);
    ASSERT_FALSE(table->costs().on_demand(car));
    ASSERT_TRUE(table->costs().on_demand(ids.type_index.at("van")));
    EXPECT_LT(solve_table_bytes(kNodes, 2, 2, 0, true), solve_table_bytes(kNodes, 2, 2, 1, true) / 10);

    size_t differ = 0;
    for (size_t u = 0; u < kNodes; u += 3)
        for (size_t v = 0; v < kNodes; ++v)
            differ += on_demand->cost(car, u, v) != table->cost(car, u, v) ||
                      on_demand->hop(0, u, v) != table->hop(0, u, v);
    EXPECT_EQ(differ, 0u);
}

TEST(VeryLarge, NeighbourListsHoldTheNearestTargetsThatShareAType) {
    for (const bool rules : {false, true}) {
        Problem p = metric_problem(4, ObjectiveType::MinMax, rules, 2);
        p.timewindow_constraint = TimeWindowConstraint{};
        Solver solver(p, p.solve_options);
        const RouteEvaluator evaluator = solver.route_evaluator();
        const StageModel model(evaluator, ObjectiveType::MinMax);
        ASSERT_TRUE(model.very_large());
        const PreparedInstance& instance = *solver.instance;
        const size_t van = solver.type_index.at("van");
        for (size_t v = 1; v < kNodes; v += 37) {
            // Every target a type of v's may also serve, by cost, the nearest first.
            std::vector<std::pair<double, int64_t>> near;
            for (size_t u = 1; u < kNodes; ++u) {
                bool shared = false;
                for (size_t t : model.types()) shared = shared || (model.type_serves(t, v) && model.type_serves(t, u));
                if (u != v && shared) near.emplace_back(instance.cost(van, v, u), static_cast<int64_t>(u));
            }
            std::sort(near.begin(), near.end());
            const std::vector<int64_t>& list = model.neighbours(static_cast<int64_t>(v));
            ASSERT_EQ(list.size(), StageModel::kDefaultNeighbours);
            for (size_t k = 0; k < list.size(); ++k) {
                if (!rules) {
                    EXPECT_EQ(list[k], near[k].second) << "target " << v << ", neighbour " << k;
                } else {
                    // Nearness ranks by the cheaper type: the list is drawn from the nearest few.
                    const auto at = std::find_if(near.begin(), near.end(), [&](const auto& e) { return e.second == list[k]; });
                    ASSERT_NE(at, near.end()) << "target " << v << " shares no type with " << list[k];
                    EXPECT_LT(at - near.begin(), static_cast<std::ptrdiff_t>(3 * list.size()));
                }
            }
        }
    }
}

// Every route of a very large solve, judged again by the route evaluator:
// tours cut or split into sectors, and insertion under windows and two types.
TEST(VeryLarge, FirstSolutionsAndIterationsKeepEveryRule) {
    struct Case {
        ObjectiveType objective;
        bool rules;
        size_t agents;
    };
    for (const Case c : {Case{ObjectiveType::MinMax, false, 12}, Case{ObjectiveType::MinSum, false, 6},
                         Case{ObjectiveType::MinMax, true, 10}}) {
        Problem p = metric_problem(c.agents, c.objective, c.rules, 3);
        if (c.objective == ObjectiveType::MinSum) {
            for (auto& agent : p.ordered_agents) agent.time_limit = 14000;  // the tour is cut
        }
        p.solve_options.improve_iterations = 100;
        p.solve_options.time_limit = 600;
        p.solve_options.seed = 5;
        std::vector<Result> results;
        for (int run = 0; run < (c.rules ? 1 : 2); ++run) {
            Solver solver(p, p.solve_options);
            ASSERT_EQ(run_solve(solver), 1);
            results.push_back(solver.get_result());
            EXPECT_EQ(results.back().improve_iterations, 100);
            const RouteEvaluator evaluator = solver.route_evaluator();
            std::vector<int> visits(kNodes, 0);
            for (size_t a = 0; a < c.agents; ++a) {
                const Route& path = results.back().paths.at(static_cast<int64_t>(a));
                const RouteEvaluation judged = evaluator.evaluate(path, a);
                ASSERT_TRUE(judged.valid) << "agent " << a;
                EXPECT_EQ(judged.cost, results.back().times.at(static_cast<int64_t>(a)));
                for (size_t i = 1; i + 1 < path.size(); ++i) ++visits[static_cast<size_t>(path[i])];
            }
            for (size_t v = 1; v < kNodes; ++v) ASSERT_EQ(visits[v], 1) << "node " << v;
        }
        // The same seed and cap repeat the run.
        if (results.size() == 2) {
            EXPECT_EQ(results[0].paths, results[1].paths);
        }
    }
}

}  // namespace
}  // namespace dulmar
