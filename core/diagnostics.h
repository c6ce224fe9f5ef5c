// Where the lines the core writes as it works go: by default the standard
// output and error streams, one line at a time; an embedding program may
// hand them to a sink of its own instead, or silence them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dulmar {

enum class DiagnosticStream { Out, Err };
enum class DiagnosticMode { Streams, Sink, Off };

// Receives each line without its line break. Called from whichever thread
// wrote the line, so it must be safe to call from any thread.
using DiagnosticSink = void (*)(DiagnosticStream stream, const std::string& line);

// Sink mode needs a sink; the others ignore it.
void set_diagnostics(DiagnosticMode mode, DiagnosticSink sink = nullptr);
DiagnosticMode diagnostic_mode();

void diagnostic(DiagnosticStream stream, const std::string& line);

// One line per id on the streams, "<prefix><id><suffix>"; a sink gets a single
// line instead, "<head>: <count> (ids 4, 9, ...)<tail>" with the first `shown`
// ids, so an instance of thousands of nodes reads as one line.
struct PerIdLine {
    std::string prefix;
    std::string suffix;
    std::string head;
    std::string tail;
};
void diagnostic_for_each(DiagnosticStream stream, const std::vector<size_t>& ids, const PerIdLine& text,
                         size_t shown = 10);

}  // namespace dulmar
