#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/json_reader.h"

namespace dulmar {
namespace {

using nlohmann::json;

Problem Read(const std::string& text) {
    Problem problem;
    read_problem_json(json::parse(text), problem);
    return problem;
}

// The text of the exception of type E that reading `text` into `problem` raises.
template <typename E>
std::string ErrorOf(const std::string& text, Problem& problem) {
    const json root = json::parse(text);
    try {
        read_problem_json(root, problem);
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& other) {
        return std::string("wrong exception type: ") + other.what();
    }
    return "no exception";
}

template <typename E = json::exception>
std::string ErrorOf(const std::string& text) {
    Problem problem;
    return ErrorOf<E>(text, problem);
}

// A document with one node and one agent around the given fragments.
std::string Doc(const std::string& node_extra, const std::string& agent_extra, const std::string& tail = "") {
    return R"({"nodes": [{"id": 0, "x": 1, "y": 2)" + node_extra + R"(}], "agents": [{"id": 0, "type": "t",
              "start_node": 0, "end_node": 0)" + agent_extra + "}]" + tail + "}";
}

std::string WithConstraints(const std::string& constraints) {
    return R"({"nodes": [], "agents": [], "constraints": )" + constraints + "}";
}

std::string WithOptions(const std::string& options) {
    return R"({"nodes": [], "agents": [], "options": )" + options + "}";
}

const std::string kTypeError302 = "[json.exception.type_error.302] ";

TEST(JsonReader, EmptyDocumentGivesEmptyProblemWithDefaults) {
    const Problem p = Read(R"({"nodes": [], "agents": [], "unknown": {"whatever": 1}})");
    EXPECT_TRUE(p.node_list.empty());
    EXPECT_TRUE(p.ordered_agents.empty());
    EXPECT_EQ(p.num_nodes, 0u);
    EXPECT_EQ(p.num_agents, 0u);
    EXPECT_TRUE(p.cost_matrices.empty());
    EXPECT_TRUE(p.solve_options.return_to_end);
    EXPECT_EQ(p.solve_options.objective, ObjectiveType::MinSum);
    EXPECT_DOUBLE_EQ(p.solve_options.time_limit, 60.0);
}

TEST(JsonReader, NodeFieldsDefaultsAndTypeWords) {
    const Problem p = Read(R"({"nodes": [
        {"id": 0, "x": 1.5, "y": -2},
        {"id": 1, "x": 0, "y": 0, "z": 3.25, "type": "depot", "demand": 4},
        {"id": 2, "x": 0, "y": 0, "type": "DePoT"},
        {"id": 3, "x": 0, "y": 0, "type": "DEPOT"},
        {"id": 4, "x": 0, "y": 0, "type": "TARGET"},
        {"id": 5, "x": 0, "y": 0, "type": "depots"},
        {"id": 6.9, "x": 0, "y": 0, "extra": [1, 2]},
        {"id": 6.9, "x": 0, "y": 0},
        {"id": 18446744073709551615, "x": 0, "y": 0}
    ], "agents": []})");
    ASSERT_EQ(p.num_nodes, 9u);
    const auto& n = p.node_list;
    EXPECT_EQ(n[0].id, 0u);
    EXPECT_DOUBLE_EQ(n[0].position.x, 1.5);
    EXPECT_DOUBLE_EQ(n[0].position.y, -2.0);
    EXPECT_DOUBLE_EQ(n[0].position.z, 0.0);
    EXPECT_EQ(n[0].type, NodeType::TARGET);
    EXPECT_DOUBLE_EQ(n[0].demand, 0.0);
    EXPECT_DOUBLE_EQ(n[1].position.z, 3.25);
    EXPECT_DOUBLE_EQ(n[1].demand, 4.0);
    EXPECT_EQ(n[1].type, NodeType::DEPOT);
    EXPECT_EQ(n[2].type, NodeType::DEPOT);
    EXPECT_EQ(n[3].type, NodeType::DEPOT);
    EXPECT_EQ(n[4].type, NodeType::TARGET);
    EXPECT_EQ(n[5].type, NodeType::TARGET);
    EXPECT_EQ(n[6].id, 6u);  // truncated; repeated ids give separate nodes
    EXPECT_EQ(n[7].id, 6u);
    EXPECT_EQ(n[8].id, std::numeric_limits<size_t>::max());
}

TEST(JsonReader, AgentFieldsAndIntegerConversions) {
    const Problem p = Read(R"({"nodes": [], "agents": [
        {"id": 4, "type": "truck", "start_node": 1, "end_node": 2.7},
        {"id": 9, "type": "drone", "start_node": 0.5, "end_node": 0, "capacity": 12.5, "max_length": -7.9},
        {"id": 2, "type": "truck", "start_node": 0, "end_node": 0, "capacity": true, "max_length": false},
        {"id": 3, "type": "truck", "start_node": 0, "end_node": 0,
         "capacity": 2147483647.9, "max_length": -2147483648}
    ]})");
    ASSERT_EQ(p.ordered_agents.size(), 4u);
    const Agent& a = p.agents.at(4);
    EXPECT_EQ(a.type, "truck");
    EXPECT_EQ(a.start_node, 1u);
    EXPECT_EQ(a.end_node, 2u);
    EXPECT_DOUBLE_EQ(a.capacity_limit, 0.0);
    EXPECT_DOUBLE_EQ(a.time_limit, 0.0);
    EXPECT_EQ(p.agents.at(9).start_node, 0u);
    EXPECT_DOUBLE_EQ(p.agents.at(9).capacity_limit, 12.0);
    EXPECT_DOUBLE_EQ(p.agents.at(9).time_limit, -7.0);
    EXPECT_DOUBLE_EQ(p.agents.at(2).capacity_limit, 1.0);
    EXPECT_DOUBLE_EQ(p.agents.at(2).time_limit, 0.0);
    EXPECT_DOUBLE_EQ(p.agents.at(3).capacity_limit, 2147483647.0);
    EXPECT_DOUBLE_EQ(p.agents.at(3).time_limit, -2147483648.0);
    // Filed under their own ids, types numbered by first appearance.
    EXPECT_EQ(p.agent_index.at(9), 1u);
    EXPECT_EQ(p.agent_types, (std::vector<std::string>{"truck", "drone"}));
    EXPECT_EQ(p.agent_type_of.at(3), 0u);
}

TEST(JsonReader, OptionsPresentAbsentAndObjectiveWords) {
    Problem kept;
    kept.solve_options = {false, ObjectiveType::MinMax, 5.0};
    read_problem_json(json::parse(R"({"nodes": [], "agents": []})"), kept);
    EXPECT_FALSE(kept.solve_options.return_to_end);
    EXPECT_EQ(kept.solve_options.objective, ObjectiveType::MinMax);
    EXPECT_DOUBLE_EQ(kept.solve_options.time_limit, 5.0);

    Problem reset;
    reset.solve_options = {false, ObjectiveType::MinMax, 5.0};
    read_problem_json(json::parse(WithOptions("{}")), reset);
    EXPECT_TRUE(reset.solve_options.return_to_end);
    EXPECT_EQ(reset.solve_options.objective, ObjectiveType::MinSum);
    EXPECT_DOUBLE_EQ(reset.solve_options.time_limit, 60.0);

    const Problem given = Read(WithOptions(R"({"return_to_end": false, "objective": "min_max", "time_limit": 3})"));
    EXPECT_FALSE(given.solve_options.return_to_end);
    EXPECT_EQ(given.solve_options.objective, ObjectiveType::MinMax);
    EXPECT_DOUBLE_EQ(given.solve_options.time_limit, 3.0);

    EXPECT_EQ(Read(WithOptions(R"({"objective": "MIN_MAX"})")).solve_options.objective, ObjectiveType::MinMax);
    for (const char* word : {"min_sum", "MIN_SUM", "MinMax", "Min_Max", "minmax", ""}) {
        EXPECT_EQ(Read(WithOptions(std::string(R"({"objective": ")") + word + "\"}")).solve_options.objective,
                  ObjectiveType::MinSum)
            << word;
    }
}

TEST(JsonReader, ServiceTimesAndTheCapacityRule) {
    const Problem p = Read(R"({"nodes": [
        {"id": 0, "x": 0, "y": 0},
        {"id": 1, "x": 0, "y": 0, "service": 12.5, "demand": 3},
        {"id": 2, "x": 0, "y": 0, "service": 7}
    ], "agents": [], "options": {"enforce_capacity": true}})");
    EXPECT_DOUBLE_EQ(p.node_list[0].service, 0.0);
    EXPECT_DOUBLE_EQ(p.node_list[1].service, 12.5);
    EXPECT_DOUBLE_EQ(p.node_list[2].service, 7.0);
    EXPECT_TRUE(p.solve_options.enforce_capacity);
    EXPECT_FALSE(Read(WithOptions("{}")).solve_options.enforce_capacity);
    EXPECT_FALSE(Read(WithOptions(R"({"enforce_capacity": false})")).solve_options.enforce_capacity);
    // Negative values are the Solver's to refuse; wrong types are the parser's.
    EXPECT_DOUBLE_EQ(Read(R"({"nodes": [{"id": 0, "x": 0, "y": 0, "service": -1}], "agents": []})")
                         .node_list[0].service, -1.0);
    EXPECT_THROW(Read(R"({"nodes": [{"id": 0, "x": 0, "y": 0, "service": "9"}], "agents": []})"), json::type_error);
    EXPECT_THROW(Read(WithOptions(R"({"enforce_capacity": 1})")), json::type_error);
}

TEST(JsonReader, CostMatricesFromObjectOrArray) {
    const Problem named = Read(R"({"nodes": [], "agents": [],
        "costs": {"b": [[0, 1], [2.5, 0]], "a": [[1], [2, 3, 4], []]}})");
    ASSERT_EQ(named.cost_matrices.size(), 2u);
    EXPECT_EQ(named.cost_matrices.at("b"), (CostMatrix{{0.0, 1.0}, {2.5, 0.0}}));
    EXPECT_EQ(named.cost_matrices.at("a"), (CostMatrix{{1.0}, {2.0, 3.0, 4.0}, {}}));  // shape unchecked

    const Problem positional = Read(R"({"nodes": [], "agents": [], "costs": [[[0, 1], [1, 0]], [[7]]]})");
    ASSERT_EQ(positional.cost_matrices.size(), 2u);
    EXPECT_EQ(positional.cost_matrices.at("0"), (CostMatrix{{0.0, 1.0}, {1.0, 0.0}}));
    EXPECT_EQ(positional.cost_matrices.at("1"), (CostMatrix{{7.0}}));

    // A bare matrix is taken as a list of matrices, so each row is one.
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": [[0, 1], [1, 0]]})"),
              kTypeError302 + "type must be array, but is number (at costs[0][0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": {"a": 5}})"),
              kTypeError302 + "type must be array, but is number (at costs.a)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": {"a": [[1, "2"]]}})"),
              kTypeError302 + "type must be number, but is string (at costs.a[0][1])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": {"a": [[true]]}})"),
              kTypeError302 + "type must be number, but is boolean (at costs.a[0][0])");

    // Matrices are stored one by one in name order, so a fault keeps the earlier ones.
    Problem partial;
    ErrorOf<json::exception>(R"({"nodes": [], "agents": [], "costs": {"b": null, "a": [[1]]}})", partial);
    EXPECT_EQ(partial.cost_matrices.count("a"), 1u);
    EXPECT_EQ(partial.cost_matrices.count("b"), 0u);
}

TEST(JsonReader, CostMetricObjectsBesideMatrices) {
    const Problem p = Read(R"({"nodes": [], "agents": [], "costs": {
        "car": {"metric": "euclidean"},
        "truck": {"metric": "euclidean", "factor": 1.5, "round": "nint", "note": "unknown keys are ignored"},
        "van": {"metric": "euclidean", "factor": 0, "round": ""},
        "boat": [[0, 1], [1, 0]]}})");
    ASSERT_EQ(p.cost_metrics.size(), 3u);
    EXPECT_EQ(p.cost_matrices.size(), 1u);
    EXPECT_DOUBLE_EQ(p.cost_metrics.at("car").factor, 1.0);
    EXPECT_FALSE(p.cost_metrics.at("car").round_nint);
    EXPECT_DOUBLE_EQ(p.cost_metrics.at("truck").factor, 1.5);
    EXPECT_TRUE(p.cost_metrics.at("truck").round_nint);
    EXPECT_DOUBLE_EQ(p.cost_metrics.at("van").factor, 0.0);
    EXPECT_FALSE(p.cost_metrics.at("van").round_nint);
    // 3-4-5 triangle: 5 × 1.5 = 7.5, rounded half up to 8.
    EXPECT_DOUBLE_EQ(p.cost_metrics.at("truck").cost(0, 0, 3, 4), 8.0);
    EXPECT_DOUBLE_EQ(p.cost_metrics.at("car").cost(0, 0, -3, 4), 5.0);
}

TEST(JsonReader, BadCostMetricsNameTheTypeTheKeyAndTheValue) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"metric": "manhattan"})", R"("metric" "manhattan" is not a known metric)"},
        {R"({"metric": "Euclidean"})", R"("metric" "Euclidean" is not a known metric)"},
        {R"({"metric": 3})", R"("metric" 3 is not a metric name)"},
        {R"({"factor": 2})", R"("metric" (missing) is required)"},
        {R"({"metric": "euclidean", "round": "up"})", R"("round" "up" is not a known rounding)"},
        {R"({"metric": "euclidean", "round": 1})", R"("round" 1 is not a rounding name)"},
        {R"({"metric": "euclidean", "factor": -2})", R"("factor" -2 is not a finite number >= 0)"},
        {R"({"metric": "euclidean", "factor": -0.5})", R"("factor" -0.5 is not a finite number >= 0)"},
        {R"({"metric": "euclidean", "factor": "2"})", R"("factor" "2" is not a number)"},
        {R"({"metric": "euclidean", "factor": true})", R"("factor" true is not a number)"},
        {R"({"metric": "euclidean", "factor": null})", R"("factor" null is not a number)"},
    };
    for (const auto& [entry, expected] : cases) {
        const std::string text = ErrorOf<std::invalid_argument>(
            std::string(R"({"nodes": [], "agents": [], "costs": {"car": )") + entry + "}}");
        EXPECT_NE(text.find(R"(agent type "car": )"), std::string::npos) << entry << " -> " << text;
        EXPECT_NE(text.find(expected), std::string::npos) << entry << " -> " << text;
    }
}

TEST(JsonReader, ConstraintsAccumulateLastWinsAndSkips) {
    const Problem p = Read(WithConstraints(R"([
        {"kind": "assignment", "items": [{"node": 1, "types": ["b", "a"]}, {"node": 2, "types": []}]},
        {"kind": "timewindow", "items": [{"node": 4, "start": 0, "end": 10}]},
        {"kind": "assignment", "items": [{"node": 1.7, "types": ["c"]}]},
        {"kind": "timewindow", "items": [{"node": 4, "start": 5, "end": 20}, {"node": 5, "start": 9, "end": 1}]},
        {"kind": "TimeWindow", "items": [{"node": 6, "start": 0, "end": 1}]},
        {"kind": "timewindow", "precedence": [{"before": 1, "after": 2}]},
        {"kind": "assignment"},
        {"kind": "sequence", "items": [{"before": 1, "after": 2}]},
        {"kind": "unknown", "items": "not even an array"},
        {"kind": "sequence", "precedence": [
            {"before": 1, "after": 2, "type": "diff"},
            {"before": 1, "after": 2},
            {"before": 3, "after": 4, "type": "same"},
            {"before": 1, "after": 2},
            {"before": 5, "after": 6, "type": "Same"}]},
        {"kind": "sequence", "precedence": [{"before": 7, "after": 8, "type": "same"}]}
    ])"));
    const auto& allowed = p.assignment_constraint.allowed_types;
    ASSERT_EQ(allowed.size(), 2u);
    EXPECT_EQ(allowed.at(1), std::vector<std::string>{"c"});
    EXPECT_TRUE(allowed.at(2).empty());
    const auto& windows = p.timewindow_constraint.windows;
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows.at(4), (std::pair<double, double>{5.0, 20.0}));
    EXPECT_EQ(windows.at(5), (std::pair<double, double>{9.0, 1.0}));
    EXPECT_EQ(p.precedence, (PrecedenceList{{1, 2}, {1, 2}, {5, 6}}));
    EXPECT_EQ(p.precedence_same, (PrecedenceList{{3, 4}, {7, 8}}));
    EXPECT_EQ(p.precedence_diff, (PrecedenceList{{1, 2}}));

    const Problem order = Read(WithConstraints(R"([{"kind": "assignment", "items": [{"node": 0, "types": ["z", "a", "m"]}]}])"));
    EXPECT_EQ(order.assignment_constraint.allowed_types.at(0), (std::vector<std::string>{"z", "a", "m"}));
}

TEST(JsonReader, ConstraintCommitReplacesWhatTheProblemHeld) {
    Problem p;
    p.assignment_constraint.set_assignment(1, {"a"});
    p.timewindow_constraint.set_timewindow(1, 0, 1);
    p.precedence = {{1, 2}};
    p.precedence_same = {{1, 2}};
    p.precedence_diff = {{1, 2}};
    read_problem_json(json::parse(R"({"nodes": [], "agents": []})"), p);
    EXPECT_TRUE(p.assignment_constraint.allowed_types.empty());
    EXPECT_TRUE(p.timewindow_constraint.windows.empty());
    EXPECT_TRUE(p.precedence.empty());
    EXPECT_TRUE(p.precedence_same.empty());
    EXPECT_TRUE(p.precedence_diff.empty());
}

TEST(JsonReader, FaultInsideConstraintsCommitsNothingButFaultInOptionsComesAfter) {
    Problem p;
    p.precedence = {{9, 9}};
    const std::string text = WithConstraints(R"([
        {"kind": "sequence", "precedence": [{"before": 1, "after": 2}]},
        {"kind": "timewindow", "items": [{"node": 1, "start": 0}]}])");
    EXPECT_EQ(ErrorOf<json::exception>(text, p),
              "[json.exception.out_of_range.403] key 'end' not found (at constraints[1].items[0])");
    EXPECT_EQ(p.precedence, (PrecedenceList{{9, 9}}));

    Problem q;
    const std::string late = R"({"nodes": [], "agents": [],
        "constraints": [{"kind": "sequence", "precedence": [{"before": 1, "after": 2}]}], "options": []})";
    EXPECT_EQ(ErrorOf<json::exception>(late, q),
              "[json.exception.type_error.306] cannot use value() with array (at options)");
    EXPECT_EQ(q.precedence, (PrecedenceList{{1, 2}}));
}

TEST(JsonReader, MissingKeysReportTheKey) {
    const std::string prefix = "[json.exception.out_of_range.403] key '";
    EXPECT_EQ(ErrorOf(R"({"agents": []})"), prefix + "nodes' not found");
    EXPECT_EQ(ErrorOf(R"({"nodes": []})"), prefix + "agents' not found");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"x": 1, "y": 2}], "agents": []})"), prefix + "id' not found (at nodes[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": 1, "y": 2}], "agents": []})"), prefix + "x' not found (at nodes[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": 1, "x": 2}], "agents": []})"), prefix + "y' not found (at nodes[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"type": "t", "start_node": 0, "end_node": 0}]})"),
              prefix + "id' not found (at agents[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "start_node": 0, "end_node": 0}]})"),
              prefix + "type' not found (at agents[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "type": "t", "end_node": 0}]})"),
              prefix + "start_node' not found (at agents[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "type": "t", "start_node": 0}]})"),
              prefix + "end_node' not found (at agents[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"items": []}])")), prefix + "kind' not found (at constraints[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": [{"types": []}]}])")),
              prefix + "node' not found (at constraints[0].items[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": [{"node": 1}]}])")),
              prefix + "types' not found (at constraints[0].items[0])");
    // Window items are read end, start, node.
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "timewindow", "items": [{}]}])")),
              prefix + "end' not found (at constraints[0].items[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "timewindow", "items": [{"end": 1}]}])")),
              prefix + "start' not found (at constraints[0].items[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "timewindow", "items": [{"end": 1, "start": 0}]}])")),
              prefix + "node' not found (at constraints[0].items[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": [{"after": 1}]}])")),
              prefix + "before' not found (at constraints[0].precedence[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": [{"before": 1}]}])")),
              prefix + "after' not found (at constraints[0].precedence[0])");
}

TEST(JsonReader, LookupsInNonObjectsReportTheType) {
    const std::string at = "[json.exception.type_error.304] cannot use at() with ";
    // The top level says what an instance is, and where.
    const std::string top = "; an instance is a JSON object (at the top level)";
    EXPECT_EQ(ErrorOf("[1, 2]"), at + "array" + top);
    EXPECT_EQ(ErrorOf("\"text\""), at + "string" + top);
    EXPECT_EQ(ErrorOf(R"({"nodes": [[0, 1, 2]], "agents": []})"), at + "array (at nodes[0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [7]})"), at + "number (at agents[0])");
    EXPECT_EQ(ErrorOf(WithConstraints("[null]")), at + "null (at constraints[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": [true]}])")),
              at + "boolean (at constraints[0].items[0])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": [3]}])")),
              at + "number (at constraints[0].precedence[0])");

    const std::string value = "[json.exception.type_error.306] cannot use value() with ";
    EXPECT_EQ(ErrorOf(WithOptions("[]")), value + "array (at options)");
    EXPECT_EQ(ErrorOf(WithOptions("\"fast\"")), value + "string (at options)");
    EXPECT_EQ(ErrorOf(WithOptions("null")), value + "null (at options)");
}

TEST(JsonReader, WrongValueTypesReportTheType) {
    const auto number = [](const char* type) { return kTypeError302 + "type must be number, but is " + type; };
    const auto string = [](const char* type) { return kTypeError302 + "type must be string, but is " + type; };
    EXPECT_EQ(ErrorOf(Doc(R"(, "z": null)", "")), number("null") + " (at nodes[0].z)");
    EXPECT_EQ(ErrorOf(Doc(R"(, "demand": true)", "")), number("boolean") + " (at nodes[0].demand)");
    EXPECT_EQ(ErrorOf(Doc(R"(, "type": 1)", "")), string("number") + " (at nodes[0].type)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": true, "x": 0, "y": 0}], "agents": []})"),
              number("boolean") + " (at nodes[0].id)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": "3", "x": 0, "y": 0}], "agents": []})"),
              number("string") + " (at nodes[0].id)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": 3, "x": [0], "y": 0}], "agents": []})"),
              number("array") + " (at nodes[0].x)");
    EXPECT_EQ(ErrorOf(Doc("", R"(, "capacity": "12")")), number("string") + " (at agents[0].capacity)");
    EXPECT_EQ(ErrorOf(Doc("", R"(, "max_length": null)")), number("null") + " (at agents[0].max_length)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "type": 5, "start_node": 0, "end_node": 0}]})"),
              string("number") + " (at agents[0].type)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "type": "t", "start_node": false, "end_node": 0}]})"),
              number("boolean") + " (at agents[0].start_node)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": 1}])")), string("number") + " (at constraints[0].kind)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": [{"node": 1, "types": "a"}]}])")),
              kTypeError302 + "type must be array, but is string (at constraints[0].items[0].types)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": [{"node": 1, "types": ["a", 2]}]}])")),
              string("number") + " (at constraints[0].items[0].types[1])");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "timewindow", "items": [{"node": 1, "start": "0", "end": 1}]}])")),
              number("string") + " (at constraints[0].items[0].start)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": [{"before": 1, "after": 2, "type": 0}]}])")),
              string("number") + " (at constraints[0].precedence[0].type)");
    EXPECT_EQ(ErrorOf(WithOptions(R"({"return_to_end": 1})")),
              kTypeError302 + "type must be boolean, but is number (at options.return_to_end)");
    EXPECT_EQ(ErrorOf(WithOptions(R"({"objective": 0})")), string("number") + " (at options.objective)");
    EXPECT_EQ(ErrorOf(WithOptions(R"({"time_limit": true})")), number("boolean") + " (at options.time_limit)");
}

TEST(JsonReader, ReadingOrderDecidesTheFirstFault) {
    // Nodes before agents: everything up to the fault stays in the problem.
    Problem p;
    EXPECT_EQ(ErrorOf<json::exception>(R"({"nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1, "x": 0, "y": 0}]})", p),
              "[json.exception.out_of_range.403] key 'agents' not found");
    EXPECT_EQ(p.num_nodes, 2u);

    Problem q;
    EXPECT_EQ(ErrorOf<json::exception>(R"({"nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1, "x": 0}], "agents": 5})", q),
              "[json.exception.out_of_range.403] key 'y' not found (at nodes[1])");
    EXPECT_EQ(q.num_nodes, 1u);

    // Within a node: id, x, y, z, type, demand.
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": "a", "x": "b"}], "agents": []})"),
              kTypeError302 + "type must be number, but is string (at nodes[0].id)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [{"id": 0, "y": "b"}], "agents": []})"),
              "[json.exception.out_of_range.403] key 'x' not found (at nodes[0])");
    EXPECT_EQ(ErrorOf(Doc(R"(, "demand": "d", "type": 1)", "")),
              kTypeError302 + "type must be string, but is number (at nodes[0].type)");
    // Within an agent: id, type, start_node, end_node, capacity, max_length.
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [{"id": 0, "type": 1}]})"),
              kTypeError302 + "type must be string, but is number (at agents[0].type)");
    EXPECT_EQ(ErrorOf(Doc("", R"(, "max_length": [], "capacity": "c")")),
              kTypeError302 + "type must be number, but is string (at agents[0].capacity)");

    Problem r;
    const std::string agents_then_costs = R"({"nodes": [], "agents": [
        {"id": 0, "type": "t", "start_node": 0, "end_node": 0}, {"id": 1}], "costs": 3})";
    EXPECT_EQ(ErrorOf<json::exception>(agents_then_costs, r),
              "[json.exception.out_of_range.403] key 'type' not found (at agents[1])");
    EXPECT_EQ(r.num_agents, 1u);

    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": {"a": 1}, "constraints": [5]})"),
              kTypeError302 + "type must be array, but is number (at costs.a)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "constraints": [{"kind": 2}], "options": []})"),
              kTypeError302 + "type must be string, but is number (at constraints[0].kind)");
}

TEST(JsonReader, IdentifiersOutsideTheUnsignedRangeAreRefused) {
    EXPECT_EQ(ErrorOf<std::invalid_argument>(R"({"nodes": [{"id": -1, "x": 0, "y": 0}], "agents": []})"),
              "nodes[0]: \"id\" -1 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  R"({"nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1e30, "x": 0, "y": 0}], "agents": []})"),
              "nodes[1]: \"id\" 1e+30 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  R"({"nodes": [{"id": 18446744073709551616.0, "x": 0, "y": 0}], "agents": []})"),
              "nodes[0]: \"id\" 1.8446744073709552e+19 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  R"({"nodes": [], "agents": [{"id": 3, "type": "t", "start_node": -2.5, "end_node": 0}]})"),
              "agents[0]: \"start_node\" -2.5 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  R"({"nodes": [], "agents": [{"id": -3, "type": "t", "start_node": 0, "end_node": 0}]})"),
              "agents[0]: \"id\" -3 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(WithConstraints(R"([{"kind": "sequence", "precedence": []},
                  {"kind": "timewindow", "items": [{"node": 1, "start": 0, "end": 1}, {"node": -1, "start": 0, "end": 1}]}])")),
              "constraints[1].items[1]: \"node\" -1 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  WithConstraints(R"([{"kind": "assignment", "items": [{"node": -9e99, "types": []}]}])")),
              "constraints[0].items[0]: \"node\" -9e+99 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(WithConstraints(
                  R"([{"kind": "sequence", "precedence": [{"before": 1, "after": 2}, {"before": 1, "after": 1e20}]}])")),
              "constraints[0].precedence[1]: \"after\" 1e+20 is outside the range of an unsigned 64-bit integer");

    // The largest double below 2^64 still converts.
    const Problem top = Read(R"({"nodes": [{"id": 18446744073709549568.0, "x": 0, "y": 0}], "agents": []})");
    EXPECT_EQ(top.node_list[0].id, 18446744073709549568u);

    // Values a program builds can be non-finite.
    json built = json::parse(R"({"nodes": [{"id": 0, "x": 0, "y": 0}], "agents": []})");
    built["nodes"][0]["id"] = std::nan("");
    Problem p;
    EXPECT_THROW(read_problem_json(built, p), std::invalid_argument);
    built["nodes"][0]["id"] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(read_problem_json(built, p), std::invalid_argument);
    EXPECT_TRUE(p.node_list.empty());
}

TEST(JsonReader, LimitsOutsideThe32BitRangeAreRefused) {
    const auto error = [](const std::string& agent_extra) {
        return ErrorOf<std::invalid_argument>(Doc("", agent_extra));
    };
    EXPECT_EQ(error(R"(, "capacity": 1e20)"), "agents[0]: \"capacity\" 1e+20 is outside the range of a 32-bit integer");
    EXPECT_EQ(error(R"(, "max_length": -1e30)"),
              "agents[0]: \"max_length\" -1e+30 is outside the range of a 32-bit integer");
    EXPECT_EQ(error(R"(, "capacity": 2147483648)"),
              "agents[0]: \"capacity\" 2147483648 is outside the range of a 32-bit integer");
    EXPECT_EQ(error(R"(, "max_length": -2147483649)"),
              "agents[0]: \"max_length\" -2147483649 is outside the range of a 32-bit integer");
    EXPECT_EQ(error(R"(, "capacity": 18446744073709551615)"),
              "agents[0]: \"capacity\" 18446744073709551615 is outside the range of a 32-bit integer");

    const Problem edge = Read(Doc("", R"(, "capacity": -2147483648.9, "max_length": 2147483647)"));
    EXPECT_DOUBLE_EQ(edge.ordered_agents[0].capacity_limit, -2147483648.0);
    EXPECT_DOUBLE_EQ(edge.ordered_agents[0].time_limit, 2147483647.0);

    Problem p;
    json built = json::parse(Doc("", ""));
    built["agents"][0]["capacity"] = std::nan("");
    EXPECT_THROW(read_problem_json(built, p), std::invalid_argument);
    // The node before the faulty agent was added.
    EXPECT_EQ(p.num_nodes, 1u);
    EXPECT_EQ(p.num_agents, 0u);
}

}  // namespace
}  // namespace dulmar

namespace dulmar {
namespace {

TEST(JsonReader, ContainersOfTheWrongKindNameTheKey) {
    const std::string array = "[json.exception.type_error.302] type must be array, but is ";
    EXPECT_EQ(ErrorOf(R"({"nodes": {"0": {"id": 0, "x": 0, "y": 0}}, "agents": []})"), array + "object (at nodes)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": {"a": 1}})"), array + "object (at agents)");
    EXPECT_EQ(ErrorOf(R"({"nodes": null, "agents": null})"), array + "null (at nodes)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"({"c": {"kind": "assignment", "items": []}})")),
              array + "object (at constraints)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": []},
                                          {"kind": "timewindow", "items": {"0": {"node": 1, "start": 0, "end": 1}}}])")),
              array + "object (at constraints[1].items)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "sequence", "precedence": {"before": 1, "after": 2}}])")),
              array + "object (at constraints[0].precedence)");
    const std::string object = "[json.exception.type_error.302] type must be object, but is ";
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": null})"), object + "null (at costs)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": 3})"), object + "number (at costs)");
}

TEST(JsonReader, TypeErrorsNameTheirPlaceDeepInTheDocument) {
    std::string nodes;
    for (int i = 0; i < 3; ++i) nodes += R"({"id": )" + std::to_string(i) + R"(, "x": 0, "y": 0}, )";
    EXPECT_EQ(ErrorOf(R"({"nodes": [)" + nodes + R"({"id": 3, "x": "1", "y": 0}], "agents": []})"),
              kTypeError302 + "type must be number, but is string (at nodes[3].x)");
    EXPECT_EQ(ErrorOf(WithConstraints(R"([{"kind": "assignment", "items": []},
        {"kind": "timewindow", "items": [{"node": 1, "start": 0, "end": 1}, {"node": 2, "start": 0, "end": 1},
                                         {"node": 3, "start": 0, "end": [1]}]}])")),
              kTypeError302 + "type must be number, but is array (at constraints[1].items[2].end)");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": {"car": [[0, 1], [1, 0]], "van": [[0, 1], [null]]}})"),
              kTypeError302 + "type must be number, but is null (at costs.van[1][0])");
    EXPECT_EQ(ErrorOf(R"({"nodes": [], "agents": [], "costs": [[[0]], [[0], 7]]})"),
              kTypeError302 + "type must be array, but is number (at costs[1][1])");
}

TEST(JsonReader, NegativeFractionsAreNoIdentifiers) {
    EXPECT_EQ(ErrorOf<std::invalid_argument>(R"({"nodes": [{"id": -0.5, "x": 0, "y": 0}], "agents": []})"),
              "nodes[0]: \"id\" -0.5 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  R"({"nodes": [], "agents": [{"id": 0, "type": "t", "start_node": -2e-300, "end_node": 0}]})"),
              "agents[0]: \"start_node\" -2e-300 is outside the range of an unsigned 64-bit integer");
    EXPECT_EQ(ErrorOf<std::invalid_argument>(
                  WithConstraints(R"([{"kind": "assignment", "items": [{"node": -0.999, "types": []}]}])")),
              "constraints[0].items[0]: \"node\" -0.999 is outside the range of an unsigned 64-bit integer");
    // Minus zero is zero.
    EXPECT_EQ(Read(R"({"nodes": [{"id": -0.0, "x": 0, "y": 0}], "agents": []})").node_list[0].id, 0u);
}

}  // namespace
}  // namespace dulmar
