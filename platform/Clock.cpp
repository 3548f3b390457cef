// Monotonic tick count and sleep with an optional test acceleration factor.
#include "platform/Clock.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
    std::mutex mutex;
    double factor { 1.0 };
    SteadyClock::time_point realBase { SteadyClock::now() };
    double tickBase { 0.0 }; // accelerated milliseconds at realBase
};

ClockState& State() {
    static ClockState state;
    return state;
}

double TicksAt(const ClockState& s, SteadyClock::time_point now) {
    std::chrono::duration<double, std::milli> real = now - s.realBase;
    return s.tickBase + real.count() * s.factor;
}

} // namespace

std::uint32_t GetTickCount() {
    ClockState& s = State();
    std::lock_guard lock(s.mutex);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(TicksAt(s, SteadyClock::now())));
}

void SetTimeAcceleration(double factor) {
    if (!(factor > 0.0))
        factor = 1.0;
    ClockState& s = State();
    std::lock_guard lock(s.mutex);
    auto now = SteadyClock::now();
    s.tickBase = TicksAt(s, now);
    s.realBase = now;
    s.factor = factor;
}

double TimeAcceleration() {
    ClockState& s = State();
    std::lock_guard lock(s.mutex);
    return s.factor;
}

std::int64_t RealMicroseconds(std::uint32_t ms) {
    if (ms == 0)
        return 0;
    auto us = static_cast<std::int64_t>(ms * 1000.0 / TimeAcceleration());
    return us > 0 ? us : 1;
}

void Sleep(std::uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(RealMicroseconds(ms)));
}

} // namespace platform
