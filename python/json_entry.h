// The one-call road: JSON text in, result dictionary out.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/problem.h"
#include "core/result.h"

namespace dulmar {

// `on_improvement` is None or a callable that gets each anytime entry as it is
// found; see PythonSolveControl.
// `json_str` is a str (or bytes) of JSON text.
pybind11::dict solve_json_str(pybind11::object json_str, double time_limit, pybind11::object on_improvement);
pybind11::dict solve_json_file(const std::string& input_path, double time_limit, pybind11::object on_improvement);

}  // namespace dulmar
