#include "python/python_solve_control.h"

#include <Python.h>

#include "python/result_dict.h"
#include "search/solver.h"

namespace py = pybind11;

namespace dulmar {

namespace {

constexpr std::chrono::milliseconds kSignalCheckInterval{20};

// Signal handlers only ever run on the main thread; elsewhere the check would
// take the lock for nothing.
bool on_main_thread() {
    const py::object main_thread = py::module_::import("threading").attr("main_thread")();
    return py::int_(main_thread.attr("ident")).cast<unsigned long>() == PyThread_get_thread_ident();
}

}  // namespace

PythonSolveControl::PythonSolveControl(py::object on_improvement)
    : callback_(std::move(on_improvement)), check_signals_(on_main_thread()) {
    if (!callback_.is_none() && !PyCallable_Check(callback_.ptr())) {
        throw py::type_error("on_improvement must be callable or None, not " +
                             std::string(py::str(py::type::of(callback_).attr("__name__"))));
    }
}

StopReason PythonSolveControl::poll() {
    if (stop_ != StopReason::None || !check_signals_) return stop_;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_signal_check_) return StopReason::None;
    next_signal_check_ = now + kSignalCheckInterval;
    py::gil_scoped_acquire lock;
    if (PyErr_CheckSignals() == 0) return StopReason::None;
    error_ = std::make_unique<py::error_already_set>();
    stop_ = StopReason::Interrupted;
    return stop_;
}

bool PythonSolveControl::on_improvement(double time, double max_cost, double sum_cost) {
    if (error_) return false;
    if (callback_.is_none()) return true;
    py::gil_scoped_acquire lock;
    try {
        const py::object answer = callback_(anytime_entry(time, max_cost, sum_cost));
        // Only False stops; None and every other value go on.
        if (answer.ptr() != Py_False) return true;
        stop_ = StopReason::Callback;
    } catch (py::error_already_set& raised) {
        const bool interrupt = raised.matches(PyExc_KeyboardInterrupt);
        error_ = std::make_unique<py::error_already_set>(std::move(raised));
        stop_ = interrupt ? StopReason::Interrupted : StopReason::Callback;
    }
    return false;
}

PythonSolveControl::Attached::Attached(Solver& solver, PythonSolveControl& control)
    : solver_(solver), control_(control) {
    solver_.control = &control_;
}

PythonSolveControl::Attached::~Attached() {
    solver_.control = nullptr;
    // A Ctrl-C that reached the callable is an interruption, not the callable's own stop.
    if (control_.stop_ == StopReason::Interrupted && solver_.stop_reason == StopReason::Callback) {
        solver_.stop_reason = StopReason::Interrupted;
    }
}

void PythonSolveControl::raise_pending(py::handle partial) {
    // A signal that came after the last poll is raised here, with the result, not after the call without it.
    if (!error_ && check_signals_ && PyErr_CheckSignals() != 0) error_ = std::make_unique<py::error_already_set>();
    if (!error_) return;
    if (partial && !partial.is_none()) {
        if (PyObject_SetAttrString(error_->value().ptr(), "partial_result", partial.ptr()) != 0) PyErr_Clear();
    }
    throw *error_;
}

}  // namespace dulmar
