#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/problem.h"
#include "rules/instance_builder.h"
#include "rules/prepared_instance.h"
#include "search/solver.h"
#include "solver_fixtures.h"

namespace dulmar {
namespace {

// Random instances of two types: some matrix rows cut short (entries no
// matrix gives), windows, service, demands, capacities, depots shared or not.
struct RandomCase {
    Problem problem;
    Options options;
};

RandomCase random_case(std::mt19937& rng) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    RandomCase c;
    const int n = pick(3, 9), depots = pick(1, 2), m = pick(1, 4);
    AssignmentConstraint assignment;
    TimeWindowConstraint windows;
    for (int i = 0; i < n; ++i) {
        Node node;
        node.id = static_cast<size_t>(10 + i);
        node.position = Position{real(0, 50), real(0, 50), 0};
        node.service = chance(0.4) ? real(0, 5) : 0.0;
        node.demand = chance(0.5) ? real(0, 4) : 0.0;
        c.problem.add_node(node);
        if (chance(0.7)) assignment.set_assignment(node.id, chance(0.5) ? std::vector<std::string>{"a"}
                                                                         : std::vector<std::string>{"a", "b"});
        if (chance(0.3)) {
            const double open = real(0, 40);
            windows.set_timewindow(node.id, open, open + real(0, 60));
        }
    }
    for (int k = 0; k < m; ++k) {
        Agent agent;
        agent.id = static_cast<size_t>(k);
        agent.type = chance(0.5) ? "a" : "b";
        agent.start_node = static_cast<size_t>(10 + pick(0, depots - 1));
        agent.end_node = chance(0.7) ? agent.start_node : static_cast<size_t>(10 + pick(0, depots - 1));
        agent.capacity_limit = chance(0.5) ? real(1, 8) : 0.0;
        agent.time_limit = chance(0.3) ? real(40, 200) : 0.0;
        c.problem.add_agent(agent, agent.id);
    }
    for (const std::string type : {"a", "b"}) {
        if (c.problem.type_index.count(type) == 0) continue;
        CostMatrix matrix(static_cast<size_t>(chance(0.2) ? n - 1 : n));
        for (auto& row : matrix)
            for (int j = 0; j < n; ++j) row.push_back(std::round(real(0, 30)));
        c.problem.set_cost_matrix(type, matrix);
    }
    c.problem.set_assignment_constraint(assignment);
    c.problem.set_timewindow_constraint(windows);
    c.options.return_to_end = chance(0.6);
    c.options.enforce_capacity = chance(0.5);
    c.options.time_limit = 5.0;
    return c;
}

// Each rule of the prepared instance, worked out again from the Problem alone.
TEST(PreparedInstance, EveryRuleFollowsTheProblemItWasBuiltFrom) {
    std::mt19937 rng(4242);
    testing::internal::CaptureStderr();
    int checked = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const RandomCase c = random_case(rng);
        const Problem& problem = c.problem;
        ProblemIds ids;
        std::shared_ptr<const PreparedInstance> instance;
        try {
            instance = prepare_instance(problem, c.options, ids);
        } catch (const std::invalid_argument&) {
            continue;  // a random instance that admits no plan at all
        }
        ++checked;
        const PreparedInstance& p = *instance;
        const size_t n = problem.node_list.size();
        ASSERT_EQ(p.node_count(), n);
        std::vector<size_t> starts, ends;
        for (const Agent& agent : problem.ordered_agents) {
            starts.push_back(agent.start_node - 10);
            ends.push_back(agent.end_node - 10);
        }
        for (size_t a = 0; a < problem.ordered_agents.size(); ++a) {
            const Agent& agent = problem.ordered_agents[a];
            const CostMatrix* matrix = problem.cost_matrices.count(agent.type) ? &problem.cost_matrices.at(agent.type)
                                                                                : nullptr;
            for (size_t u = 0; u < n; ++u) {
                for (size_t v = 0; v < n; ++v) {
                    const bool own = v == starts[a] || v == ends[a];
                    const bool given = matrix != nullptr && u < matrix->size() && u != v;
                    const double arc = given ? (*matrix)[u][v] : kMissingArcCost;
                    const double hop = u == v || (!c.options.return_to_end && own) ? 0.0 : arc;
                    ASSERT_EQ(p.hop(a, u, v), hop) << trial;
                    ASSERT_EQ(p.arc_given(u, v, ids.type_index.at(agent.type)), given) << trial;
                }
                const Node& node = problem.node_list[u];
                const auto listed = problem.assignment_constraint.allowed_types.find(node.id);
                const bool type_ok = listed == problem.assignment_constraint.allowed_types.end() ||
                                     std::count(listed->second.begin(), listed->second.end(), agent.type) > 0;
                bool other_depot = false;
                for (size_t b = 0; b < starts.size(); ++b)
                    other_depot = other_depot || (u == starts[b] && u != starts[a]) || (u == ends[b] && u != ends[a]);
                ASSERT_EQ(p.may_visit(a, u), type_ok && !other_depot) << trial;

                const bool depot = std::count(starts.begin(), starts.end(), u) || std::count(ends.begin(), ends.end(), u);
                const auto w = problem.timewindow_constraint.windows.find(node.id);
                for (double t : {0.0, 10.0, 35.0, 120.0}) {
                    double by_rule = t;
                    const bool entered = p.visit(u, by_rule);
                    double expected = t;
                    bool open = true;
                    if (w != problem.timewindow_constraint.windows.end()) {
                        open = t <= w->second.second;
                        expected = std::max(t, w->second.first);
                    }
                    expected += depot ? 0.0 : node.service;
                    ASSERT_EQ(entered, open) << trial;
                    if (open) {
                        ASSERT_DOUBLE_EQ(by_rule, expected) << trial;
                    }
                    double by_segment = t;
                    ASSERT_EQ(p.visit_segment(u).pass(by_segment), open);
                    if (open) {
                        ASSERT_NEAR(by_segment, expected, 1e-9);
                    }
                }
                const double load = depot ? 0.0 : node.demand;
                const bool enforced = c.options.enforce_capacity && agent.capacity_limit > 0;
                ASSERT_EQ(p.within_capacity(a, load), !enforced || load <= agent.capacity_limit);
            }
            ASSERT_EQ(p.within_route_limit(a, 100.0), agent.time_limit <= 0 || 100.0 <= agent.time_limit);
        }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GT(checked, 100);
}

// The rules built from a Problem and those rebuilt from the Solver's own graph
// (the road of a caller that brings its graph) make the search find the same.
TEST(PreparedInstance, ProblemAndGraphRoadsSearchAlike) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const Problem problem = testing_support::euclidean_problem(testing_support::random_points(7, seed), 2);
        Options options = testing_support::options_with(seed % 2 ? ObjectiveType::MinMax : ObjectiveType::MinSum,
                                                         5.0, false);
        testing::internal::CaptureStdout();
        Solver direct(problem, options);
        ASSERT_EQ(direct.search(), 1);
        Solver rebuilt(problem, options);
        ASSERT_EQ(rebuilt.configure(rebuilt.owned_graph.get(), rebuilt.nodes, rebuilt.agents, rebuilt.start_nodes,
                                    rebuilt.end_nodes, 5.0, ""),
                  1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(direct.get_result().paths, rebuilt.get_result().paths) << seed;
        EXPECT_EQ(direct.get_result().times, rebuilt.get_result().times) << seed;
        EXPECT_EQ(direct.get_result().n_generated, rebuilt.get_result().n_generated) << seed;
    }
}

}  // namespace
}  // namespace dulmar
