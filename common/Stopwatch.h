#pragma once

#include <windows.h>

// Measures how long the stages of a run take.
class CStopwatch {
public:
    CStopwatch() noexcept;
    virtual ~CStopwatch() = default;

    // Seconds since the start, or since the previous lap.
    double Lap() noexcept;

private:
    LARGE_INTEGER m_frequency{};
    LARGE_INTEGER m_last{};
};
