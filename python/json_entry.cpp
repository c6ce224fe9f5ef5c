#include "python/bindings.h"

namespace dulmar {

void bind_json_entry(pybind11::module_&) {}

}  // namespace dulmar
