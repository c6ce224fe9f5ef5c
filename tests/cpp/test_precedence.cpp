#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "driver/solve_driver.h"
#include "improve/route_plan.h"
#include "improve/stage_model.h"
#include "improve/stage_solution.h"
#include "rules/plan_evaluator.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

using testing_support::euclidean_problem;
using testing_support::options_with;
using testing_support::random_points;

// Depot 0 at x = 0, targets 1, 2, 3 at x = 10, 20, 30 on a line; two agents.
Problem line_problem() { return euclidean_problem({{0, 0}, {10, 0}, {20, 0}, {30, 0}}, 2); }

Options enforced(double seconds = 1.0) {
    Options options = options_with(ObjectiveType::MinSum, seconds);
    options.enforce_precedence = true;
    return options;
}

// Times the plan with the plans' evaluator of a solver built for `problem`.
struct Judge {
    explicit Judge(const Problem& problem) : solver(problem, enforced()), routes(solver.route_evaluator()), plans(routes) {}
    bool operator()(const std::vector<Route>& plan, std::vector<double>& costs) const {
        std::vector<const Route*> view;
        for (const Route& r : plan) view.push_back(&r);
        return plans.evaluate(view, costs);
    }
    Solver solver;
    RouteEvaluator routes;
    PlanEvaluator plans;
};

TEST(Precedence, AnAfterNodeWaitsForItsBeforeNodeOnAnotherRoute) {
    Problem problem = line_problem();
    problem.add_precedence(2, 1);
    const Judge judge(problem);
    std::vector<double> costs;
    // Agent 0 ends service at 2 at time 20; agent 1 reaches 1 at 10 and waits
    // until 20, so it is back at 30.
    ASSERT_TRUE(judge({{0, 2, 0}, {0, 1, 0}}, costs));
    EXPECT_EQ(costs, (std::vector<double>{40.0, 30.0}));
    const Route a{0, 2, 0}, b{0, 1, 0};
    const auto stops = judge.plans.schedule({&a, &b});
    EXPECT_EQ(stops[1][1].arrival, 10.0);
    EXPECT_EQ(stops[1][1].wait, 10.0);
    EXPECT_EQ(stops[1][1].start, 20.0);
    // On one route the before node must come first.
    EXPECT_TRUE(judge({{0, 2, 1, 0}, {0, 3, 0}}, costs));
    EXPECT_FALSE(judge({{0, 1, 2, 0}, {0, 3, 0}}, costs));
}

TEST(Precedence, RoutesThatWaitForEachOtherAreADeadlock) {
    Problem problem = line_problem();
    problem.add_precedence(3, 1);
    problem.add_precedence(2, 3);
    const Judge judge(problem);
    std::vector<double> costs;
    // Agent 0 waits at 1 for 3, which waits for 2, which comes after 1.
    EXPECT_FALSE(judge({{0, 1, 2, 0}, {0, 3, 0}}, costs));
    // 2 ends at 20; 3 is reached at 30 (no wait); 1 is reached at 30 and
    // waits for nothing more: 3 ended at 30.
    ASSERT_TRUE(judge({{0, 2, 1, 0}, {0, 3, 0}}, costs));
    EXPECT_EQ(costs, (std::vector<double>{40.0, 60.0}));
}

TEST(Precedence, SameAndDiffPairsChooseTheRoutes) {
    for (const char* type : {"same", "diff"}) {
        Problem problem = line_problem();
        problem.add_precedence(3, 1, type);
        const Judge judge(problem);
        const bool same = std::string(type) == "same";
        std::vector<double> costs;
        EXPECT_EQ(judge({{0, 3, 1, 0}, {0, 2, 0}}, costs), same) << type;
        EXPECT_FALSE(judge({{0, 1, 3, 0}, {0, 2, 0}}, costs)) << type;
        EXPECT_EQ(judge({{0, 3, 2, 0}, {0, 1, 0}}, costs), !same) << type;
        // "diff" is timed: 1 is reached at 10 and waits until 3 ended at 30.
        if (!same) {
            EXPECT_EQ(costs, (std::vector<double>{60.0, 40.0}));
        }
    }
}

// The plan's costs by the rules written out: every route walked by the route
// evaluator with the service ends of the previous round as floors, again and
// again until nothing changes. -1 when the plan breaks a rule.
std::vector<double> fixpoint_costs(const RouteEvaluator& routes, const std::vector<Route>& plan) {
    const PrecedenceRule& rule = routes.instance().precedence();
    const size_t n = routes.node_count();
    std::vector<double> floor(n, -std::numeric_limits<double>::infinity());
    std::vector<int> route_of(n, -1), at(n, 0);
    for (size_t a = 0; a < plan.size(); ++a)
        for (size_t i = 1; i + 1 < plan[a].size(); ++i) route_of[plan[a][i]] = static_cast<int>(a), at[plan[a][i]] = static_cast<int>(i);
    for (const PrecedencePair& p : rule.pairs()) {
        if (route_of[p.before] < 0 || route_of[p.after] < 0) continue;
        const bool one = route_of[p.before] == route_of[p.after];
        if ((p.kind == PrecedenceType::Same && !one) || (p.kind == PrecedenceType::Diff && one)) return {-1};
        if (one && at[p.before] > at[p.after]) return {-1};
    }
    std::vector<double> costs(plan.size(), 0.0), end(n, 0.0);
    for (size_t round = 0; round <= rule.pairs().size() + 1; ++round) {
        for (size_t a = 0; a < plan.size(); ++a) {
            if (!routes.ends_ok(plan[a], a)) return {-1};
            double c = 0.0, load = 0.0;
            for (size_t i = 0; i < plan[a].size(); ++i) {
                const double f = i == 0 ? -std::numeric_limits<double>::infinity() : floor[plan[a][i]];
                if (!routes.advance(plan[a], a, i, f, c, load)) return {-1};
                end[plan[a][i]] = c;
            }
            costs[a] = plan[a].empty() ? 0.0 : c;
        }
        bool changed = false;
        for (size_t v = 0; v < n; ++v) {
            double f = -std::numeric_limits<double>::infinity();
            for (uint32_t k : rule.into(v)) {
                const PrecedencePair& p = rule.pair(k);
                if (p.timed() && route_of[p.before] >= 0 && route_of[v] >= 0) f = std::max(f, end[p.before]);
            }
            changed = changed || f != floor[v];
            floor[v] = f;
        }
        if (!changed) return costs;
    }
    return {-1};  // the floors keep growing: a deadlock
}

// Random instances with windows and pairs of every kind; the stage prices
// random moves on random plans (relocations, exchanges, reversals), and the
// price must agree with the rules walked out for the moved plan.
TEST(Precedence, StagePricingAgreesWithTheRulesOnRandomPlans) {
    std::mt19937 rng(5);
    size_t priced = 0, feasible = 0;
    for (unsigned seed = 0; seed < 12; ++seed) {
        const size_t n = 9 + seed % 4;
        Problem problem = euclidean_problem(random_points(n, seed), 3);
        TimeWindowConstraint windows;
        for (size_t v = 1; v < n; v += 3) windows.set_timewindow(v, 20.0 * static_cast<double>(v % 4), 400.0);
        problem.set_timewindow_constraint(windows);
        for (size_t v = 1; v + 2 < n; v += 2)
            problem.add_precedence(v, v + 1 + rng() % 2, v % 3 == 0 ? "same" : v % 3 == 1 ? "diff" : "");
        const Solver solver(problem, enforced());
        const RouteEvaluator routes = solver.route_evaluator();
        const StageModel model(routes, ObjectiveType::MinSum);
        for (int trial = 0; trial < 60; ++trial) {
            std::vector<Route> plan(3);
            for (size_t a = 0; a < 3; ++a) plan[a] = {0};
            for (size_t v = 1; v < n; ++v) plan[rng() % 3].push_back(static_cast<int64_t>(v));
            for (Route& r : plan) r.push_back(0);
            StageSolution s(model);
            for (size_t a = 0; a < 3; ++a) s.set_route(a, plan[a]);
            const size_t ra = rng() % 3, rb = (ra + 1 + rng() % 2) % 3;
            const StageRoute& A = s.route(ra);
            const StageRoute& B = s.route(rb);
            if (A.target_count() < 2 || B.target_count() < 1) continue;
            const size_t pu = 1 + rng() % A.target_count(), pv = 1 + rng() % B.target_count();
            RoutePlan a(A, pu - 1), b(B, pv - 1);
            const int kind = static_cast<int>(rng() % 3);
            if (kind == 0) {  // u moves before v
                a.then_rest(A, pu + 1);
                b.then(A, pu, pu).then_rest(B, pv);
            } else if (kind == 1) {  // u and v change places
                a.then(B, pv, pv).then_rest(A, pu + 1);
                b.then(A, pu, pu).then_rest(B, pv + 1);
            } else {  // A's targets from u on reversed; B unchanged
                a.then(A, pu, A.size() - 2, true);
                b.then_rest(B, pv);
            }
            std::vector<double> costs;
            const bool ok = time_plans(s, a, &b, costs);
            std::vector<Route> moved;
            for (size_t r = 0; r < 3; ++r) moved.push_back(s.route(r).nodes);
            build_plan(a, moved[ra]);
            build_plan(b, moved[rb]);
            const std::vector<double> expected = fixpoint_costs(routes, moved);
            ++priced;
            ASSERT_EQ(ok, expected.size() == 3) << "seed " << seed << " trial " << trial;
            if (!ok) continue;
            ++feasible;
            for (size_t r = 0; r < 3; ++r) EXPECT_EQ(costs[r], expected[r]) << "seed " << seed << " route " << r;
            // Applied, the move gives the solution exactly the priced costs.
            s.set_routes(ra, moved[ra], rb, moved[rb]);
            ASSERT_TRUE(s.routes_valid());
            for (size_t r = 0; r < 3; ++r) EXPECT_EQ(s.route(r).cost, costs[r]);
        }
    }
    EXPECT_GT(feasible, 20u);
    EXPECT_GT(priced - feasible, 20u);
}

// Search alone and with the improvement stage: what the solver reports is
// what the plan evaluator says of its routes, and the routes keep every pair.
TEST(Precedence, SolvesKeepThePairsAndReportThePlanEvaluatorsCosts) {
    for (bool improve : {false, true}) {
        for (unsigned seed = 0; seed < 3; ++seed) {
            const size_t n = 12;
            Problem problem = euclidean_problem(random_points(n, 40 + seed), 3);
            problem.add_precedence(1, 2);
            problem.add_precedence(3, 4, "diff");
            problem.add_precedence(5, 6, "same");
            problem.add_precedence(6, 7);
            Options options = enforced(0.3);
            options.improve = improve;
            options.objective = seed % 2 ? ObjectiveType::MinMax : ObjectiveType::MinSum;
            Solver solver(problem, options);
            ASSERT_EQ(run_solve(solver), 1) << "seed " << seed << " improve " << improve;
            const Result result = solver.get_result();
            std::vector<double> costs;
            const RouteEvaluator routes = solver.route_evaluator();
            ASSERT_TRUE(PlanEvaluator(routes).evaluate(result, 3, costs)) << "seed " << seed;
            std::vector<Route> plan;
            for (size_t a = 0; a < 3; ++a) {
                EXPECT_EQ(result.times.at(static_cast<int64_t>(a)), costs[a]);
                plan.push_back(result.paths.at(static_cast<int64_t>(a)));
            }
            EXPECT_EQ(fixpoint_costs(routes, plan), costs);
        }
    }
}

}  // namespace
}  // namespace dulmar
