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
void SetReturnToEnd(Options& options, bool value) { options.return_to_end = value; }
ObjectiveType GetObjective(const Options& options) { return options.objective; }
void SetObjective(Options& options, ObjectiveType value) { options.objective = value; }
double GetTimeLimit(const Options& options) { return options.time_limit; }
void SetTimeLimit(Options& options, double value) { options.time_limit = value; }
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
void SetMemoryLimitMb(Options& options, double value) { options.memory_limit_mb = value; }

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

    py::class_<Position>(module, "Position")
        .def(py::init<>())
        .def_readwrite("x", &Position::x)
        .def_readwrite("y", &Position::y)
        .def_readwrite("z", &Position::z);

    // def_readwrite hands out class-typed fields as views tied to their owner;
    // assigning copies the value in.
    py::class_<Node> node(module, "Node");
    node.def(py::init<>());
    unsigned_field(node, "id", &Node::id, "Node");
    node.def_readwrite("position", &Node::position)
        .def_readwrite("type", &Node::type)
        .def_readwrite("demand", &Node::demand)
        .def_readwrite("service", &Node::service);

    py::class_<Agent> agent(module, "Agent");
    agent.def(py::init<>());
    unsigned_field(agent, "id", &Agent::id, "Agent");
    agent.def_readwrite("type", &Agent::type);
    unsigned_field(agent, "start_node", &Agent::start_node, "Agent");
    unsigned_field(agent, "end_node", &Agent::end_node, "Agent");
    agent.def_readwrite("capacity_limit", &Agent::capacity_limit)
        .def_readwrite("time_limit", &Agent::time_limit);

    py::class_<Options>(module, "Options")
        .def(py::init<>())
        .def_property("return_to_end", &GetReturnToEnd, &SetReturnToEnd)
        .def_property("objective", &GetObjective, &SetObjective)
        .def_property("time_limit", &GetTimeLimit, &SetTimeLimit)
        .def_readwrite("improve", &Options::improve)
        .def_property(
            "seed", [](const Options& o) { return o.seed; },
            [](Options& o, py::handle value) { o.seed = signed_value(value, "Options.seed"); })
        .def_property(
            "improve_iterations", [](const Options& o) { return o.improve_iterations; }, &SetImproveIterations)
        .def_property("threads", [](const Options& o) { return o.threads; }, &SetThreads)
        .def_property("memory_limit_mb", &GetMemoryLimitMb, &SetMemoryLimitMb)
        .def_readwrite("enforce_capacity", &Options::enforce_capacity);

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
            [](TimeWindowConstraint& c, py::handle node, double start, double end) {
                c.set_timewindow(unsigned_value(node, "TimeWindowConstraint.set_timewindow: node"), start, end);
            },
            py::arg("node"), py::arg("start"), py::arg("end"));

    // options(), nodes() and agents_ordered() return views into the problem;
    // reference_internal keeps the problem alive while any of them exists
    // (for the lists, every element holds that reference).
    py::class_<Problem>(module, "Problem")
        .def(py::init<>())
        .def("add_node", &Problem::add_node, py::arg("node"))
        .def(
            "add_agent",
            [](Problem& p, const Agent& agent, py::handle id) {
                p.add_agent(agent, unsigned_value(id, "Problem.add_agent: id"));
            },
            py::arg("agent"), py::arg("id"))
        .def(
            "set_cost_matrix",
            [](Problem& p, const std::string& agent_type, py::handle matrix) {
                p.set_cost_matrix(agent_type, cost_matrix_value(matrix, "Problem.set_cost_matrix: matrix"));
            },
            py::arg("agent_type"), py::arg("matrix"))
        .def("set_cost_metric", &Problem::set_cost_metric, py::arg("agent_type"), py::arg("metric"),
             py::arg("factor") = 1.0, py::arg("round") = "")
        .def("set_assignment_constraint", &Problem::set_assignment_constraint, py::arg("constraint"))
        .def("set_timewindow_constraint", &Problem::set_timewindow_constraint, py::arg("constraint"))
        .def("options", &Problem::options, py::return_value_policy::reference_internal)
        .def("nodes", &Problem::nodes, py::return_value_policy::reference_internal)
        .def("agents_ordered", &Problem::agents_ordered, py::return_value_policy::reference_internal);
}

}  // namespace dulmar
