#include "python/conversions.h"

#include <limits>

#include "core/excerpt.h"

namespace py = pybind11;

namespace dulmar {

namespace {

PyObject* range_error = nullptr;

// An int as a message shows it: whole when short, else by its size (Python
// refuses to print ints of thousands of digits).
std::string int_text(py::handle number) {
    const auto bits = number.attr("bit_length")().cast<size_t>();
    if (bits > 256) return "an int of " + std::to_string(bits) + " bits";
    return py::str(number);
}

[[noreturn]] void out_of_range(py::handle number, const std::string& what, const char* range) {
    const std::string message = what + " " + int_text(number) + " is outside the range of " + range;
    PyErr_SetString(range_error, message.c_str());
    throw py::error_already_set();
}

py::object whole_number(py::handle value, const std::string& what) {
    if (!PyIndex_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
        throw py::type_error(what + " must be an int, not " + type_name(value));
    }
    PyObject* number = PyNumber_Index(value.ptr());
    if (number == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(number);
}

// A row of a matrix or an element list: any sequence but text.
bool is_list(py::handle value) {
    return PySequence_Check(value.ptr()) && !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) &&
           !PyByteArray_Check(value.ptr());
}

std::string shown(py::handle value) {
    try {
        return excerpt(py::repr(value).cast<std::string>()) + " (" + type_name(value) + ")";
    } catch (const py::error_already_set&) {
        return "a " + type_name(value);
    }
}

}  // namespace

std::string type_name(py::handle value) { return py::str(py::type::of(value).attr("__name__")); }

std::string text_value(py::handle value, const std::string& what) {
    if (PyUnicode_Check(value.ptr())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (data == nullptr) {
            PyErr_Clear();
            throw py::value_error(what + " holds a lone surrogate, which no UTF-8 text may hold");
        }
        return std::string(data, static_cast<size_t>(size));
    }
    if (PyBytes_Check(value.ptr())) return std::string(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()));
    throw py::type_error(what + " must be a str, not " + type_name(value));
}

void bind_conversions(py::module_& module) {
    if (range_error == nullptr) {
        PyObject* bases = PyTuple_Pack(2, PyExc_ValueError, PyExc_TypeError);
        if (bases == nullptr) throw py::error_already_set();
        range_error = PyErr_NewException("_vok_core.RangeError", bases, nullptr);
        Py_DECREF(bases);
        if (range_error == nullptr) throw py::error_already_set();
    }
    module.attr("RangeError") = py::handle(range_error);
}

uint64_t unsigned_value(py::handle value, const std::string& what) {
    constexpr const char* kRange = "an unsigned 64-bit integer (0 to 18446744073709551615)";
    const py::object number = whole_number(value, what);
    if (PyObject_RichCompareBool(number.ptr(), py::int_(0).ptr(), Py_LT) == 1) out_of_range(number, what, kRange);
    const unsigned long long result = PyLong_AsUnsignedLongLong(number.ptr());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        out_of_range(number, what, kRange);
    }
    return result;
}

int64_t signed_value(py::handle value, const std::string& what) {
    constexpr const char* kRange = "a 64-bit integer (-9223372036854775808 to 9223372036854775807)";
    const py::object number = whole_number(value, what);
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0) out_of_range(number, what, kRange);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

double number_value(py::handle value, const std::string& what) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr()) &&
        !PyObject_HasAttrString(value.ptr(), "__float__")) {
        throw py::type_error(what + " must be a number, not " + type_name(value));
    }
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

CostMatrix cost_matrix_value(py::handle value, const std::string& what) {
    if (!is_list(value)) throw py::type_error(what + " must be a list of rows of numbers, not " + type_name(value));
    const py::sequence rows = py::reinterpret_borrow<py::sequence>(value);
    CostMatrix matrix;
    matrix.reserve(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
        const py::object row = rows[r];
        if (!is_list(row)) {
            throw py::type_error(what + ": row " + std::to_string(r) + " is " + shown(row) +
                                 ", not a list of numbers");
        }
        const py::sequence entries = py::reinterpret_borrow<py::sequence>(row);
        std::vector<double> out;
        out.reserve(entries.size());
        for (size_t c = 0; c < entries.size(); ++c) {
            const py::object entry = entries[c];
            if (PyFloat_CheckExact(entry.ptr())) {
                out.push_back(PyFloat_AS_DOUBLE(entry.ptr()));
                continue;
            }
            const bool numeric = PyFloat_Check(entry.ptr()) || PyLong_Check(entry.ptr()) ||
                                 PyIndex_Check(entry.ptr()) || PyObject_HasAttrString(entry.ptr(), "__float__");
            const double cost = numeric && !PyUnicode_Check(entry.ptr()) ? PyFloat_AsDouble(entry.ptr()) : -1.0;
            if (!numeric || PyUnicode_Check(entry.ptr()) || (cost == -1.0 && PyErr_Occurred())) {
                PyErr_Clear();
                throw py::type_error(what + ": row " + std::to_string(r) + ", column " + std::to_string(c) + " is " +
                                     shown(entry) + ", not a number");
            }
            out.push_back(cost);
        }
        matrix.push_back(std::move(out));
    }
    return matrix;
}

std::vector<std::string> string_list_value(py::handle value, const std::string& what) {
    if (!is_list(value)) throw py::type_error(what + " must be a list of str, not " + type_name(value));
    const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
    std::vector<std::string> out;
    out.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const py::object item = items[i];
        if (!PyUnicode_Check(item.ptr())) {
            throw py::type_error(what + "[" + std::to_string(i) + "] is " + shown(item) + ", not a str");
        }
        out.push_back(item.cast<std::string>());
    }
    return out;
}

}  // namespace dulmar
