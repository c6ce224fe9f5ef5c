#include "python/json_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/json_reader.h"
#include "driver/solve_driver.h"
#include "python/bindings.h"
#include "python/python_solve_control.h"
#include "python/result_dict.h"
#include "search/solver.h"

namespace py = pybind11;

namespace dulmar {

namespace {

const char* const kSolveFileDoc =
    "Solve an MTSP instance from a JSON file path.\nReturns a dict with keys: status, routes, statistics, anytime, "
    "timeout.";
const char* const kSolveStrDoc =
    "Solve an MTSP instance from a JSON string.\nReturns a dict with keys: status, routes, statistics, anytime, "
    "timeout.";

// Offset of the first byte from `from` on that breaks UTF-8, or npos when there is none.
size_t first_bad_utf8(std::string_view text, size_t from = 0) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = from;
    while (i < n) {
        const unsigned char b = bytes[i];
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (b < 0x80) {
            length = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        for (size_t k = 1; k < length; ++k) {
            if (i + k >= n) return i;
            const unsigned char c = bytes[i + k];
            if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return i;
        }
        i += length;
    }
    return std::string::npos;
}

std::string byte_text(unsigned char b) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", b);
    return hex;
}

// `text` with every byte that breaks UTF-8 written as \xNN, so Python can show it.
std::string printable(const std::string& text) {
    std::string out;
    size_t from = 0;
    for (size_t bad = first_bad_utf8(text); bad != std::string::npos; bad = first_bad_utf8(text, from)) {
        out.append(text, from, bad - from);
        out += "\\x" + byte_text(static_cast<unsigned char>(text[bad])).substr(2);
        from = bad + 1;
    }
    return out.append(text, from, std::string::npos);
}

// The parser would stop at a NUL and ignore the rest, and bytes that are not
// UTF-8 would end up in its error text: both are refused first, by offset.
void require_clean_text(std::string_view text, const std::string& source) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        throw nlohmann::json::parse_error::create(
            101, nul + 1, "syntax error while parsing " + source + " - NUL character at byte offset " +
                              std::to_string(nul),
            nullptr);
    }
    const size_t bad = first_bad_utf8(text);
    if (bad != std::string::npos) {
        throw std::invalid_argument(source + " is not UTF-8 text: byte " +
                                    byte_text(static_cast<unsigned char>(text[bad])) + " at byte offset " +
                                    std::to_string(bad));
    }
}

// Reads a regular file whole. Anything else (a FIFO, a device such as
// /dev/zero, a folder) is refused before a byte is read, since it may never end.
std::string read_regular_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        throw std::invalid_argument("file path holds a NUL character at position " +
                                    std::to_string(path.find('\0')));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("Cannot open file: " + path);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw std::invalid_argument("Cannot read " + path + ": not a regular file");
    }
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            throw std::runtime_error("Cannot read file: " + path);
        }
    }
    ::close(fd);
    return text;
}

// Freeing a search takes about 2 ms per megabyte it held (seconds for a long
// solve); past this size a thread of its own frees it, so that the caller,
// and a Ctrl-C, get the answer without waiting.
constexpr size_t kFreeAsideBytes = size_t{32} << 20;

void free_solver(std::unique_ptr<Solver> solver) {
    if (solver->search_memory.bytes < kFreeAsideBytes) return;
    try {
        std::thread([doomed = std::move(solver)]() mutable { doomed.reset(); }).detach();
    } catch (const std::exception&) {
        // No thread to spare (system_error, bad_alloc): the solver was freed right here instead.
    }
}

// The UTF-8 text of a str (Python's own cached encoding, not a copy) or a
// bytes object, valid while the object lives; the object is never changed.
std::string_view text_of(const py::object& value) {
    if (PyUnicode_Check(value.ptr())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (data != nullptr) return std::string_view(data, static_cast<size_t>(size));
        PyErr_Clear();
        // Only a lone surrogate keeps a str from being UTF-8.
        const Py_ssize_t length = PyUnicode_GetLength(value.ptr());
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_ReadChar(value.ptr(), i);
            if (c >= 0xD800 && c <= 0xDFFF) {
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
                throw std::invalid_argument("json_str holds a lone surrogate " + std::string(code) +
                                            " at character offset " + std::to_string(i) +
                                            ", which no JSON text may hold");
            }
        }
        throw std::invalid_argument("json_str is not valid Unicode text");
    }
    if (PyBytes_Check(value.ptr())) {
        return std::string_view(PyBytes_AS_STRING(value.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
    }
    throw py::type_error("json_str must be str, not " + std::string(py::str(py::type::of(value).attr("__name__"))));
}

// Every agent's timetable by position in add order (empty without a route).
std::vector<std::vector<Stop>> route_schedules(const Solver& solver, const Result& best) {
    const RouteEvaluator evaluator = solver.route_evaluator();
    std::vector<std::vector<Stop>> out(solver.agents.size());
    for (size_t a = 0; a < out.size(); ++a) {
        const auto path = best.paths.find(static_cast<int64_t>(a));
        if (path != best.paths.end()) out[a] = evaluator.schedule(path->second, a);
    }
    return out;
}

// The driver of both JSON functions; `source` names the text in errors. The
// text is a view; when `owned` holds it, it is freed once parsed, so a large
// instance's text and its solver's tables are never in memory together.
py::dict solve_text(std::string_view json_str, std::string* owned, double time_limit, py::object on_improvement,
                    const std::string& source) {
    if (std::isnan(time_limit)) throw std::invalid_argument("time_limit argument is nan");
    PythonSolveControl control(std::move(on_improvement));
    Problem problem;
    double solve_time = 0.0;
    Result best;
    std::vector<std::pair<double, Result>> snapshots;
    std::vector<std::vector<Stop>> schedules;
    {
        // Nothing in here touches a Python object: other threads run meanwhile.
        py::gil_scoped_release unlocked;
        require_clean_text(json_str, source);
        {
            // The document is freed before the Solver builds its tables.
            nlohmann::json document;
            try {
                document = nlohmann::json::parse(json_str);
            } catch (const nlohmann::json::exception& error) {
                // The message quotes the last bytes read, which may end inside a character.
                if (first_bad_utf8(error.what()) == std::string::npos) throw;
                throw std::runtime_error(printable(error.what()));
            }
            if (owned != nullptr) std::string().swap(*owned);
            read_problem_json(document, problem);
        }
        if (time_limit > 0.0) problem.solve_options.time_limit = time_limit;

        const auto t0 = std::chrono::system_clock::now();
        auto solver = std::make_unique<Solver>(problem, problem.solve_options);
        // On large instances the matrices are the biggest thing left; the Solver holds its own tables.
        decltype(problem.cost_matrices)().swap(problem.cost_matrices);
        {
            const PythonSolveControl::Attached attached(*solver, control);
            run_solve(*solver);
        }
        const auto t1 = std::chrono::system_clock::now();
        solve_time = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) / 1e9;

        best = solver->get_result();
        snapshots = solver->get_result_process();
        if (problem.solve_options.schedule) schedules = route_schedules(*solver, best);
        free_solver(std::move(solver));
    }
    const bool min_sum = problem.solve_options.objective == ObjectiveType::MinSum;
    py::dict out = build_result_dict(best, problem, solve_time);
    if (problem.solve_options.schedule) add_schedules(out, schedules);
    out["anytime"] = build_anytime_list(snapshots, min_sum);
    control.raise_pending(out);
    return out;
}

}  // namespace

py::dict solve_json_str(py::object json_str, double time_limit, py::object on_improvement) {
    return solve_text(text_of(json_str), nullptr, time_limit, std::move(on_improvement), "JSON text");
}

py::dict solve_json_file(const std::string& input_path, double time_limit, py::object on_improvement) {
    std::string text = read_regular_file(input_path);
    return solve_text(text, &text, time_limit, std::move(on_improvement), input_path);
}

void bind_json_entry(py::module_& module) {
    module.def("solve_json_file", &solve_json_file, kSolveFileDoc, py::arg("input_path"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
    module.def("solve_json_str", &solve_json_str, kSolveStrDoc, py::arg("json_str"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
}

}  // namespace dulmar
