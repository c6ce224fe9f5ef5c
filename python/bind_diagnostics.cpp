#include <stdexcept>
#include <string>

#include <Python.h>

#include "core/diagnostics.h"
#include "core/excerpt.h"
#include "python/bindings.h"
#include "python/conversions.h"

namespace py = pybind11;

namespace dulmar {

namespace {

constexpr int kDebug = 10;
constexpr int kWarning = 30;
constexpr int kError = 40;

// Hands a line to the Python logger "vok": standard-output lines at DEBUG,
// standard-error lines at WARNING, the graph's "[ERROR]" lines at ERROR. A
// failure to log must never disturb the solve that wrote the line.
void to_logging(DiagnosticStream stream, const std::string& line) {
    if (Py_IsInitialized() == 0 || _Py_IsFinalizing()) return;
    py::gil_scoped_acquire lock;
    int level = stream == DiagnosticStream::Err ? kWarning : kDebug;
    if (line.rfind("[ERROR]", 0) == 0) level = kError;
    try {
        py::module_::import("logging").attr("getLogger")("vok").attr("log")(level, line);
    } catch (py::error_already_set& failure) {
        failure.discard_as_unraisable("vok diagnostics");
    }
}

const char* mode_name(DiagnosticMode mode) {
    switch (mode) {
        case DiagnosticMode::Streams: return "streams";
        case DiagnosticMode::Sink: return "logging";
        case DiagnosticMode::Off: return "off";
    }
    return "streams";
}

std::string set_mode(py::handle given) {
    const std::string mode = text_value(given, "set_diagnostics: mode");
    const std::string previous = mode_name(diagnostic_mode());
    if (mode == "streams") {
        set_diagnostics(DiagnosticMode::Streams);
    } else if (mode == "logging") {
        set_diagnostics(DiagnosticMode::Sink, &to_logging);
    } else if (mode == "off") {
        set_diagnostics(DiagnosticMode::Off);
    } else {
        throw std::invalid_argument("diagnostics mode \"" + excerpt(mode) +
                                    "\" is none of \"streams\", \"logging\", \"off\"");
    }
    return previous;
}

}  // namespace

void bind_diagnostics(py::module_& module) {
    module.def("set_diagnostics", &set_mode,
               "Choose where the solver's diagnostic lines go: \"streams\" (standard output and error, the\n"
               "default), \"logging\" (the Python logger \"vok\"; per-node warnings become one line) or \"off\".\n"
               "Returns the previous mode.",
               py::arg("mode"));
    module.def("diagnostics", [] { return std::string(mode_name(diagnostic_mode())); },
               "The current diagnostics mode: \"streams\", \"logging\" or \"off\".");
}

}  // namespace dulmar
