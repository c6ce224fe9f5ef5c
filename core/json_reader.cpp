#include "core/json_reader.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/cost_metric.h"
#include "core/excerpt.h"

namespace dulmar {

namespace {

using nlohmann::json;

// Polled every this many elements of a list, and at every matrix row.
constexpr size_t kPollEvery = 1024;

void PollEvery(StopCheck* check, size_t index) {
    if (index % kPollEvery == 0) poll_or_stop(check);
}

// A faulty value as a message quotes it: ASCII, cut to a short excerpt.
std::string Quote(const json& value) { return excerpt(value.dump(-1, ' ', true)); }

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
    std::string Key(const char* key) const { return Text() + "." + key; }
};

// The library's own message texts, with the place appended: callers match on
// the start, people read the end.
[[noreturn]] void TypeError(int id, const std::string& message, const std::string& where) {
    throw json::type_error::create(id, message + " (at " + where + ")", nullptr);
}

[[noreturn]] void WrongType(const char* wanted, const json& value, const std::string& where) {
    TypeError(302, std::string("type must be ") + wanted + ", but is " + value.type_name(), where);
}

[[noreturn]] void OutOfRange(const Place& place, const char* key, const json& value, const char* target) {
    throw std::invalid_argument(place.Text() + ": \"" + key + "\" " + Quote(value) +
                                " is outside the range of " + target);
}

// The value under a required key of an element that must be an object.
const json& Required(const json& item, const std::string& where, const char* key) {
    if (!item.is_object()) TypeError(304, std::string("cannot use at() with ") + item.type_name(), where);
    const auto found = item.find(key);
    if (found == item.end()) {
        throw json::out_of_range::create(403, std::string("key '") + key + "' not found (at " + where + ")", nullptr);
    }
    return *found;
}

const json& Required(const json& item, const Place& place, const char* key) {
    return Required(item, place.Text(), key);
}

const json& RequireArray(const json& value, const std::string& where) {
    if (!value.is_array()) WrongType("array", value, where);
    return value;
}

double Number(const json& value, const std::string& where) {
    if (!value.is_number()) WrongType("number", value, where);
    return value.get<double>();
}

std::string String(const json& value, const std::string& where) {
    if (!value.is_string()) WrongType("string", value, where);
    return value.get<std::string>();
}

double NumberOr(const json& item, const Place& place, const char* key, double fallback) {
    const auto found = item.find(key);
    return found == item.end() ? fallback : Number(*found, place.Key(key));
}

// The library's own conversions static_cast floating-point values, which is
// undefined outside the target range, and wrap negative integers; both are
// refused here before the library converts. Any negative value is refused,
// fractions included: -0.5 is no identifier.
size_t ReadId(const json& value, const Place& place, const char* key) {
    constexpr const char* kTarget = "an unsigned 64-bit integer";
    if (!value.is_number()) WrongType("number", value, place.Key(key));
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v >= 0.0 && v < 18446744073709551616.0)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_integer() && !value.is_number_unsigned()) {
        if (value.get<std::int64_t>() < 0) OutOfRange(place, key, value, kTarget);
    }
    return static_cast<size_t>(value.get<json::number_unsigned_t>());
}

double ReadInt32(const json& value, const Place& place, const char* key) {
    constexpr const char* kTarget = "a 32-bit integer";
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    // Booleans pass as 1 and 0.
    if (!value.is_number() && !value.is_boolean()) WrongType("number", value, place.Key(key));
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v > -2147483649.0 && v < 2147483648.0)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(kMax)) OutOfRange(place, key, value, kTarget);
    } else if (value.is_number_integer()) {
        const std::int64_t v = value.get<std::int64_t>();
        if (v < kMin || v > kMax) OutOfRange(place, key, value, kTarget);
    }
    return static_cast<double>(value.get<std::int32_t>());
}

NodeType ParseNodeType(std::string word) {
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word == "DEPOT" ? NodeType::DEPOT : NodeType::TARGET;
}

void ReadNodes(const json& nodes, Problem& problem, StopCheck* check) {
    size_t index = 0;
    for (const json& item : RequireArray(nodes, "nodes")) {
        PollEvery(check, index);
        const Place place{"nodes", index++};
        Node node;
        node.id = ReadId(Required(item, place, "id"), place, "id");
        node.position.x = Number(Required(item, place, "x"), place.Key("x"));
        node.position.y = Number(Required(item, place, "y"), place.Key("y"));
        node.position.z = NumberOr(item, place, "z", 0.0);
        const auto type = item.find("type");
        if (type != item.end()) node.type = ParseNodeType(String(*type, place.Key("type")));
        node.demand = NumberOr(item, place, "demand", 0.0);
        node.service = NumberOr(item, place, "service", 0.0);
        problem.add_node(node);
    }
}

void ReadAgents(const json& agents, Problem& problem, StopCheck* check) {
    size_t index = 0;
    for (const json& item : RequireArray(agents, "agents")) {
        PollEvery(check, index);
        const Place place{"agents", index++};
        Agent agent;
        agent.id = ReadId(Required(item, place, "id"), place, "id");
        agent.type = String(Required(item, place, "type"), place.Key("type"));
        agent.start_node = ReadId(Required(item, place, "start_node"), place, "start_node");
        agent.end_node = ReadId(Required(item, place, "end_node"), place, "end_node");
        const auto capacity = item.find("capacity");
        if (capacity != item.end()) agent.capacity_limit = ReadInt32(*capacity, place, "capacity");
        const auto max_length = item.find("max_length");
        if (max_length != item.end()) agent.time_limit = ReadInt32(*max_length, place, "max_length");
        problem.add_agent(agent, agent.id);
    }
}

CostMatrix ReadMatrix(const json& value, const std::string& where, StopCheck* check) {
    RequireArray(value, where);
    CostMatrix matrix;
    matrix.reserve(value.size());
    for (const json& row : value) {
        poll_or_stop(check);
        const std::string row_place = where + "[" + std::to_string(matrix.size()) + "]";
        RequireArray(row, row_place);
        std::vector<double> entries;
        entries.reserve(row.size());
        for (const json& entry : row) {
            if (!entry.is_number()) WrongType("number", entry, row_place + "[" + std::to_string(entries.size()) + "]");
            entries.push_back(entry.get<double>());
        }
        matrix.push_back(std::move(entries));
    }
    return matrix;
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
        throw std::invalid_argument(metric_fault(type, "metric", Quote(*metric), "is not a metric name"));
    }
    double factor = 1.0;
    const auto given = entry.find("factor");
    if (given != entry.end()) {
        if (!given->is_number()) {
            throw std::invalid_argument(metric_fault(type, "factor", Quote(*given), "is not a number"));
        }
        factor = given->get<double>();
    }
    std::string round;
    const auto rounding = entry.find("round");
    if (rounding != entry.end()) {
        if (!rounding->is_string()) {
            throw std::invalid_argument(metric_fault(type, "round", Quote(*rounding), "is not a rounding name"));
        }
        round = rounding->get<std::string>();
    }
    problem.set_cost_metric(type, metric->get<std::string>(), factor, round);
}

void ReadCosts(const json& costs, Problem& problem, StopCheck* check) {
    if (costs.is_array()) {
        // Element i belongs to the type named "i".
        for (size_t i = 0; i < costs.size(); ++i) {
            problem.set_cost_matrix(std::to_string(i), ReadMatrix(costs[i], "costs[" + std::to_string(i) + "]", check));
        }
        return;
    }
    if (!costs.is_object()) WrongType("object", costs, "costs");
    for (const auto& member : costs.items()) {
        if (member.value().is_object()) {
            ReadCostMetric(member.key(), member.value(), problem);
        } else {
            problem.set_cost_matrix(member.key(), ReadMatrix(member.value(), "costs." + excerpt(member.key()), check));
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

std::vector<std::string> ReadTypeNames(const json& value, const Place& place) {
    const std::string where = place.Key("types");
    std::vector<std::string> names;
    for (const json& name : RequireArray(value, where)) {
        names.push_back(String(name, where + "[" + std::to_string(names.size()) + "]"));
    }
    return names;
}

void ReadConstraint(const json& constraint, size_t index, ConstraintSet& out, StopCheck* check) {
    const std::string where = "constraints[" + std::to_string(index) + "]";
    const std::string kind = String(Required(constraint, where, "kind"), where + ".kind");
    if (kind == "assignment" || kind == "timewindow") {
        const auto items = constraint.find("items");
        if (items == constraint.end()) return;
        size_t item_index = 0;
        for (const json& item : RequireArray(*items, where + ".items")) {
            PollEvery(check, item_index);
            const Place place{"constraints", index, "items", item_index++};
            if (kind == "assignment") {
                const size_t node = ReadId(Required(item, place, "node"), place, "node");
                out.assignment.set_assignment(node, ReadTypeNames(Required(item, place, "types"), place));
            } else {
                const double end = Number(Required(item, place, "end"), place.Key("end"));
                const double start = Number(Required(item, place, "start"), place.Key("start"));
                const size_t node = ReadId(Required(item, place, "node"), place, "node");
                out.timewindow.set_timewindow(node, start, end);
            }
        }
    } else if (kind == "sequence") {
        const auto pairs = constraint.find("precedence");
        if (pairs == constraint.end()) return;
        size_t item_index = 0;
        for (const json& item : RequireArray(*pairs, where + ".precedence")) {
            PollEvery(check, item_index);
            const Place place{"constraints", index, "precedence", item_index++};
            const size_t before = ReadId(Required(item, place, "before"), place, "before");
            const size_t after = ReadId(Required(item, place, "after"), place, "after");
            const auto type_value = item.find("type");
            const std::string type = type_value == item.end() ? std::string() : String(*type_value, place.Key("type"));
            const PrecedenceType kind = precedence_type(type);
            PrecedenceList& list = kind == PrecedenceType::Same   ? out.precedence_same
                                   : kind == PrecedenceType::Diff ? out.precedence_diff
                                                                  : out.precedence;
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
    if (!value.is_number()) WrongType("number", value, std::string("options.") + key);
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!(v > -9223372036854775809.0 && v < 9223372036854775808.0)) {
            throw std::invalid_argument(std::string("options: \"") + key + "\" " + Quote(value) +
                                        " is outside the range of a 64-bit integer");
        }
        return static_cast<int64_t>(v);
    }
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        throw std::invalid_argument(std::string("options: \"") + key + "\" " + Quote(value) +
                                    " is outside the range of a 64-bit integer");
    }
    return value.get<int64_t>();
}

// An optional boolean of "options".
bool FlagOr(const json& options, const char* key, bool fallback) {
    const auto flag = options.find(key);
    if (flag == options.end()) return fallback;
    if (!flag->is_boolean()) WrongType("boolean", *flag, std::string("options.") + key);
    return flag->get<bool>();
}

void ReadOptions(const json& options, Options& target) {
    if (!options.is_object()) TypeError(306, std::string("cannot use value() with ") + options.type_name(), "options");
    const bool return_to_end = FlagOr(options, "return_to_end", true);
    const auto word = options.find("objective");
    const std::string objective = word == options.end() ? "min_sum" : String(*word, "options.objective");
    const auto budget = options.find("time_limit");
    const double time_limit = budget == options.end() ? 60.0 : Number(*budget, "options.time_limit");
    const bool improve = FlagOr(options, "improve", false);
    const int64_t seed = ReadInt64Option(options, "seed");
    const int64_t improve_iterations = ReadInt64Option(options, "improve_iterations");
    const bool enforce_capacity = FlagOr(options, "enforce_capacity", false);
    const bool schedule = FlagOr(options, "schedule", false);
    const bool enforce_precedence = FlagOr(options, "enforce_precedence", false);
    // Checked before truncation: -0.5 is as negative as -1.
    const auto cap_value = options.find("improve_iterations");
    if (cap_value != options.end() && cap_value->get<double>() < 0.0) {
        throw std::invalid_argument("options: \"improve_iterations\" " + Quote(*cap_value) +
                                    " is negative; 0 means no cap");
    }
    // The range is the set-up's to check; a fraction is refused here, where it is still seen.
    const auto workers = options.find("threads");
    if (workers != options.end() && workers->is_number_float() &&
        std::trunc(workers->get<double>()) != workers->get<double>()) {
        throw std::invalid_argument("options: \"threads\" " + Quote(*workers) + " is not a whole number");
    }
    const int64_t threads = workers == options.end() ? 1 : ReadInt64Option(options, "threads");
    const auto cap = options.find("memory_limit_mb");
    const double memory_limit_mb = cap == options.end() ? target.memory_limit_mb : Number(*cap, "options.memory_limit_mb");
    target.return_to_end = return_to_end;
    target.objective =
        (objective == "min_max" || objective == "MIN_MAX") ? ObjectiveType::MinMax : ObjectiveType::MinSum;
    target.time_limit = time_limit;
    target.improve = improve;
    target.seed = seed;
    target.improve_iterations = improve_iterations;
    target.threads = threads;
    target.memory_limit_mb = memory_limit_mb;
    target.enforce_capacity = enforce_capacity;
    target.schedule = schedule;
    target.enforce_precedence = enforce_precedence;
}

}  // namespace

void read_problem_json(const nlohmann::json& root, Problem& problem, StopCheck* check) {
    if (!root.is_object()) {
        TypeError(304, std::string("cannot use at() with ") + root.type_name() + "; an instance is a JSON object",
                  "the top level");
    }
    ReadNodes(root.at("nodes"), problem, check);
    ReadAgents(root.at("agents"), problem, check);

    const auto costs = root.find("costs");
    if (costs != root.end()) ReadCosts(*costs, problem, check);

    ConstraintSet constraints;
    const auto list = root.find("constraints");
    if (list != root.end()) {
        size_t index = 0;
        for (const json& constraint : RequireArray(*list, "constraints")) {
            ReadConstraint(constraint, index++, constraints, check);
        }
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
