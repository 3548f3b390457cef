// The millisecond tick count and sleep that every wait in the system measures against.
// Tests may speed both up by a factor so that minutes-long waits take seconds.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the system tick count.
// Compare with TicksSince, never with "<" on two tick values.
std::uint32_t GetTickCount();

// Milliseconds elapsed since a value returned by GetTickCount (wrap-safe).
inline std::uint32_t TicksSince(std::uint32_t start) { return GetTickCount() - start; }

// Whether `ms` milliseconds have passed since `start`.
inline bool Expired(std::uint32_t start, long ms) {
    return static_cast<long>(TicksSince(start)) >= ms;
}
// Milliseconds left of a limit of `ms` counted from `start` (negative once it has passed).
inline long Remaining(std::uint32_t start, long ms) {
    return ms - static_cast<long>(TicksSince(start));
}

// Sleeps for the given number of (possibly accelerated) milliseconds; 0 yields the processor.
void Sleep(std::uint32_t ms);

// Makes time run `factor` times faster for GetTickCount and Sleep (1 = real time).
// The tick count stays continuous across a change of factor.
void SetTimeAcceleration(double factor);
double TimeAcceleration();

// Converts a span of accelerated milliseconds to real microseconds (at least 1 for a non-zero span).
std::int64_t RealMicroseconds(std::uint32_t ms);

// Scoped acceleration for tests: restores the previous factor on destruction.
class ScopedTimeAcceleration {
public:
    explicit ScopedTimeAcceleration(double factor) : m_previous { TimeAcceleration() } {
        SetTimeAcceleration(factor);
    }
    ~ScopedTimeAcceleration() { SetTimeAcceleration(m_previous); }
    ScopedTimeAcceleration(const ScopedTimeAcceleration&) = delete;
    ScopedTimeAcceleration& operator=(const ScopedTimeAcceleration&) = delete;

private:
    double m_previous;
};

} // namespace platform
