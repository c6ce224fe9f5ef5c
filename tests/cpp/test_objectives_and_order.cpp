#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plugins/constraint_checkers.h"
#include "plugins/default_expansion.h"
#include "plugins/default_focal_comparator.h"
#include "plugins/default_heuristic.h"
#include "plugins/objectives.h"

namespace dulmar {
namespace {

SearchState costs_state(std::vector<double> costs, std::vector<char> done) {
    SearchState s;
    s.agent_cost = std::move(costs);
    s.agent_done = std::move(done);
    s.agent_node.assign(s.agent_cost.size(), 0);
    return s;
}

TEST(PluginNames, AreTheFixedTexts) {
    EXPECT_EQ(DefaultConstraintChecker().name(), "DefaultConstraintChecker");
    EXPECT_EQ(TimeLimitConstraintChecker().name(), "TimeLimitConstraintChecker");
    EXPECT_EQ(TimeWindowConstraintChecker().name(), "TimeConstraintChecker");
    EXPECT_EQ(CompositeConstraintChecker().name(), "CompositeConstraintChecker");
    EXPECT_EQ(DefaultHeuristic().name(), "DefaultHeuristic");
    EXPECT_EQ(DefaultObjective().name(), "DefaultObjective");
    EXPECT_EQ(MinSumObjective().name(), "MinSumObjective");
    EXPECT_EQ(DefaultExpansion().name(), "DefaultExpansion");
    EXPECT_EQ(DefaultFocalComparator().name(), "DefaultFocalComparator");
}

TEST(Objectives, MinMaxTakesTheLargerOfCostAndSpreadRemainder) {
    DefaultObjective objective;
    objective.initialize({0, 0});
    EXPECT_EQ(objective.evaluate_costs({}), 0.0);
    EXPECT_EQ(objective.evaluate_costs({-3, -5}), -3.0);  // the largest element, not clamped at 0
    EXPECT_EQ(objective.evaluate_costs({3, 9, 5}), 9.0);

    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {0, 0}), 2, 4), 6.0);
    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {0, 1}), 1, 4), 7.0);
    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {0, 0}), 2, 0), 5.0);
    // No active agent: the objective value alone, whatever h says.
    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {1, 1}), 0, 100), 5.0);
}

TEST(Objectives, MinSumAddsTheBoundToTheSum) {
    MinSumObjective objective;
    objective.initialize({});
    EXPECT_EQ(objective.evaluate_costs({}), 0.0);
    EXPECT_DOUBLE_EQ(objective.evaluate_costs({3, 5}), 8.0);
    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {0, 0}), 2, 4), 12.0);
    EXPECT_DOUBLE_EQ(objective.evaluate_state(costs_state({3, 5}, {1, 0}), 1, 4), 12.0);
}

TEST(Objectives, PriorityUsesAnOverriddenObjectiveValue) {
    struct Doubled : DefaultObjective {
        double evaluate_costs(const std::vector<double>& costs) const override {
            return 2 * DefaultObjective::evaluate_costs(costs);
        }
    };
    struct Tripled : MinSumObjective {
        double evaluate_costs(const std::vector<double>& costs) const override {
            return 3 * MinSumObjective::evaluate_costs(costs);
        }
    };
    EXPECT_DOUBLE_EQ(Doubled().evaluate_state(costs_state({3, 5}, {0, 0}), 2, 4), 10.0);
    EXPECT_DOUBLE_EQ(Tripled().evaluate_state(costs_state({3, 5}, {0, 0}), 2, 4), 28.0);
}

TEST(AgentSelection, PicksTheCheapestUnfinishedAgentLowestIndexFirst) {
    DefaultExpansion expansion;
    EXPECT_EQ(expansion.agent_count(), 0u);
    EXPECT_EQ(expansion.select_agent(costs_state({1, 2}, {0, 0})), -1);  // not initialised

    expansion.initialize({7, 8, 9});
    EXPECT_EQ(expansion.agent_count(), 3u);
    EXPECT_EQ(expansion.select_agent(costs_state({4, 2, 2}, {0, 0, 0})), 1);
    EXPECT_EQ(expansion.select_agent(costs_state({4, 2, 2}, {0, 1, 0})), 2);
    EXPECT_EQ(expansion.select_agent(costs_state({4, 2, 2}, {1, 1, 1})), -1);

    const double largest = std::numeric_limits<double>::max();
    EXPECT_EQ(expansion.select_agent(costs_state({largest, largest, 1e308}, {0, 0, 0})), 2);
    EXPECT_EQ(expansion.select_agent(costs_state({largest, INFINITY, largest}, {0, 0, 0})), -1);
}

FocalEntry entry(int64_t visited, double f, double length) {
    FocalEntry e;
    e.visited_count = visited;
    e.f_value = f;
    e.total_length = length;
    return e;
}

TEST(FocalOrder, MoreVisitedThenLowerPriorityThenShorter) {
    const DefaultFocalComparator order;
    EXPECT_TRUE(order.before(entry(5, 99, 99), entry(4, 1, 1)));
    EXPECT_FALSE(order.before(entry(4, 1, 1), entry(5, 99, 99)));
    EXPECT_TRUE(order.before(entry(4, 1, 99), entry(4, 2, 0)));
    EXPECT_FALSE(order.before(entry(4, 2, 0), entry(4, 1, 99)));
    EXPECT_TRUE(order.before(entry(4, 2, 0), entry(4, 2, 0.5)));
    EXPECT_FALSE(order.before(entry(4, 2, 0.5), entry(4, 2, 0)));

    // Equal in all three keys: one key of the set.
    EXPECT_FALSE(order.before(entry(4, 2, 3), entry(4, 2, 3)));

    // A NaN f-value orders neither way, even against different lengths.
    const double nan = std::nan("");
    EXPECT_FALSE(order.before(entry(4, nan, 0), entry(4, 2, 5)));
    EXPECT_FALSE(order.before(entry(4, 2, 5), entry(4, nan, 0)));
    EXPECT_FALSE(order.before(entry(4, nan, 0), entry(4, nan, 5)));
    // visited_count still decides before f is looked at.
    EXPECT_TRUE(order.before(entry(5, nan, 0), entry(4, 2, 0)));
}

}  // namespace
}  // namespace dulmar
