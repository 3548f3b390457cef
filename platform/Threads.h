// Worker threads. A worker "below normal priority" runs with a raised nice value so the
// user interface stays responsive while a transfer moves data.
#pragma once

#include <functional>
#include <thread>

namespace platform {

enum class ThreadPriority { Normal, BelowNormal };

// Starts `work` on a new thread with the given priority.
std::thread StartThread(ThreadPriority priority, std::function<void()> work);

} // namespace platform
