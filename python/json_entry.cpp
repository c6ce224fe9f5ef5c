#include "python/json_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/excerpt.h"
#include "core/json_reader.h"
#include "core/stop_check.h"
#include "driver/solve_driver.h"
#include "python/bindings.h"
#include "python/conversions.h"
#include "python/python_solve_control.h"
#include "python/result_dict.h"
#include "python/solver_release.h"
#include "rules/plan_evaluator.h"
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

// Every this many bytes read or checked, and every this many parser events,
// the control is asked whether to stop.
constexpr size_t kPollBytes = size_t{1} << 20;
constexpr size_t kPollEvents = 4096;

// Offset of the first byte from `from` on that breaks UTF-8, or npos when
// there is none. With `limit`, the scan ends at the first character that
// starts at or after it and `*resume` tells where.
size_t first_bad_utf8(std::string_view text, size_t from = 0, size_t limit = std::string::npos,
                      size_t* resume = nullptr) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = from;
    while (i < n) {
        if (i >= limit) {
            *resume = i;
            return std::string::npos;
        }
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
    if (resume != nullptr) *resume = n;
    return std::string::npos;
}

// Bytes of the UTF-8 character that `lead` starts (1 for a byte that starts none).
size_t utf8_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
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
void require_clean_text(std::string_view text, const std::string& source, StopCheck* check) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        throw nlohmann::json::parse_error::create(
            101, nul + 1, "syntax error while parsing " + source + " - NUL character at byte offset " +
                              std::to_string(nul),
            nullptr);
    }
    size_t from = 0;
    while (from < text.size()) {
        const size_t bad = first_bad_utf8(text, from, from + kPollBytes, &from);
        if (bad != std::string::npos) {
            throw std::invalid_argument(source + " is not UTF-8 text: byte " +
                                        byte_text(static_cast<unsigned char>(text[bad])) + " at byte offset " +
                                        std::to_string(bad));
        }
        poll_or_stop(check);
    }
}

// A parse error's message with the text it quotes ("last read: '...'", or
// the number in "number overflow parsing '...'") cut to an excerpt and the
// bytes that break UTF-8 written out.
std::string parse_message(const char* what) {
    std::string message(what);
    std::string quote = "last read: '";
    size_t open = message.find(quote);
    if (open == std::string::npos) open = message.find(quote = "parsing '");
    if (open != std::string::npos && message.size() > open + quote.size() + kExcerptBytes + 1) {
        const size_t from = open + quote.size();
        const size_t close = message.rfind('\'');
        const std::string token = message.substr(from, close > from ? close - from : std::string::npos);
        message = message.substr(0, from) + excerpt(token) + message.substr(close > from ? close : message.size());
    }
    return printable(message);
}

// The document of `text`, asking `check` every few thousand parser events.
nlohmann::json parse_polling(std::string_view text, StopCheck* check) {
    size_t events = 0;
    const nlohmann::json::parser_callback_t poll = [&events, check](int, nlohmann::json::parse_event_t,
                                                                    nlohmann::json&) {
        if (++events % kPollEvents == 0) poll_or_stop(check);
        return true;
    };
    try {
        return nlohmann::json::parse(text, poll);
    } catch (const nlohmann::json::exception& error) {
        // A syntax error, or a number too large for a double.
        const std::string message = parse_message(error.what());
        if (message == error.what()) throw;
        throw std::runtime_error(message);
    }
}

bool json_start(unsigned char b) {
    return b == '{' || b == '[' || b == '"' || b == '-' || (b >= '0' && b <= '9') || b == 't' || b == 'f' ||
           b == 'n';
}

// Where reading may stop early: at a NUL, and at a first byte (after white
// space and a byte order mark) that no JSON text starts with. Either fails
// whatever follows, so the text read so far gives the same error as the
// whole file would, and a huge file of junk is not read whole.
class EarlyEnd {
public:
    // The length to keep of `text` (all of it to read on) after more was
    // appended; `at_end` when the file has no more.
    size_t keep(const std::string& text, size_t fresh_from, bool at_end) {
        const void* nul = std::memchr(text.data() + fresh_from, '\0', text.size() - fresh_from);
        if (nul != nullptr) return static_cast<size_t>(static_cast<const char*>(nul) - text.data()) + 1;
        if (decided_) return text.size();
        if (scanned_ == 0) {
            if (text.size() < 3 && !at_end) return text.size();
            if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) scanned_ = 3;
        }
        for (; scanned_ < text.size(); ++scanned_) {
            const auto b = static_cast<unsigned char>(text[scanned_]);
            if (b == ' ' || b == '\t' || b == '\n' || b == '\r') continue;
            if (json_start(b)) {
                decided_ = true;
                return text.size();
            }
            // The whole character, so that the UTF-8 check sees what it would see in the whole file.
            const size_t end = scanned_ + utf8_length(b);
            if (end > text.size() && !at_end) return text.size();
            return std::min(end, text.size());
        }
        return text.size();
    }

private:
    size_t scanned_ = 0;
    bool decided_ = false;
};

// Reads a regular file whole, or up to where EarlyEnd stops it. Anything else
// (a FIFO, a device such as /dev/zero, a folder) is refused before a byte is
// read, since it may never end. `check` is asked between blocks.
std::string read_regular_file(const std::string& path, StopCheck* check) {
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
    EarlyEnd early;
    size_t since_poll = 0;
    char buffer[1 << 16];
    try {
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw std::runtime_error("Cannot read file: " + path);
            const size_t before = text.size();
            text.append(buffer, static_cast<size_t>(got));
            const size_t keep = early.keep(text, before, got == 0);
            if (keep < text.size() || got == 0) {
                text.resize(keep);
                break;
            }
            since_poll += static_cast<size_t>(got);
            if (since_poll >= kPollBytes) {
                since_poll = 0;
                poll_or_stop(check);
            }
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return text;
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
    if (solver.instance->precedence().active()) {
        // Waits for precedence pairs depend on the other routes.
        std::vector<const Route*> plan(out.size(), nullptr);
        for (size_t a = 0; a < out.size(); ++a) {
            const auto path = best.paths.find(static_cast<int64_t>(a));
            if (path != best.paths.end()) plan[a] = &path->second;
        }
        return PlanEvaluator(evaluator).schedule(plan);
    }
    for (size_t a = 0; a < out.size(); ++a) {
        const auto path = best.paths.find(static_cast<int64_t>(a));
        if (path != best.paths.end()) out[a] = evaluator.schedule(path->second, a);
    }
    return out;
}

double seconds_since(std::chrono::system_clock::time_point t0) {
    const auto t1 = std::chrono::system_clock::now();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) / 1e9;
}

// The driver of both JSON functions: the JSON text is `json_str`, or, when
// `path` is given, that file's (read here, without the interpreter lock);
// `source` names the text in errors. A file's text is freed once parsed, so
// a large instance's text and its solver's tables are never in memory
// together. A Ctrl-C during set-up raises KeyboardInterrupt with a "failed"
// partial_result.
py::dict solve_text(std::string_view json_str, const std::string* path, double time_limit,
                    py::object on_improvement, const std::string& source) {
    if (std::isnan(time_limit)) throw std::invalid_argument("time_limit argument is nan");
    PythonSolveControl control(std::move(on_improvement));
    Problem problem;
    bool read_whole = false;
    double solve_time = 0.0;
    Result best;
    std::vector<std::pair<double, Result>> snapshots;
    std::vector<std::vector<Stop>> schedules;
    {
        // Nothing in here touches a Python object: other threads run meanwhile.
        py::gil_scoped_release unlocked;
        std::chrono::system_clock::time_point t0;
        // Reading and set-up count against the budget: the call is on time, not only the solve.
        SimpleTimer budget_clock;
        budget_clock.start();
        try {
            std::string owned;
            if (path != nullptr) {
                owned = read_regular_file(*path, &control);
                json_str = owned;
            }
            require_clean_text(json_str, source, &control);
            {
                // The document is freed before the Solver builds its tables.
                const nlohmann::json document = parse_polling(json_str, &control);
                std::string().swap(owned);
                read_problem_json(document, problem, &control);
            }
            read_whole = true;
            if (time_limit > 0.0) problem.solve_options.time_limit = time_limit;

            t0 = std::chrono::system_clock::now();
            auto solver = std::make_unique<Solver>(problem, problem.solve_options, &control);
            // On large instances the matrices are the biggest thing left; the Solver holds its own tables.
            decltype(problem.cost_matrices)().swap(problem.cost_matrices);
            // The search alone keeps its own clock: its budget and anytime times start with it.
            if (problem.solve_options.improve) solver->count_from(budget_clock);
            solver->keep_stage_routes = false;
            {
                const PythonSolveControl::Attached attached(*solver, control);
                run_solve(*solver);
            }
            solve_time = seconds_since(t0);

            best = solver->get_result();
            snapshots = solver->get_result_process();
            if (problem.solve_options.schedule) schedules = route_schedules(*solver, best);
            free_solver(std::move(solver));
        } catch (const SolveStopped& stopped) {
            best.stop_reason = stopped.reason;
            if (read_whole) solve_time = seconds_since(t0);
        }
    }
    // Stopped while reading: no agent is known for certain.
    if (!read_whole) problem = Problem();
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
    return solve_text({}, &input_path, time_limit, std::move(on_improvement), input_path);
}

void bind_json_entry(py::module_& module) {
    // time_limit is converted here: a mistyped one would otherwise quote the whole instance text.
    module.def(
        "solve_json_file",
        [](py::handle input_path, py::handle time_limit, py::object on_improvement) {
            return solve_json_file(text_value(input_path, "input_path"), number_value(time_limit, "time_limit"),
                                   std::move(on_improvement));
        },
        kSolveFileDoc, py::arg("input_path"), py::arg("time_limit") = -1, py::kw_only(),
        py::arg("on_improvement") = py::none());
    module.def(
        "solve_json_str",
        [](py::object json_str, py::handle time_limit, py::object on_improvement) {
            return solve_json_str(std::move(json_str), number_value(time_limit, "time_limit"),
                                  std::move(on_improvement));
        },
        kSolveStrDoc, py::arg("json_str"), py::arg("time_limit") = -1, py::kw_only(),
        py::arg("on_improvement") = py::none());
}

}  // namespace dulmar
