#include "common/Stopwatch.h"

CStopwatch::CStopwatch() noexcept {
    QueryPerformanceFrequency(&m_frequency);
    QueryPerformanceCounter(&m_last);
}

double CStopwatch::Lap() noexcept {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const double seconds =
        static_cast<double>(now.QuadPart - m_last.QuadPart) / m_frequency.QuadPart;
    m_last = now;
    return seconds;
}
