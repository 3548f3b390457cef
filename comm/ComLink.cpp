// Default behaviour of the abstract link and the process-wide open-count table.
#include "comm/ComLink.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "comm/StatusCodes.h"
#include "platform/FatalError.h"

namespace comm {
namespace {

std::mutex g_openMutex;
std::array<std::uint16_t, ComLink::kPortCount> g_openCounts{};

bool InTable(int port) {
    return port >= 0 && port < ComLink::kPortCount;
}

} // namespace

#define COMLINK_NOT_IMPLEMENTED() PureVirtualCalled(__FILE__, __LINE__)

void PureVirtualCalled(const char* file, int line) {
    char message[512];
    std::snprintf(message, sizeof message,
                  "Pure Virtual function called @%s,%d\nUnable to continue execution", file, line);
    platform::FatalError("Library Error", message);
}

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

int ComLink::Idle() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::ReadModemStatus() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::Open() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::OpenDevice() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::Close() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::GetQueueStatus(QueueStatus&) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::SetBufferSizes(long, long, long) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::SetHandshake(int, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::GetHandshake(int&, int&) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::SetBreak(int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::Line(int, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::SetLineParams(long, char, int, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::GetLineParams(long&, char&, int&, int&) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::GetLineStates(unsigned char*) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::WriteChar(int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::WriteString(const char*) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::WriteBuffer(const unsigned char*, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::SendImmediate(int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::ReadChar() {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::ReadBuffer(unsigned char*, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::Purge(int, int) {
    COMLINK_NOT_IMPLEMENTED();
}
int ComLink::PauseInput() {
    return kNotSupported;
}
int ComLink::ResumeInput() {
    return kNotSupported;
}

} // namespace comm
