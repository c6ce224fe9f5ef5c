// Registration routines of the _vok_core module, called in this order by the
// module definition so that every type exists before a signature names it.
#pragma once

#include <pybind11/pybind11.h>

namespace dulmar {

void bind_problem_model(pybind11::module_& module);  // enums, Position ... Problem
void bind_solver(pybind11::module_& module);         // Result, Solver
void bind_json_entry(pybind11::module_& module);     // solve_json_file, solve_json_str
void bind_diagnostics(pybind11::module_& module);    // set_diagnostics, diagnostics

}  // namespace dulmar
