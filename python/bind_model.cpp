#include <stdexcept>
#include <string>

#include <pybind11/stl.h>

#include "core/problem.h"
#include "rules/instance_builder.h"
#include "python/bindings.h"
#include "python/conversions.h"

namespace py = pybind11;

namespace dulmar {

namespace {

bool GetReturnToEnd(const Options& options) { return options.return_to_end; }
ObjectiveType GetObjective(const Options& options) { return options.objective; }
double GetTimeLimit(const Options& options) { return options.time_limit; }
void SetImproveIterations(Options& options, py::handle given) {
    const int64_t value = signed_value(given, "Options.improve_iterations");
    if (value < 0) {
        throw std::invalid_argument("Options.improve_iterations " + std::to_string(value) +
                                    " is negative; 0 means no cap");
    }
    options.improve_iterations = value;
}
void SetThreads(Options& options, py::handle given) {
    const int64_t value = signed_value(given, "Options.threads");
    require_threads(value);
    options.threads = value;
}
double GetMemoryLimitMb(const Options& options) { return options.memory_limit_mb; }

// The setter of an Options member, converting with checked_value.
template <class Field>
auto options_setter(Field Options::*member, const char* name, const char* expected) {
    return [member, what = std::string("Options.") + name, expected](Options& options, py::handle value) {
        options.*member = checked_value<Field>(value, what, expected);
    };
}

// The Problem method that sets a constraint, converting with checked_value.
template <class Constraint>
auto constraint_setter(void (Problem::*set)(const Constraint&), const char* name, const char* expected) {
    return [set, what = std::string("Problem.") + name + ": constraint", expected](Problem& p, py::handle given) {
        (p.*set)(checked_value<const Constraint&>(given, what, expected));
    };
}

constexpr const char* kNumber = "a number";
constexpr const char* kBool = "a bool";

// A read-write unsigned field whose setter names the field and the range.
template <class Class>
void unsigned_field(py::class_<Class>& cls, const char* name, size_t Class::*member, const std::string& owner) {
    const std::string what = owner + "." + name;
    cls.def_property(
        name, [member](const Class& self) { return self.*member; },
        [member, what](Class& self, py::handle value) { self.*member = unsigned_value(value, what); });
}

}  // namespace

void bind_problem_model(py::module_& module) {
    py::enum_<ObjectiveType>(module, "ObjectiveType")
        .value("MinMax", ObjectiveType::MinMax)
        .value("MinSum", ObjectiveType::MinSum);

    py::enum_<NodeType>(module, "NodeType").value("DEPOT", NodeType::DEPOT).value("TARGET", NodeType::TARGET);

    py::class_<Position> position(module, "Position");
    position.def(py::init<>());
    checked_member(position, "x", &Position::x, "Position", kNumber);
    checked_member(position, "y", &Position::y, "Position", kNumber);
    checked_member(position, "z", &Position::z, "Position", kNumber);

    // A class-typed field is handed out as a view tied to its owner;
    // assigning copies the value in.
    py::class_<Node> node(module, "Node");
    node.def(py::init<>());
    unsigned_field(node, "id", &Node::id, "Node");
    checked_member(node, "position", &Node::position, "Node", "a Position");
    checked_member(node, "type", &Node::type, "Node", "a NodeType");
    checked_member(node, "demand", &Node::demand, "Node", kNumber);
    checked_member(node, "service", &Node::service, "Node", kNumber);

    py::class_<Agent> agent(module, "Agent");
    agent.def(py::init<>());
    unsigned_field(agent, "id", &Agent::id, "Agent");
    agent.def_property(
        "type", [](const Agent& a) { return a.type; },
        [](Agent& a, py::handle value) { a.type = text_value(value, "Agent.type"); });
    unsigned_field(agent, "start_node", &Agent::start_node, "Agent");
    unsigned_field(agent, "end_node", &Agent::end_node, "Agent");
    checked_member(agent, "capacity_limit", &Agent::capacity_limit, "Agent", kNumber);
    checked_member(agent, "time_limit", &Agent::time_limit, "Agent", kNumber);

    py::class_<Options>(module, "Options")
        .def(py::init<>())
        .def_property("return_to_end", &GetReturnToEnd,
                      options_setter(&Options::return_to_end, "return_to_end", kBool))
        .def_property("objective", &GetObjective,
                      options_setter(&Options::objective, "objective", "an ObjectiveType"))
        .def_property("time_limit", &GetTimeLimit, options_setter(&Options::time_limit, "time_limit", kNumber))
        .def_property(
            "improve", [](const Options& o) { return o.improve; }, options_setter(&Options::improve, "improve", kBool))
        .def_property(
            "seed", [](const Options& o) { return o.seed; },
            [](Options& o, py::handle value) { o.seed = signed_value(value, "Options.seed"); })
        .def_property(
            "improve_iterations", [](const Options& o) { return o.improve_iterations; }, &SetImproveIterations)
        .def_property("threads", [](const Options& o) { return o.threads; }, &SetThreads)
        .def_property("memory_limit_mb", &GetMemoryLimitMb,
                      options_setter(&Options::memory_limit_mb, "memory_limit_mb", kNumber))
        .def_property(
            "enforce_capacity", [](const Options& o) { return o.enforce_capacity; },
            options_setter(&Options::enforce_capacity, "enforce_capacity", kBool))
        .def_property(
            "enforce_precedence", [](const Options& o) { return o.enforce_precedence; },
            options_setter(&Options::enforce_precedence, "enforce_precedence", kBool));

    py::class_<AssignmentConstraint>(module, "AssignmentConstraint")
        .def(py::init<>())
        .def(
            "set_assignment",
            [](AssignmentConstraint& c, py::handle node, py::handle types) {
                c.set_assignment(unsigned_value(node, "AssignmentConstraint.set_assignment: node"),
                                 string_list_value(types, "AssignmentConstraint.set_assignment: types"));
            },
            py::arg("node"), py::arg("types"));

    py::class_<TimeWindowConstraint>(module, "TimeWindowConstraint")
        .def(py::init<>())
        .def(
            "set_timewindow",
            [](TimeWindowConstraint& c, py::handle node, py::handle start, py::handle end) {
                const std::string what = "TimeWindowConstraint.set_timewindow: ";
                c.set_timewindow(unsigned_value(node, what + "node"),
                                 checked_value<double>(start, what + "start", kNumber),
                                 checked_value<double>(end, what + "end", kNumber));
            },
            py::arg("node"), py::arg("start"), py::arg("end"));

    // options(), nodes() and agents_ordered() return views into the problem;
    // reference_internal keeps the problem alive while any of them exists
    // (for the lists, every element holds that reference).
    py::class_<Problem>(module, "Problem")
        .def(py::init<>())
        .def(
            "add_node",
            [](Problem& p, py::handle node) {
                p.add_node(checked_value<Node>(node, "Problem.add_node: node", "a Node"));
            },
            py::arg("node"))
        .def(
            "add_agent",
            [](Problem& p, py::handle agent, py::handle id) {
                p.add_agent(checked_value<const Agent&>(agent, "Problem.add_agent: agent", "an Agent"),
                            unsigned_value(id, "Problem.add_agent: id"));
            },
            py::arg("agent"), py::arg("id"))
        .def(
            "set_cost_matrix",
            [](Problem& p, py::handle agent_type, py::handle matrix) {
                p.set_cost_matrix(text_value(agent_type, "Problem.set_cost_matrix: agent_type"),
                                  cost_matrix_value(matrix, "Problem.set_cost_matrix: matrix"));
            },
            py::arg("agent_type"), py::arg("matrix"))
        .def(
            "set_cost_metric",
            [](Problem& p, py::handle agent_type, py::handle metric, py::handle factor, py::handle round) {
                const std::string what = "Problem.set_cost_metric: ";
                p.set_cost_metric(text_value(agent_type, what + "agent_type"), text_value(metric, what + "metric"),
                                  checked_value<double>(factor, what + "factor", kNumber),
                                  text_value(round, what + "round"));
            },
            py::arg("agent_type"), py::arg("metric"), py::arg("factor") = 1.0, py::arg("round") = "")
        .def("set_assignment_constraint",
             constraint_setter(&Problem::set_assignment_constraint, "set_assignment_constraint",
                               "an AssignmentConstraint"),
             py::arg("constraint"))
        .def("set_timewindow_constraint",
             constraint_setter(&Problem::set_timewindow_constraint, "set_timewindow_constraint",
                               "a TimeWindowConstraint"),
             py::arg("constraint"))
        .def(
            "add_precedence",
            [](Problem& p, py::handle before, py::handle after, py::handle type) {
                p.add_precedence(unsigned_value(before, "Problem.add_precedence: before"),
                                 unsigned_value(after, "Problem.add_precedence: after"),
                                 text_value(type, "Problem.add_precedence: type"));
            },
            py::arg("before"), py::arg("after"), py::arg("type") = "")
        .def("options", &Problem::options, py::return_value_policy::reference_internal)
        .def("nodes", &Problem::nodes, py::return_value_policy::reference_internal)
        .def("agents_ordered", &Problem::agents_ordered, py::return_value_policy::reference_internal);
}

}  // namespace dulmar
