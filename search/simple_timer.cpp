#include "search/simple_timer.h"

#include <time.h>

#include <sstream>

#include "core/diagnostics.h"

namespace dulmar {

namespace {

int64_t thread_cpu_nanoseconds() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + static_cast<int64_t>(now.tv_nsec);
}

}  // namespace

void SimpleTimer::start() { ticks = thread_cpu_nanoseconds(); }

double SimpleTimer::elapsed() const { return static_cast<double>(thread_cpu_nanoseconds() - ticks) / 1e9; }

void SimpleTimer::print_elapsed() const {
    std::ostringstream line;
    line << " System Clock Duration: " << elapsed();
    diagnostic(DiagnosticStream::Out, line.str());
}

}  // namespace dulmar
