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
#include <thread>

#include <nlohmann/json.hpp>

#include "core/json_reader.h"
#include "python/bindings.h"
#include "python/python_solve_control.h"
#include "search/anytime_filter.h"
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
size_t first_bad_utf8(const std::string& text, size_t from = 0) {
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
void require_clean_text(const std::string& text, const std::string& source) {
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

void add_schedules(py::dict& result, const std::vector<std::vector<Stop>>& schedules) {
    const py::list routes = result["routes"];
    for (size_t a = 0; a < routes.size() && a < schedules.size(); ++a) {
        py::list stops;
        for (const Stop& stop : schedules[a]) {
            py::dict entry;
            entry["node"] = py::int_(stop.node);
            entry["arrival"] = py::float_(stop.arrival);
            entry["wait"] = py::float_(stop.wait);
            entry["start"] = py::float_(stop.start);
            entry["departure"] = py::float_(stop.departure);
            entry["load"] = py::float_(stop.load);
            stops.append(entry);
        }
        routes[a]["schedule"] = stops;
    }
}

// The driver of both JSON functions; `source` names the text in errors.
py::dict solve_text(const std::string& json_str, double time_limit, py::object on_improvement,
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
            read_problem_json(document, problem);
        }
        if (time_limit > 0.0) problem.solve_options.time_limit = time_limit;

        const auto t0 = std::chrono::system_clock::now();
        auto solver = std::make_unique<Solver>(problem, problem.solve_options);
        // On large instances the matrices are the biggest thing left; the Solver holds its own tables.
        decltype(problem.cost_matrices)().swap(problem.cost_matrices);
        {
            const PythonSolveControl::Attached attached(*solver, control);
            solver->solve();
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

py::dict build_result_dict(const Result& result, const Problem& problem, double solve_time) {
    py::dict out;
    out["status"] = result.paths.empty() ? "failed" : "success";
    out["timeout"] = py::bool_(result.timeout);

    py::list routes;
    double sum_cost = 0.0;
    double max_cost = 0.0;
    const auto& ordered = problem.ordered_agents;
    for (size_t position = 0; position < ordered.size(); ++position) {
        // Routes are keyed by the agent's position in add order, whatever its id.
        const int64_t key = static_cast<int64_t>(position);
        py::dict route;
        route["agent_id"] = py::int_(static_cast<size_t>(ordered[position].id));
        py::list path;
        auto found_path = result.paths.find(key);
        if (found_path != result.paths.end()) {
            for (int64_t node : found_path->second) path.append(py::int_(node));
        }
        route["path"] = path;
        auto found_cost = result.times.find(key);
        const double cost = found_cost == result.times.end() ? 0.0 : found_cost->second;
        route["cost"] = py::float_(cost);
        sum_cost += cost;
        max_cost = std::max(max_cost, cost);
        routes.append(route);
    }
    out["routes"] = routes;

    py::dict statistics;
    statistics["solve_time"] = py::float_(solve_time);
    statistics["max_cost"] = py::float_(max_cost);
    statistics["sum_cost"] = py::float_(sum_cost);
    statistics["n_generated"] = py::int_(result.n_generated);
    statistics["n_expanded"] = py::int_(result.n_expanded);
    statistics["last_update_time"] = py::float_(result.last_update_time);
    statistics["improve_iterations"] = py::int_(result.improve_iterations);
    statistics["stop_reason"] = py::str(stop_reason_name(result.stop_reason));
    out["statistics"] = statistics;
    return out;
}

py::dict anytime_entry(double time, double max_cost, double sum_cost) {
    py::dict item;
    item["time"] = py::float_(time);
    item["max_cost"] = py::float_(max_cost);
    item["sum_cost"] = py::float_(sum_cost);
    return item;
}

py::list build_anytime_list(const std::vector<std::pair<double, Result>>& snapshots, bool min_sum) {
    py::list entries;
    AnytimeFilter filter(min_sum);
    for (const auto& [time, snapshot] : snapshots) {
        const CostTotals totals = cost_totals(snapshot);
        if (filter.admit(totals)) entries.append(anytime_entry(time, totals.max_cost, totals.sum_cost));
    }
    return entries;
}

py::dict solve_json_str(const std::string& json_str, double time_limit, py::object on_improvement) {
    return solve_text(json_str, time_limit, std::move(on_improvement), "JSON text");
}

py::dict solve_json_file(const std::string& input_path, double time_limit, py::object on_improvement) {
    return solve_text(read_regular_file(input_path), time_limit, std::move(on_improvement), input_path);
}

void bind_json_entry(py::module_& module) {
    module.def("solve_json_file", &solve_json_file, kSolveFileDoc, py::arg("input_path"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
    module.def("solve_json_str", &solve_json_str, kSolveStrDoc, py::arg("json_str"), py::arg("time_limit") = -1,
               py::kw_only(), py::arg("on_improvement") = py::none());
}

}  // namespace dulmar
