#pragma once

#include <climits>

// Lets the given number of further allocations through operator new succeed, on any thread, and
// makes every one after them throw std::bad_alloc, for the object's lifetime. Running a piece of
// code once for every count up to the number it needs makes memory run out at each of its
// allocations in turn; a limit of LONG_MAX only counts them. Nothing may be asserted inside the
// scope: the test framework allocates.
class CAllocationLimit {
public:
    explicit CAllocationLimit(long allowed);
    CAllocationLimit(const CAllocationLimit&) = delete;
    CAllocationLimit& operator=(const CAllocationLimit&) = delete;
    ~CAllocationLimit();

    // Whether an allocation was refused.
    bool WasReached() const;
    // How many allocations were asked for so far.
    long GetCount() const;
};
