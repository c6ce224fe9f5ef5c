#include <pybind11/stl.h>

#include "core/problem.h"
#include "core/result.h"
#include "python/bindings.h"
#include "search/solver.h"

namespace py = pybind11;

namespace dulmar {

void bind_solver(py::module_& module) {
    py::class_<Result>(module, "Result")
        .def_property_readonly("n_generated", [](const Result& r) { return r.n_generated; })
        .def_property_readonly("n_expanded", [](const Result& r) { return r.n_expanded; })
        .def_property_readonly("timeout", [](const Result& r) { return r.timeout; })
        .def_property_readonly("last_update_time", [](const Result& r) { return r.last_update_time; })
        .def_property_readonly("paths", [](const Result& r) { return r.paths; })
        .def_property_readonly("times", [](const Result& r) { return r.times; })
        .def_property_readonly("improve_iterations", [](const Result& r) { return r.improve_iterations; });

    py::class_<Solver>(module, "Solver")
        .def(py::init<const Problem&, Options>(), py::arg("problem"), py::arg("options"))
        .def("solve", &Solver::solve, "Run the VOK solver. Returns 1 on success, 0 on failure.")
        .def("get_result", &Solver::get_result)
        .def("get_result_process", &Solver::get_result_process);
}

}  // namespace dulmar
