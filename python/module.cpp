#include <pybind11/pybind11.h>

#include "python/bindings.h"

// The macro refuses to load into another Python minor version than the one
// built against; pybind11 3 registers the module with multi-phase init.
PYBIND11_MODULE(_vok_core, module) {
    module.doc() = "VOK MTSP Solver — C++ core bindings";
    dulmar::bind_problem_model(module);
    dulmar::bind_solver(module);
    dulmar::bind_json_entry(module);
}
