// Service times and capacities across the search, the route evaluator and the
// improvement stage: one visit rule everywhere, worked examples, and random
// instances whose routes are re-checked from the problem alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/solve_driver.h"
#include "graph/sparse_graph.h"
#include "improve/route_plan.h"
#include "improve/stage_model.h"
#include "improve/stage_solution.h"
#include "plugins/constraint_checkers.h"
#include "rules/route_evaluator.h"
#include "rules/segment.h"
#include "rules/visit_rule.h"
#include "search/frontier.h"
#include "search/solver.h"
#include "search/state_pool.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::PointSpec;

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

RouteEvaluator evaluator_of(const Solver& solver) { return solver.route_evaluator(); }

// Runs a solve with the Solver's progress lines kept off the test output.
int quiet_solve(Solver& solver, bool improve_stage) {
    testing::internal::CaptureStdout();
    const int found = improve_stage ? run_solve(solver) : solver.search();
    testing::internal::GetCapturedStdout();
    return found;
}

TEST(VisitRule, SegmentsAndTheSearchsEntryTimeVisitsExactlyByTheRule) {
    std::mt19937_64 rng(17);
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    size_t late = 0, waited = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        const bool windowed = real(0, 1) < 0.7;
        TimeWindow w;
        w.start = real(0, 50);
        w.end = w.start + real(0, 40);
        const double service = real(0, 1) < 0.3 ? 0.0 : real(0, 20);
        const double t = real(0, 100);

        double by_rule = t;
        const bool ok = visit_node(windowed ? &w : nullptr, service, by_rule);
        late += !ok;
        waited += ok && windowed && t < w.start;

        const Segment segment = windowed ? Segment::node(w.start, w.end, service)
                                         : Segment::node(-Segment::kInf, Segment::kInf, service);
        double by_segment = t;
        ASSERT_EQ(segment.pass(by_segment), ok) << "trial " << trial;
        if (ok) {
            ASSERT_EQ(bits(by_segment), bits(by_rule)) << "trial " << trial;
        }

        // Without a graph the checker's verdict is its entry rule alone.
        std::vector<NodeRecord> nodes(2);
        nodes[1].service = service;
        TimeWindowConstraintChecker checker;
        checker.initialize(nullptr, nodes, std::vector<AgentRecord>(1));
        if (windowed) checker.set_time_windows({{1, w}});
        SearchState child;
        child.agent_node = {0};
        child.agent_cost = {t};
        child.agent_done = {0};
        const TransitionVerdict verdict = checker.check_transition(child, 0, 1);
        ASSERT_EQ(verdict.feasible, ok) << "trial " << trial;
        if (ok) {
            ASSERT_EQ(bits(verdict.has_arrival_time ? verdict.arrival_time : t), bits(by_rule));
        }
    }
    EXPECT_GT(late, 400u);
    EXPECT_GT(waited, 400u);
}

// Depot 0 at x = 0, targets 1 at x = 10 and 2 at x = 20, one agent. Node 1
// is open [15, 25] with 5 of service, node 2 has 7 of service; the depot's 3
// is ignored, since agents serve nothing at their depots.
Problem three_node_route(std::pair<double, double> window2, bool with_service) {
    Problem problem = euclidean_problem({{0, 0}, {10, 0}, {20, 0}}, 1);
    if (with_service) {
        problem.node_list[0].service = 3;
        problem.node_list[1].service = 5;
        problem.node_list[2].service = 7;
    }
    TimeWindowConstraint windows;
    windows.set_timewindow(1, 15, 25);
    windows.set_timewindow(2, window2.first, window2.second);
    problem.set_timewindow_constraint(windows);
    return problem;
}

TEST(ServiceTime, WorkedExamplesOfWaitingPlusServiceOnAThreeNodeRoute) {
    // 0 -> 1 arrives at 10, waits until 15, serves until 20; -> 2 arrives at
    // 30 and serves until 37; back at the depot at 57. With node 2 open only
    // from 35 the agent waits there too: serves 35 to 42, back at 62. The
    // other order reaches node 1 at 37, after its window has closed.
    const std::vector<std::pair<std::pair<double, double>, double>> cases = {{{0, 100}, 57.0}, {{35, 100}, 62.0}};
    for (const auto& [window2, expected] : cases) {
        const Problem problem = three_node_route(window2, true);
        for (bool improve_stage : {false, true}) {
            Options options = options_with(ObjectiveType::MinSum, 2.0);
            options.improve = improve_stage;
            options.improve_iterations = 50;
            Solver solver(problem, options);
            ASSERT_EQ(quiet_solve(solver, improve_stage), 1);
            EXPECT_EQ(solver.nodes[0].service, 0.0);
            const Result result = solver.get_result();
            EXPECT_EQ(result.paths.at(0), (Route{0, 1, 2, 0}));
            EXPECT_DOUBLE_EQ(result.times.at(0), expected);
            // The search's own arithmetic, before any post-optimiser touched it.
            EXPECT_DOUBLE_EQ(solver.get_result_process().front().second.times.at(0), expected);

            const RouteEvaluator ev = evaluator_of(solver);
            EXPECT_DOUBLE_EQ(ev.evaluate({0, 1, 2, 0}, 0).cost, expected);
            EXPECT_FALSE(ev.evaluate({0, 2, 1, 0}, 0).valid);

            const StageModel model(ev, ObjectiveType::MinSum);
            StageSolution stage(model);
            stage.set_route(0, {0, 2, 0});
            double timed = 0.0;
            RoutePlan plan(stage.route(0), 0);
            plan.then_node(1).then_rest(stage.route(0), 1);
            ASSERT_TRUE(time_plan(model, plan, timed));
            EXPECT_DOUBLE_EQ(timed, expected);
            const Segment joined = join(Segment::node(15, 25, 5), 10, Segment::node(window2.first, window2.second, 7));
            double t = 10;
            ASSERT_TRUE(joined.pass(t));
            EXPECT_DOUBLE_EQ(t + 20, expected);
        }
    }
}

TEST(ServiceTime, ARouteFeasibleWithoutServiceIsInfeasibleWithIt) {
    // Node 2 closes at 28. Without service the agent leaves node 1 at 15 and
    // reaches node 2 at 25; with node 1's 5 of service it arrives at 30.
    for (bool with_service : {false, true}) {
        const Problem problem = three_node_route({0, 28}, with_service);
        for (bool improve_stage : {false, true}) {
            Options options = options_with(ObjectiveType::MinSum, 1.0);
            options.improve = improve_stage;
            options.improve_iterations = 20;
            Solver solver(problem, options);
            EXPECT_EQ(quiet_solve(solver, improve_stage), with_service ? 0 : 1);
            const RouteEvaluation e = evaluator_of(solver).evaluate({0, 1, 2, 0}, 0);
            EXPECT_EQ(e.valid, !with_service);
            if (!with_service) {
                EXPECT_DOUBLE_EQ(solver.get_result().times.at(0), 45.0);
            }
        }
    }
}

// A random instance: depot 0 and `targets` targets on a 100 x 100 square,
// `agents` agents of one type, some windows, service times, whole demands and
// capacities (some agents without one).
struct RandomInstance {
    Problem problem;
    std::vector<double> capacity;  // by agent index
};

RandomInstance random_instance(std::mt19937_64& rng, size_t targets, size_t agents, bool capacities) {
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    std::vector<PointSpec> points{{50, 50}};
    for (size_t i = 0; i < targets; ++i) points.push_back({real(0, 100), real(0, 100)});
    RandomInstance inst{euclidean_problem(points, agents), {}};
    Problem& p = inst.problem;
    TimeWindowConstraint windows;
    for (size_t v = 1; v < points.size(); ++v) {
        p.node_list[v].service = real(0, 1) < 0.7 ? std::round(real(0, 15)) : 0.0;
        p.node_list[v].demand = std::round(real(1, 6));
        if (real(0, 1) < 0.4) {
            const double open = real(0, 150);
            windows.set_timewindow(v, open, open + real(80, 300));
        }
    }
    p.set_timewindow_constraint(windows);
    for (Agent& agent : p.ordered_agents) {
        agent.capacity_limit = capacities && real(0, 1) < 0.85 ? std::round(real(6, 14)) : 0.0;
        inst.capacity.push_back(agent.capacity_limit);
    }
    return inst;
}

struct Recheck {
    bool overloaded = false;  // some route carries more than its capacity
    double sum = 0.0;
};

// Walks every route from the problem's own data (nothing the solver built):
// each target once, windows bound the start of service, service at targets
// only, each route's cost the time at its end. Loads are summed per route.
Recheck recheck(const RandomInstance& inst, const Result& result) {
    const Problem& p = inst.problem;
    const auto& matrix = p.cost_matrices.at("a");
    Recheck out;
    std::vector<int> seen(p.node_list.size(), 0);
    for (size_t k = 0; k < p.ordered_agents.size(); ++k) {
        const auto& path = result.paths.at(static_cast<int64_t>(k));
        EXPECT_TRUE(path.size() >= 2 && path.front() == 0 && path.back() == 0);
        double t = 0.0, load = 0.0;
        for (size_t i = 1; i < path.size(); ++i) {
            const size_t u = static_cast<size_t>(path[i - 1]), v = static_cast<size_t>(path[i]);
            t += matrix[u][v];
            const auto w = p.timewindow_constraint.windows.find(p.node_list[v].id);
            if (w != p.timewindow_constraint.windows.end()) {
                EXPECT_LE(t, w->second.second) << "agent " << k << " late at node " << v;
                t = std::max(t, w->second.first);
            }
            if (i + 1 < path.size()) {
                t += p.node_list[v].service;
                load += p.node_list[v].demand;
                seen[v] += 1;
            }
        }
        EXPECT_NEAR(result.times.at(static_cast<int64_t>(k)), t, 1e-9 * (1 + t)) << "agent " << k;
        out.overloaded = out.overloaded || (inst.capacity[k] > 0 && load > inst.capacity[k]);
        out.sum += t;
    }
    for (size_t v = 1; v < seen.size(); ++v) EXPECT_EQ(seen[v], 1) << "node " << v;
    return out;
}

TEST(Capacity, NoRouteOverCapacityOnRandomInstances) {
    std::mt19937_64 rng(23);
    size_t solved = 0, binding = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const RandomInstance inst = random_instance(rng, 7, 3, true);
        for (bool improve_stage : {false, true}) {
            Options options = options_with(trial % 2 ? ObjectiveType::MinMax : ObjectiveType::MinSum, 0.5);
            options.enforce_capacity = true;
            options.improve = improve_stage;
            options.improve_iterations = 150;
            options.seed = trial;
            Solver solver(inst.problem, options);
            if (quiet_solve(solver, improve_stage) == 0) continue;
            ++solved;
            EXPECT_FALSE(recheck(inst, solver.get_result()).overloaded) << "trial " << trial;
            for (const auto& [time, snapshot] : solver.get_result_process())
                EXPECT_FALSE(recheck(inst, snapshot).overloaded) << "trial " << trial << " at " << time;
        }
        // The same instance without the rule: capacities must have mattered somewhere.
        Solver relaxed(inst.problem, options_with(ObjectiveType::MinSum, 0.5));
        if (quiet_solve(relaxed, false) == 1) binding += recheck(inst, relaxed.get_result()).overloaded;
    }
    EXPECT_GT(solved, 18u);
    EXPECT_GT(binding, 2u);
}

TEST(ServiceTime, SearchAndEvaluatorTimeRoutesAlikeOnRandomInstances) {
    // Every solution as the search found it (before post-optimisation) must be
    // judged valid by the evaluator at the same cost, bit for bit.
    std::mt19937_64 rng(29);
    size_t compared = 0;
    for (int trial = 0; trial < 10; ++trial) {
        const RandomInstance inst = random_instance(rng, 6, 2, trial % 2 == 0);
        Options options = options_with(ObjectiveType::MinMax, 0.5, trial % 3 != 0);
        options.enforce_capacity = trial % 2 == 0;
        Solver solver(inst.problem, options);
        if (quiet_solve(solver, false) == 0) continue;
        const RouteEvaluator ev = evaluator_of(solver);
        const auto process = solver.get_result_process();
        for (size_t i = 0; i < process.size(); i += 2) {
            for (const auto& [agent, path] : process[i].second.paths) {
                const RouteEvaluation e = ev.evaluate(path, static_cast<size_t>(agent));
                ASSERT_TRUE(e.valid) << "trial " << trial;
                EXPECT_EQ(bits(e.cost), bits(process[i].second.times.at(agent))) << "trial " << trial;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 15u);
}

TEST(Capacity, EvaluatorCountsDemandsOnlyWhenEnforcedAndLimited) {
    // Targets 1, 2, 3 ask for 4, 5 and 3; agent 0 carries 12, agent 1 has no limit.
    const SparseGraph g = [] {
        std::vector<size_t> from, to;
        std::vector<CostVector> costs;
        for (size_t u = 0; u < 4; ++u)
            for (size_t v = 0; v < 4; ++v)
                if (u != v) from.push_back(u), to.push_back(v), costs.push_back({1.0});
        SparseGraph graph;
        graph.CreateFromArcs(from, to, costs);
        return graph;
    }();
    std::vector<NodeRecord> nodes(4);
    for (auto& node : nodes) node.allowed_types = {0};
    nodes[1].demand = 4, nodes[2].demand = 5, nodes[3].demand = 3;
    std::vector<AgentRecord> agents(2);
    agents[0].capacity_limit = 12;
    RouteEvaluator ev;
    ev.set_start_nodes({0, 0});
    ev.set_end_nodes({0, 0});
    ev.set_return_to_end(true);
    for (bool enforce : {false, true}) {
        ev.set_enforce_capacity(enforce);
        ev.prepare(&g, nodes, agents);
        EXPECT_TRUE(ev.evaluate({0, 1, 2, 3, 0}, 0).valid);  // exactly 12
        EXPECT_TRUE(ev.evaluate({0, 1, 2, 3, 0}, 1).valid);
        RouteScan scan;
        const Route full{0, 1, 2, 3, 0};
        ev.scan(full, 0, scan);
        EXPECT_EQ(scan.prefix_load.back(), enforce ? 12.0 : 0.0);
        nodes[3].demand = 3.5;
        ev.prepare(&g, nodes, agents);
        EXPECT_EQ(ev.evaluate(full, 0).valid, !enforce);
        EXPECT_TRUE(ev.evaluate(full, 1).valid);
        // A candidate judged in place resumes from the prefix loads of its base.
        const Route light{0, 1, 2, 0};
        ev.scan(light, 0, scan);
        EXPECT_EQ(ev.evaluate_inserted(scan, 3, 3).valid, !enforce);
        EXPECT_EQ(ev.evaluate_inserted(scan, 1, 3).valid, !enforce);
        nodes[3].demand = 3;
    }
}

TEST(Capacity, StatesCarryLoadsThatDominanceComparesLikeCosts) {
    SearchState lighter;
    lighter.agent_node = {1, 2};
    lighter.agent_cost = {5, 5};
    lighter.agent_done = {0, 0};
    lighter.extra_values = {3, 4};
    lighter.visited.set(1), lighter.visited.set(2);
    lighter.node_count = 4;
    SearchState heavier = lighter;
    heavier.extra_values = {3, 6};
    heavier.agent_cost = {4, 4};  // cheaper, yet more loaded
    EXPECT_FALSE(dominates(heavier, lighter));
    EXPECT_FALSE(dominates(lighter, heavier));
    heavier.extra_values = {3, 4};
    EXPECT_TRUE(dominates(heavier, lighter));
    SearchState unloaded = lighter;
    unloaded.extra_values.clear();
    EXPECT_THROW(dominates(unloaded, lighter), std::invalid_argument);

    heavier.extra_values = {3, 6};
    Frontier store;
    store.insert(heavier);
    EXPECT_FALSE(store.is_dominated(lighter));
    EXPECT_EQ(store.insert(lighter), 0);  // neither drops the other
    SearchState both_worse = lighter;
    both_worse.agent_cost = {6, 6};
    both_worse.extra_values = {3, 7};
    EXPECT_TRUE(store.is_dominated(both_worse));
    EXPECT_THROW(store.is_dominated(unloaded), std::invalid_argument);

    StatePool pool;
    pool.reset(2, 2);
    pool.resize(4);
    pool.store(3, heavier);
    SearchState back;
    pool.load(3, back);
    EXPECT_EQ(back.extra_values, (std::vector<double>{3, 6}));
    EXPECT_THROW(pool.store(1, unloaded), std::invalid_argument);
    StatePool plain;
    plain.reset(2);
    plain.resize(1);
    plain.store(0, heavier);  // a pool without loads keeps none
    plain.load(0, back);
    EXPECT_TRUE(back.extra_values.empty());
}

TEST(SolverSetup, NegativeServiceDemandOrCapacityIsRefusedByName) {
    const Problem base = euclidean_problem({{0, 0}, {1, 0}}, 1);
    auto message = [](const Problem& problem) {
        try {
            Solver solver(problem, Options{});
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    Problem p = base;
    p.node_list[1].id = 7;
    p.node_list[1].service = -2;
    AssignmentConstraint all;
    all.set_assignment(0, {"a"});
    all.set_assignment(7, {"a"});
    p.set_assignment_constraint(all);
    EXPECT_EQ(message(p), "node 7: service -2 is not a finite number >= 0");
    p.node_list[1].service = std::numeric_limits<double>::infinity();
    EXPECT_EQ(message(p), "node 7: service inf is not a finite number >= 0");
    p.node_list[1].service = 0;
    p.node_list[1].demand = -0.5;
    EXPECT_EQ(message(p), "node 7: demand -0.5 is not a finite number >= 0");
    p = base;
    p.ordered_agents[0].capacity_limit = -5;
    EXPECT_EQ(message(p), "agent 0: capacity -5 is not a number >= 0");
    p.ordered_agents[0].capacity_limit = std::nan("");
    EXPECT_EQ(message(p), "agent 0: capacity nan is not a number >= 0");
    p.ordered_agents[0].capacity_limit = std::numeric_limits<double>::infinity();
    EXPECT_EQ(message(p), "no error");
}

TEST(SolverSetup, ServiceAndCapacitiesInstallTheirCheckers) {
    auto names = [](const Solver& solver) {
        std::vector<std::string> out;
        if (auto* composite = dynamic_cast<CompositeConstraintChecker*>(solver.constraint_checker.get())) {
            for (const auto& child : composite->children()) out.push_back(child->name());
        } else {
            out.push_back(solver.constraint_checker->name());
        }
        return out;
    };
    Problem p = euclidean_problem({{0, 0}, {1, 0}, {2, 0}}, 2);
    p.node_list[0].service = 4;  // a depot's service alone changes nothing
    Options options;
    options.enforce_capacity = true;  // without any capacity, nothing to enforce
    Solver plain(p, options);
    EXPECT_EQ(names(plain), std::vector<std::string>{"DefaultConstraintChecker"});
    EXPECT_FALSE(plain.enforce_capacity);

    p.node_list[2].service = 1;
    p.ordered_agents[1].capacity_limit = 3;
    Solver both(p, options);
    EXPECT_EQ(names(both), (std::vector<std::string>{"DefaultConstraintChecker", "TimeConstraintChecker",
                                                     "CapacityConstraintChecker"}));
    EXPECT_TRUE(both.enforce_capacity);
    options.enforce_capacity = false;
    Solver service_only(p, options);
    EXPECT_EQ(names(service_only), (std::vector<std::string>{"DefaultConstraintChecker", "TimeConstraintChecker"}));
}

TEST(Defaults, ZeroServiceAndUnlimitedCapacitiesSearchExactlyAsWithout) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 4; ++trial) {
        RandomInstance inst = random_instance(rng, 7, 2, false);
        Problem plain = inst.problem;
        for (Node& node : plain.node_list) node.service = node.demand = 0;
        // A budget the search never reaches, so that both run to exhaustion.
        Options options = options_with(ObjectiveType::MinSum, 600.0);
        Solver before(plain, options);
        quiet_solve(before, false);
        ASSERT_FALSE(before.get_result().timeout);
        Problem explicit_defaults = plain;
        for (Node& node : explicit_defaults.node_list) node.demand = 3;  // weighed against no capacity
        options.enforce_capacity = true;
        Solver after(explicit_defaults, options);
        quiet_solve(after, false);
        EXPECT_EQ(before.get_result().paths, after.get_result().paths);
        EXPECT_EQ(before.get_result().times, after.get_result().times);
        EXPECT_EQ(before.get_result().n_generated, after.get_result().n_generated);
        EXPECT_EQ(before.get_result().n_expanded, after.get_result().n_expanded);
    }
}

}  // namespace
}  // namespace dulmar
