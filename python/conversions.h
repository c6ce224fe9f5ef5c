// Conversions of Python arguments that say what was wrong in a line of their
// own, instead of the binding library's "incompatible function arguments"
// with every argument quoted whole (a cost matrix, an instance's text).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/problem.h"

namespace dulmar {

// Registers _vok_core.RangeError: an integer outside its field's range. It is
// a ValueError (a wrong value) and a TypeError (what such a value raised
// before it had a message of its own).
void bind_conversions(pybind11::module_& module);

// `value` as a whole number of the field `what` (e.g. "Node.id"): an int or
// anything with __index__; others raise TypeError, values outside the range
// RangeError naming it.
uint64_t unsigned_value(pybind11::handle value, const std::string& what);
int64_t signed_value(pybind11::handle value, const std::string& what);

// A number of seconds, or TypeError naming `what`.
double number_value(pybind11::handle value, const std::string& what);

// A list of rows of numbers; TypeError naming the row and column of a bad entry.
CostMatrix cost_matrix_value(pybind11::handle value, const std::string& what);

// A list of str; TypeError naming the position of a bad element.
std::vector<std::string> string_list_value(pybind11::handle value, const std::string& what);

}  // namespace dulmar
