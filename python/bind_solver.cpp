#include "python/bindings.h"

namespace dulmar {

void bind_solver(pybind11::module_&) {}

}  // namespace dulmar
