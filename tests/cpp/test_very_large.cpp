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
#include "improve/stage_solution.h"
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
// tours cut or split into sectors, and insertion under windows and two types
// (with 5 agents the earliest-closing-first attempt leaves two targets out,
// and the next attempt moves them ahead).
TEST(VeryLarge, FirstSolutionsAndIterationsKeepEveryRule) {
    struct Case {
        ObjectiveType objective;
        bool rules;
        size_t agents;
    };
    for (const Case c : {Case{ObjectiveType::MinMax, false, 12}, Case{ObjectiveType::MinSum, false, 6},
                         Case{ObjectiveType::MinMax, true, 10}, Case{ObjectiveType::MinMax, true, 5}}) {
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

// Entered at time t, two summaries of the same run let the agent leave at
// the same time (or both refuse it), up to rounding: blocks join in another order.
void expect_same_run(const Segment& kept, const Segment& whole, double t, const std::string& where) {
    double a = t, b = t;
    const bool a_ok = kept.pass(a), b_ok = whole.pass(b);
    ASSERT_EQ(a_ok, b_ok) << where;
    if (a_ok) {
        ASSERT_NEAR(a, b, 1e-9 * (1.0 + std::abs(b))) << where;
    }
}

void expect_same_run(const WarpSegment& kept, const WarpSegment& whole, double t, const std::string& where) {
    double a = t, b = t, a_late = 0.0, b_late = 0.0;
    kept.pass(a, a_late);
    whole.pass(b, b_late);
    ASSERT_NEAR(a, b, 1e-9 * (1.0 + std::abs(b))) << where;
    ASSERT_NEAR(a_late, b_late, 1e-9 * (1.0 + std::abs(b))) << where;
}

// Every value a route keeps against the same routes timed whole (by the
// evaluator's scan or measure, summaries built afresh): running costs, loads,
// costs and violations to the bit, summaries by the times they give.
void expect_timed_whole(const StageModel& model, const StageSolution& s, std::mt19937_64& rng, size_t& waits) {
    StageSolution whole(model);
    for (size_t r = 0; r < s.routes().size(); ++r) whole.set_route(r, s.route(r).nodes);
    whole.set_penalties(s.penalties());  // times every route again, whole
    ASSERT_EQ(s.routes_valid(), whole.routes_valid());
    ASSERT_EQ(s.unassigned_count(), whole.unassigned_count());
    ASSERT_EQ(s.value().sum_cost, whole.value().sum_cost);
    ASSERT_EQ(s.value().max_cost, whole.value().max_cost);
    const bool late = s.penalties() != nullptr;
    for (const StageRoute& route : s.routes()) {
        const StageRoute& fresh = whole.route(route.agent);
        const Route& nodes = route.nodes;
        const size_t n = nodes.size();
        const std::string where = "route " + std::to_string(route.agent) + " of " + std::to_string(n - 2) + " targets";
        for (size_t p = 1; p + 1 < n; ++p) {
            ASSERT_EQ(s.route_of(nodes[p]), static_cast<int64_t>(route.agent)) << where;
            ASSERT_EQ(s.position_of(nodes[p]), p) << where;
        }
        ASSERT_EQ(route.cost, fresh.cost) << where;
        ASSERT_EQ(route.violation.late, fresh.violation.late) << where;
        ASSERT_EQ(route.violation.over_capacity, fresh.violation.over_capacity) << where;
        if (!fresh.violation.valid) continue;  // broken rules: the solution says so above
        ASSERT_EQ(route.load, fresh.load) << where;
        ASSERT_EQ(route.hop, fresh.hop) << where;
        ASSERT_EQ(late ? route.late_leave : route.leave, late ? fresh.late_leave : fresh.leave) << where;
        if (late) {
            ASSERT_EQ(route.late_sum, fresh.late_sum) << where;
        }
        const size_t other = model.types()[0] == model.type_of(route.agent) ? model.types()[1] : model.types()[0];
        for (size_t p = 1; p + 1 < n; ++p) {
            const double arrival = (late ? route.late_leave[p - 1] : route.leave[p - 1]) + route.hop[p];
            const TimeWindow* window = model.instance().window(static_cast<size_t>(nodes[p]));
            waits += window != nullptr && window->start > arrival;
            const std::string at = where + " at " + std::to_string(p);
            for (double t : {arrival, std::uniform_real_distribution<double>(0, 1e6)(rng)}) {
                if (late) {
                    expect_same_run(route.summaries.late_tail(p), fresh.summaries.late_tail(p), t, at + ", late tail");
                    continue;
                }
                expect_same_run(route.summaries.tail(p), fresh.summaries.tail(p), t, at + ", tail");
                expect_same_run(route.summaries.head(p), fresh.summaries.head(p), t, at + ", head");
                expect_same_run(route.summaries.tail_for(other, p), fresh.summaries.tail_for(other, p), t,
                                at + ", other type's tail");
            }
        }
    }
}

// Insertions, removals, reversals, strings moved within and between routes,
// solutions copied route by route and penalties switched on and off, at
// random: a route changed piece by piece keeps what a route timed whole has.
TEST(VeryLarge, RoutesChangedPieceByPieceTimeLikeRoutesTimedWhole) {
    Problem p = metric_problem(3, ObjectiveType::MinSum, true, 4);
    std::mt19937_64 rng(7);
    auto real = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(rng); };
    auto pick = [&](size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(rng); };
    // Windows that make the agents wait, a few they may miss, service, demands and a capacity.
    TimeWindowConstraint windows;
    for (size_t i = 1; i < kNodes; ++i) {
        p.node_list[i].service = i % 4 == 0 ? real(0, 20) : 0.0;
        p.node_list[i].demand = std::round(real(0, 3));
        if (i % 3 != 0) continue;
        const double open = real(0, 8e5);
        windows.set_timewindow(i, open, open + (i % 9 == 0 ? real(2e5, 6e5) : 1e9));
    }
    p.set_timewindow_constraint(windows);
    for (Agent& agent : p.ordered_agents) agent.capacity_limit = 2000;
    p.solve_options.enforce_capacity = true;
    Solver solver(p, p.solve_options);
    const RouteEvaluator evaluator = solver.route_evaluator();
    const StageModel model(evaluator, ObjectiveType::MinSum);
    ASSERT_TRUE(model.very_large());
    const size_t m = model.agent_count();

    StageSolution s(model);
    std::vector<int64_t> order = model.targets();
    std::shuffle(order.begin(), order.end(), rng);
    for (int64_t v : order) {
        const size_t r = pick(0, m - 1);
        if (!model.serves(r, v)) continue;
        const size_t pos = pick(1, s.route(r).size() - 1);
        s.insert(r, pos, v);
        if (!s.routes_valid()) s.remove(r, pos);
    }
    size_t waits = 0, reverted = 0;
    ASSERT_NO_FATAL_FAILURE(expect_timed_whole(model, s, rng, waits));
    ASSERT_GT(s.route(0).target_count(), 500u);

    const Penalties penalties{2.0, 3.0, 5.0};
    std::vector<size_t> all(m);
    for (size_t r = 0; r < m; ++r) all[r] = r;
    for (int step = 0; step < 400; ++step) {
        if (step % 100 == 50) s.set_penalties(&penalties);
        if (step % 100 == 80) s.set_penalties(nullptr);
        const StageSolution before = s;
        StageSolution copy = s;
        copy.forget_changes();
        const bool by_copy = pick(0, 4) == 0;
        StageSolution& t = by_copy ? copy : s;
        const size_t a = pick(0, m - 1), b = pick(0, m - 1);
        const StageRoute& A = t.route(a);
        const size_t last = A.size() - 2;
        Route nodes = A.nodes;
        switch (pick(0, 5)) {
            case 0:  // an unserved target in, anywhere
                for (int64_t v : order) {
                    if (t.route_of(v) >= 0 || !model.serves(a, v)) continue;
                    t.insert(a, pick(1, A.size() - 1), v);
                    break;
                }
                break;
            case 1:  // one target out
                if (last >= 1) t.remove(a, pick(1, last));
                break;
            case 2: {  // a target and targets near it out, wherever they are
                const int64_t seed = order[pick(0, order.size() - 1)];
                std::vector<int64_t> out{seed};
                for (int64_t v : model.neighbours(seed))
                    if (out.size() < pick(1, 14)) out.push_back(v);
                t.remove_nodes(out);
                break;
            }
            case 3:  // a run reversed, or a string moved along the route
                if (last >= 2) {
                    const size_t i = pick(1, last), j = pick(i, std::min(last, i + (pick(0, 1) ? 8 : last)));
                    if (pick(0, 1)) {
                        std::reverse(nodes.begin() + i, nodes.begin() + j + 1);
                    } else {
                        const size_t to = pick(1, last + 2 - (j - i + 1) - 1);
                        Route string(nodes.begin() + i, nodes.begin() + j + 1);
                        nodes.erase(nodes.begin() + i, nodes.begin() + j + 1);
                        nodes.insert(nodes.begin() + to, string.begin(), string.end());
                    }
                    t.set_route(a, nodes);
                }
                break;
            default: {  // tails exchanged, or a string carried to another route
                if (a == b || last < 1) break;
                Route other = t.route(b).nodes;
                const size_t i = pick(1, last), j = pick(i, std::min(last, i + 6)), at = pick(1, other.size() - 1);
                if (pick(0, 1)) {
                    Route a_tail(nodes.begin() + i, nodes.end() - 1), b_tail(other.begin() + at, other.end() - 1);
                    nodes.erase(nodes.begin() + i, nodes.end() - 1);
                    nodes.insert(nodes.end() - 1, b_tail.begin(), b_tail.end());
                    other.erase(other.begin() + at, other.end() - 1);
                    other.insert(other.end() - 1, a_tail.begin(), a_tail.end());
                } else {
                    other.insert(other.begin() + at, nodes.begin() + i, nodes.begin() + j + 1);
                    nodes.erase(nodes.begin() + i, nodes.begin() + j + 1);
                }
                t.set_routes(a, nodes, b, other);
                break;
            }
        }
        if (by_copy) s.copy_routes(copy, copy.changed());
        ASSERT_NO_FATAL_FAILURE(expect_timed_whole(model, s, rng, waits)) << "step " << step;
        if (!s.feasible()) {
            // A change that breaks a rule (a missed window, the capacity, a
            // type that may not serve a target) goes back.
            ++reverted;
            s.copy_routes(before, all);
            ASSERT_TRUE(s.feasible());
            ASSERT_NO_FATAL_FAILURE(expect_timed_whole(model, s, rng, waits)) << "step " << step;
        }
    }
    EXPECT_GT(reverted, 10u);
    EXPECT_GT(waits, 1000u);
}

}  // namespace
}  // namespace dulmar
