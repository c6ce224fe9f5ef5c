#include "core/json_reader.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/cost_metric.h"

namespace dulmar {

namespace {

using nlohmann::json;

// Where a value sits in the document, e.g. "agents[3]" or
// "constraints[1].items[0]"; only turned into text when something fails.
struct Place {
    const char* list;
    size_t index;
    const char* inner = nullptr;
    size_t inner_index = 0;

    std::string Text() const {
        std::string text = std::string(list) + "[" + std::to_string(index) + "]";
        if (inner != nullptr) text += std::string(".") + inner + "[" + std::to_string(inner_index) + "]";
        return text;
    }
};

[[noreturn]] void OutOfRange(const Place& place, const char* key, const json& value, const char* target) {
    throw std::invalid_argument(place.Text() + ": \"" + key + "\" " + value.dump() +
                                " is outside the range of " + target);
}

// The library's own conversions static_cast floating-point values, which is
// undefined outside the target range, and wrap negative integers; both are
// refused here before the library converts.
size_t ReadId(const json& value, const Place& place, const char* key) {
    constexpr const char* kTarget = "an unsigned 64-bit integer";
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v > -1.0 && v < 18446744073709551616.0)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_integer() && !value.is_number_unsigned()) {
        if (value.get<std::int64_t>() < 0) OutOfRange(place, key, value, kTarget);
    }
    // number_unsigned_t rather than a plain integer type: its conversion
    // refuses booleans.
    return static_cast<size_t>(value.get<json::number_unsigned_t>());
}

double ReadInt32(const json& value, const Place& place, const char* key) {
    constexpr const char* kTarget = "a 32-bit integer";
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v > -2147483649.0 && v < 2147483648.0)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(kMax)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_integer()) {
        const std::int64_t v = value.get<std::int64_t>();
        if (v < kMin || v > kMax) OutOfRange(place, key, value, kTarget);
    }
    // Booleans pass as 1 and 0; other types get the library's type error.
    return static_cast<double>(value.get<std::int32_t>());
}

NodeType ParseNodeType(std::string word) {
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word == "DEPOT" ? NodeType::DEPOT : NodeType::TARGET;
}

void ReadNodes(const json& nodes, Problem& problem) {
    size_t index = 0;
    for (const json& item : nodes) {
        const Place place{"nodes", index++};
        Node node;
        node.id = ReadId(item.at("id"), place, "id");
        node.position.x = item.at("x").get<double>();
        node.position.y = item.at("y").get<double>();
        node.position.z = item.value("z", 0.0);
        const auto type = item.find("type");
        if (type != item.end()) node.type = ParseNodeType(type->get<std::string>());
        node.demand = item.value("demand", 0.0);
        node.service = item.value("service", 0.0);
        problem.add_node(node);
    }
}

void ReadAgents(const json& agents, Problem& problem) {
    size_t index = 0;
    for (const json& item : agents) {
        const Place place{"agents", index++};
        Agent agent;
        agent.id = ReadId(item.at("id"), place, "id");
        agent.type = item.at("type").get<std::string>();
        agent.start_node = ReadId(item.at("start_node"), place, "start_node");
        agent.end_node = ReadId(item.at("end_node"), place, "end_node");
        const auto capacity = item.find("capacity");
        if (capacity != item.end()) agent.capacity_limit = ReadInt32(*capacity, place, "capacity");
        const auto max_length = item.find("max_length");
        if (max_length != item.end()) agent.time_limit = ReadInt32(*max_length, place, "max_length");
        problem.add_agent(agent, agent.id);
    }
}

// {"metric": "euclidean", "factor": 1.0, "round": "nint"}: the keys' types are
// checked here, their values by make_cost_metric.
void ReadCostMetric(const std::string& type, const json& entry, Problem& problem) {
    const auto metric = entry.find("metric");
    if (metric == entry.end()) {
        throw std::invalid_argument(metric_fault(type, "metric", "(missing)",
                                                 "is required: give a matrix or {\"metric\": \"euclidean\"}"));
    }
    if (!metric->is_string()) {
        throw std::invalid_argument(metric_fault(type, "metric", metric->dump(), "is not a metric name"));
    }
    double factor = 1.0;
    const auto given = entry.find("factor");
    if (given != entry.end()) {
        if (!given->is_number()) {
            throw std::invalid_argument(metric_fault(type, "factor", given->dump(), "is not a number"));
        }
        factor = given->get<double>();
    }
    std::string round;
    const auto rounding = entry.find("round");
    if (rounding != entry.end()) {
        if (!rounding->is_string()) {
            throw std::invalid_argument(metric_fault(type, "round", rounding->dump(), "is not a rounding name"));
        }
        round = rounding->get<std::string>();
    }
    problem.set_cost_metric(type, metric->get<std::string>(), factor, round);
}

void ReadCosts(const json& costs, Problem& problem) {
    // items() names array elements by their position: "0", "1", ...
    for (const auto& member : costs.items()) {
        if (member.value().is_object()) {
            ReadCostMetric(member.key(), member.value(), problem);
        } else {
            problem.set_cost_matrix(member.key(), member.value().get<CostMatrix>());
        }
    }
}

struct ConstraintSet {
    AssignmentConstraint assignment;
    TimeWindowConstraint timewindow;
    PrecedenceList precedence;
    PrecedenceList precedence_same;
    PrecedenceList precedence_diff;
};

void ReadConstraint(const json& constraint, size_t index, ConstraintSet& out) {
    const std::string kind = constraint.at("kind").get<std::string>();
    if (kind == "assignment" || kind == "timewindow") {
        const auto items = constraint.find("items");
        if (items == constraint.end()) return;
        size_t item_index = 0;
        for (const json& item : *items) {
            const Place place{"constraints", index, "items", item_index++};
            if (kind == "assignment") {
                const size_t node = ReadId(item.at("node"), place, "node");
                out.assignment.set_assignment(node, item.at("types").get<std::vector<std::string>>());
            } else {
                const double end = item.at("end").get<double>();
                const double start = item.at("start").get<double>();
                const size_t node = ReadId(item.at("node"), place, "node");
                out.timewindow.set_timewindow(node, start, end);
            }
        }
    } else if (kind == "sequence") {
        const auto pairs = constraint.find("precedence");
        if (pairs == constraint.end()) return;
        size_t item_index = 0;
        for (const json& item : *pairs) {
            const Place place{"constraints", index, "precedence", item_index++};
            const size_t before = ReadId(item.at("before"), place, "before");
            const size_t after = ReadId(item.at("after"), place, "after");
            const std::string type = item.value("type", std::string());
            PrecedenceList& list =
                type == "same" ? out.precedence_same : type == "diff" ? out.precedence_diff : out.precedence;
            list.emplace_back(before, after);
        }
    }
}

// An optional whole number of "options" (0 when absent); fractions are
// truncated, values beyond 64 bits refused before the library converts.
int64_t ReadInt64Option(const json& options, const char* key) {
    const auto found = options.find(key);
    if (found == options.end()) return 0;
    const json& value = *found;
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v > -9223372036854775809.0 && v < 9223372036854775808.0)) {
            throw std::invalid_argument(std::string("options: \"") + key + "\" " + value.dump() +
                                        " is outside the range of a 64-bit integer");
        }
        return static_cast<int64_t>(v);
    }
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        throw std::invalid_argument(std::string("options: \"") + key + "\" " + value.dump() +
                                    " is outside the range of a 64-bit integer");
    }
    return value.get<int64_t>();
}

void ReadOptions(const json& options, Options& target) {
    const bool return_to_end = options.value("return_to_end", true);
    const std::string objective = options.value("objective", std::string("min_sum"));
    const double time_limit = options.value("time_limit", 60.0);
    const bool improve = options.value("improve", false);
    const int64_t seed = ReadInt64Option(options, "seed");
    const int64_t improve_iterations = ReadInt64Option(options, "improve_iterations");
    const bool enforce_capacity = options.value("enforce_capacity", false);
    if (improve_iterations < 0) {
        throw std::invalid_argument("options: \"improve_iterations\" " + std::to_string(improve_iterations) +
                                    " is negative; 0 means no cap");
    }
    const double memory_limit_mb = options.value("memory_limit_mb", target.memory_limit_mb);
    target.return_to_end = return_to_end;
    target.objective =
        (objective == "min_max" || objective == "MIN_MAX") ? ObjectiveType::MinMax : ObjectiveType::MinSum;
    target.time_limit = time_limit;
    target.improve = improve;
    target.seed = seed;
    target.improve_iterations = improve_iterations;
    target.memory_limit_mb = memory_limit_mb;
    target.enforce_capacity = enforce_capacity;
}

}  // namespace

void read_problem_json(const nlohmann::json& root, Problem& problem) {
    ReadNodes(root.at("nodes"), problem);
    ReadAgents(root.at("agents"), problem);

    const auto costs = root.find("costs");
    if (costs != root.end()) ReadCosts(*costs, problem);

    ConstraintSet constraints;
    const auto list = root.find("constraints");
    if (list != root.end()) {
        size_t index = 0;
        for (const json& constraint : *list) ReadConstraint(constraint, index++, constraints);
    }
    problem.assignment_constraint = std::move(constraints.assignment);
    problem.timewindow_constraint = std::move(constraints.timewindow);
    problem.precedence = std::move(constraints.precedence);
    problem.precedence_same = std::move(constraints.precedence_same);
    problem.precedence_diff = std::move(constraints.precedence_diff);

    const auto options = root.find("options");
    if (options != root.end()) ReadOptions(*options, problem.solve_options);
}

}  // namespace dulmar
