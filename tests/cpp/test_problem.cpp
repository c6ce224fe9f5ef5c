#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/problem.h"

namespace dulmar {
namespace {

Agent MakeAgent(size_t id, const std::string& type) {
    Agent agent;
    agent.id = id;
    agent.type = type;
    return agent;
}

TEST(ProblemModel, Defaults) {
    const Options options;
    EXPECT_TRUE(options.return_to_end);
    EXPECT_EQ(options.objective, ObjectiveType::MinSum);
    EXPECT_DOUBLE_EQ(options.time_limit, 60.0);
    EXPECT_EQ(Node().type, NodeType::TARGET);

    Problem problem;
    EXPECT_EQ(problem.num_nodes, 0u);
    EXPECT_EQ(problem.num_agents, 0u);
    EXPECT_TRUE(problem.options().return_to_end);
    EXPECT_EQ(problem.options().objective, ObjectiveType::MinSum);
}

TEST(ProblemModel, AgentTypesNumberedInFirstSeenOrder) {
    Problem problem;
    problem.add_agent(MakeAgent(7, "a"), 7);
    problem.add_agent(MakeAgent(3, "b"), 3);
    problem.add_agent(MakeAgent(9, "a"), 9);
    EXPECT_EQ(problem.agent_types, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(problem.type_index, (std::unordered_map<std::string, size_t>{{"a", 0}, {"b", 1}}));
    EXPECT_EQ(problem.agent_type_of, (std::unordered_map<size_t, size_t>{{7, 0}, {3, 1}, {9, 0}}));
    EXPECT_EQ(problem.agent_index, (std::unordered_map<size_t, size_t>{{7, 0}, {3, 1}, {9, 2}}));
    EXPECT_EQ(problem.num_agents, 3u);
    ASSERT_EQ(problem.agents_ordered().size(), 3u);
    EXPECT_EQ(problem.agents_ordered()[1].id, 3u);
}

TEST(ProblemModel, AgentIsFiledUnderTheKeyArgument) {
    Problem problem;
    problem.add_agent(MakeAgent(2, "truck"), 5);
    ASSERT_EQ(problem.agents.count(5), 1u);
    EXPECT_EQ(problem.agents.count(2), 0u);
    EXPECT_EQ(problem.agents.at(5).id, 2u);
    EXPECT_EQ(problem.agent_index.at(5), 0u);
    EXPECT_EQ(problem.agent_type_of.at(5), 0u);
    EXPECT_EQ(problem.agent_type_of.count(2), 0u);
}

TEST(ProblemModel, RepeatedAgentIdKeepsLatestInMapsAndBothInOrder) {
    Problem problem;
    Agent first = MakeAgent(4, "a");
    first.capacity_limit = 1.0;
    Agent second = MakeAgent(4, "b");
    second.capacity_limit = 2.0;
    problem.add_agent(first, 4);
    problem.add_agent(second, 4);
    EXPECT_EQ(problem.num_agents, 1u);
    EXPECT_EQ(problem.agents.size(), 1u);
    EXPECT_EQ(problem.ordered_agents.size(), 2u);
    EXPECT_DOUBLE_EQ(problem.agents.at(4).capacity_limit, 2.0);
    EXPECT_EQ(problem.agents.at(4).type, "b");
    EXPECT_EQ(problem.agent_index.at(4), 1u);
    EXPECT_EQ(problem.agent_type_of.at(4), 1u);
    EXPECT_EQ(problem.agent_types, (std::vector<std::string>{"a", "b"}));
}

TEST(ProblemModel, NodesAreAppendedUnchecked) {
    Problem problem;
    Node node;
    node.id = 3;
    node.position.x = 1.5;
    problem.add_node(node);
    problem.add_node(node);
    EXPECT_EQ(problem.num_nodes, 2u);
    ASSERT_EQ(problem.nodes().size(), 2u);
    EXPECT_EQ(problem.nodes()[1].id, 3u);
    EXPECT_DOUBLE_EQ(problem.nodes()[1].position.x, 1.5);
    problem.nodes()[0].demand = 4.0;  // nodes() is the stored list itself
    EXPECT_DOUBLE_EQ(problem.node_list[0].demand, 4.0);
}

TEST(ProblemModel, ConstraintsAndMatricesReplaceEarlierValues) {
    AssignmentConstraint assignment;
    assignment.set_assignment(4, {"a"});
    assignment.set_assignment(4, {});
    ASSERT_EQ(assignment.allowed_types.count(4), 1u);  // an empty entry differs from no entry
    EXPECT_TRUE(assignment.allowed_types.at(4).empty());

    TimeWindowConstraint windows;
    windows.set_timewindow(2, 0.0, 10.0);
    windows.set_timewindow(2, 8.0, 3.0);  // start after end is kept as given
    EXPECT_EQ(windows.windows.at(2), (std::pair<double, double>{8.0, 3.0}));

    Problem problem;
    problem.set_assignment_constraint(assignment);
    problem.set_timewindow_constraint(windows);
    assignment.set_assignment(5, {"b"});
    EXPECT_EQ(problem.assignment_constraint.allowed_types.size(), 1u);  // a copy was stored

    problem.set_cost_matrix("a", {{0.0, 1.0}, {1.0, 0.0}});
    problem.set_cost_matrix("a", {{0.0}});
    EXPECT_EQ(problem.cost_matrices.at("a"), (CostMatrix{{0.0}}));
}

TEST(ProblemModel, AMatrixOrAMetricPerTypeWhicheverCameLast) {
    Problem problem;
    problem.set_cost_matrix("a", {{0.0}});
    problem.set_cost_metric("a", "euclidean", 2.0, "nint");
    EXPECT_EQ(problem.cost_matrices.count("a"), 0u);
    ASSERT_EQ(problem.cost_metrics.count("a"), 1u);
    EXPECT_DOUBLE_EQ(problem.cost_metrics.at("a").factor, 2.0);
    EXPECT_TRUE(problem.cost_metrics.at("a").round_nint);
    problem.set_cost_metric("b", "euclidean");
    EXPECT_DOUBLE_EQ(problem.cost_metrics.at("b").factor, 1.0);
    EXPECT_FALSE(problem.cost_metrics.at("b").round_nint);
    problem.set_cost_matrix("a", {{1.0}});
    EXPECT_EQ(problem.cost_metrics.count("a"), 0u);
    EXPECT_EQ(problem.cost_matrices.at("a"), (CostMatrix{{1.0}}));

    // A refused metric leaves the type as it was.
    const std::pair<double, const char*> bad_factors[] = {{-1.0, "-1"},
                                                          {std::nan(""), "NaN"},
                                                          {HUGE_VAL, "inf"}};
    for (const auto& [factor, text] : bad_factors) {
        try {
            problem.set_cost_metric("a", "euclidean", factor);
            ADD_FAILURE() << "factor " << text << " was taken";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(std::string(R"(agent type "a": "factor" )") + text),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_THROW(problem.set_cost_metric("a", "geodesic"), std::invalid_argument);
    EXPECT_THROW(problem.set_cost_metric("a", "euclidean", 1.0, "ceil"), std::invalid_argument);
    EXPECT_EQ(problem.cost_matrices.at("a"), (CostMatrix{{1.0}}));
    EXPECT_EQ(problem.cost_metrics.count("a"), 0u);
}

TEST(ProblemModel, CopiesAreDeep) {
    Problem source;
    source.add_node(Node());
    source.add_agent(MakeAgent(1, "a"), 1);
    source.set_cost_matrix("a", {{0.0}});
    Problem copy = source;
    copy.options().time_limit = 5.0;
    copy.nodes()[0].demand = 9.0;
    copy.cost_matrices["a"][0][0] = 3.0;
    copy.add_agent(MakeAgent(2, "b"), 2);
    EXPECT_DOUBLE_EQ(source.options().time_limit, 60.0);
    EXPECT_DOUBLE_EQ(source.nodes()[0].demand, 0.0);
    EXPECT_DOUBLE_EQ(source.cost_matrices.at("a")[0][0], 0.0);
    EXPECT_EQ(source.num_agents, 1u);
    EXPECT_EQ(source.agent_types.size(), 1u);
}

}  // namespace
}  // namespace dulmar
