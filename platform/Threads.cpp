// Thread start with per-thread nice value (Linux schedules threads individually).
#include "platform/Threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr int kBelowNormalNiceStep = 5;
}

std::thread StartThread(ThreadPriority priority, std::function<void()> work) {
    return std::thread([priority, work = std::move(work)] {
        if (priority == ThreadPriority::BelowNormal) {
            // Only this thread is lowered: on Linux the nice value belongs to the thread id.
            pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
            int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
            setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + kBelowNormalNiceStep);
        }
        work();
    });
}

} // namespace platform
