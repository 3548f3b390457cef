// The abstract link's last status and the process-wide open-count table.
#include "comm/ComLink.h"

#include <array>
#include <mutex>

#include "comm/StatusCodes.h"

namespace comm {
namespace {

std::mutex g_openMutex;
std::array<std::uint16_t, ComLink::kPortCount> g_openCounts{};

bool InTable(int port) {
    return port >= 0 && port < ComLink::kPortCount;
}

} // namespace

ComLink::ComLink(int port) : m_port{port} {}

ComLink::~ComLink() {
    if (m_countedOpen) {
        std::lock_guard lock(g_openMutex);
        if (g_openCounts[m_port] > 0)
            --g_openCounts[m_port];
    }
}

int ComLink::CountOpen() {
    if (!InTable(m_port))
        return kBadArgument;
    std::lock_guard lock(g_openMutex);
    if (g_openCounts[m_port] != 0)
        return kAlreadyOpen;
    ++g_openCounts[m_port];
    m_countedOpen = true;
    return kSuccess;
}

int ComLink::OpenCount(int port) {
    if (!InTable(port))
        return 0;
    std::lock_guard lock(g_openMutex);
    return g_openCounts[port];
}

int ComLink::TakeLastStatus() {
    int status = m_lastStatus;
    m_lastStatus = 0;
    return status;
}

} // namespace comm
