// The result dictionary of the JSON road and its "anytime" entries, built
// from a Solver's Result and anytime record.
#pragma once

#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/problem.h"
#include "core/result.h"
#include "rules/route_evaluator.h"

namespace dulmar {

pybind11::dict build_result_dict(const Result& result, const Problem& problem, double solve_time);
pybind11::list build_anytime_list(const std::vector<std::pair<double, Result>>& snapshots, bool min_sum);
// One entry of the "anytime" list: {"time", "max_cost", "sum_cost"}.
pybind11::dict anytime_entry(double time, double max_cost, double sum_cost);
// Adds each route's timetable (by position in add order) to its route dictionary.
void add_schedules(pybind11::dict& result, const std::vector<std::vector<Stop>>& schedules);

}  // namespace dulmar
