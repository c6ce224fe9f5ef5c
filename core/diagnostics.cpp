#include "core/diagnostics.h"

#include <atomic>
#include <iostream>

namespace dulmar {

namespace {

std::atomic<DiagnosticMode> g_mode{DiagnosticMode::Streams};
std::atomic<DiagnosticSink> g_sink{nullptr};

}  // namespace

void set_diagnostics(DiagnosticMode mode, DiagnosticSink sink) {
    if (mode == DiagnosticMode::Sink && sink == nullptr) mode = DiagnosticMode::Streams;
    g_sink.store(sink);
    g_mode.store(mode);
}

DiagnosticMode diagnostic_mode() { return g_mode.load(); }

void diagnostic(DiagnosticStream stream, const std::string& line) {
    switch (g_mode.load()) {
        case DiagnosticMode::Streams:
            (stream == DiagnosticStream::Out ? std::cout : std::cerr) << line << std::endl;
            return;
        case DiagnosticMode::Sink:
            if (const DiagnosticSink sink = g_sink.load()) sink(stream, line);
            return;
        case DiagnosticMode::Off:
            return;
    }
}

void diagnostic_for_each(DiagnosticStream stream, const std::vector<size_t>& ids, const PerIdLine& text,
                         size_t shown) {
    if (ids.empty()) return;
    const DiagnosticMode mode = g_mode.load();
    if (mode == DiagnosticMode::Off) return;
    if (mode == DiagnosticMode::Streams) {
        for (size_t id : ids) diagnostic(stream, text.prefix + std::to_string(id) + text.suffix);
        return;
    }
    std::string line = text.head + ": " + std::to_string(ids.size()) + " (" + (ids.size() == 1 ? "id " : "ids ");
    for (size_t i = 0; i < ids.size() && i < shown; ++i) line += (i > 0 ? ", " : "") + std::to_string(ids[i]);
    if (ids.size() > shown) line += ", ...";
    diagnostic(stream, line + ")" + text.tail);
}

}  // namespace dulmar
