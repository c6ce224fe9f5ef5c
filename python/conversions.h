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

// A str (or bytes, as the binding library takes them) as UTF-8; TypeError
// naming `what` for anything else, ValueError for a str with a lone surrogate.
std::string text_value(pybind11::handle value, const std::string& what);

// The name of the value's type, for messages.
std::string type_name(pybind11::handle value);

// `value` converted as the binding library converts an argument of type T
// (a class, an enum, a number, a bool); one it refuses raises TypeError
// naming `what` and `expected` ("a Node") instead of quoting the value whole.
template <class T>
T checked_value(pybind11::handle value, const std::string& what, const char* expected) {
    try {
        return value.cast<T>();
    } catch (const pybind11::cast_error&) {
        throw pybind11::type_error(what + " must be " + expected + ", not " + type_name(value));
    }
}

// A read-write member whose setter converts with checked_value and whose
// getter is the binding library's own (a view into the object for a class).
template <class Class, class Field>
void checked_member(pybind11::class_<Class>& cls, const char* name, Field Class::*member, const std::string& owner,
                    const char* expected) {
    const std::string what = owner + "." + name;
    const pybind11::cpp_function get([member](const Class& self) -> const Field& { return self.*member; },
                                     pybind11::is_method(cls));
    const pybind11::cpp_function set(
        [member, what, expected](Class& self, pybind11::handle value) {
            self.*member = checked_value<Field>(value, what, expected);
        },
        pybind11::is_method(cls));
    cls.def_property(name, get, set, pybind11::return_value_policy::reference_internal);
}

}  // namespace dulmar
