// Processor-time stopwatch of the calling thread (CLOCK_THREAD_CPUTIME_ID):
// two solves in two threads each measure their own work. Every time inside
// the Solver is read from one of these, so start and read it on the thread
// that solves.
#pragma once

#include <cstdint>

namespace dulmar {

class SimpleTimer {
public:
    virtual ~SimpleTimer() = default;
    virtual void start();
    // Processor seconds this thread spent since start().
    virtual double elapsed() const;
    // Writes " System Clock Duration: <seconds>" and a newline to standard output.
    virtual void print_elapsed() const;

    int64_t ticks = 0;  // thread processor time at start(), in nanoseconds
};

}  // namespace dulmar
