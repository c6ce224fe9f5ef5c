// Processor-time stopwatch (clock()); every time inside the Solver is read
// from one of these.
#pragma once

#include <cstdint>

namespace dulmar {

class SimpleTimer {
public:
    virtual ~SimpleTimer() = default;
    virtual void start();
    // Processor seconds since start().
    virtual double elapsed() const;
    // Writes " System Clock Duration: <seconds>" and a newline to standard output.
    virtual void print_elapsed() const;

    int64_t ticks = 0;
};

}  // namespace dulmar
