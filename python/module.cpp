#include <stdexcept>

#include <Python.h>
#include <pybind11/pybind11.h>

#include "python/bindings.h"
#include "python/conversions.h"

namespace {

// Lookups of unknown ids fail with std::out_of_range. Python sees it as an
// error that is both an IndexError (the binding library's usual mapping) and
// a RuntimeError (what every other failure of the solver is).
void translate_lookup_failures() {
    static PyObject* lookup_failure = nullptr;
    if (lookup_failure == nullptr) {
        PyObject* bases = PyTuple_Pack(2, PyExc_IndexError, PyExc_RuntimeError);
        if (bases == nullptr) throw pybind11::error_already_set();
        lookup_failure = PyErr_NewException("_vok_core.LookupFailure", bases, nullptr);
        Py_DECREF(bases);
        if (lookup_failure == nullptr) throw pybind11::error_already_set();
    }
    pybind11::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const std::out_of_range& error) {
            PyErr_SetString(lookup_failure, error.what());
        }
    });
}

}  // namespace

// The macro refuses to load into another Python minor version than the one
// built against; pybind11 3 registers the module with multi-phase init.
PYBIND11_MODULE(_vok_core, module) {
    module.doc() = "VOK MTSP Solver — C++ core bindings";
    translate_lookup_failures();
    dulmar::bind_conversions(module);
    dulmar::bind_problem_model(module);
    dulmar::bind_solver(module);
    dulmar::bind_json_entry(module);
    dulmar::bind_diagnostics(module);
}
