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
pybind11::dict solve_json_str(const std::string& json_str, double time_limit, pybind11::object on_improvement);
pybind11::dict solve_json_file(const std::string& input_path, double time_limit, pybind11::object on_improvement);
pybind11::dict build_result_dict(const Result& result, const Problem& problem, double solve_time);
pybind11::list build_anytime_list(const std::vector<std::pair<double, Result>>& snapshots, bool min_sum);
// One entry of the "anytime" list: {"time", "max_cost", "sum_cost"}.
pybind11::dict anytime_entry(double time, double max_cost, double sum_cost);

}  // namespace dulmar
