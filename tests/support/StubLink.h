// A base for the links tests and fuzz targets write for one purpose: every operation they
// leave out answers kNotSupported, so each such link names only what it does.
#pragma once

#include "comm/ComLink.h"
#include "comm/StatusCodes.h"

namespace testsupport {

class StubLink : public comm::ComLink {
  public:
    using ComLink::ComLink;

    int Idle() override { return comm::kNotSupported; }
    int ReadModemStatus() override { return comm::kNotSupported; }
    int Open() override { return comm::kNotSupported; }
    int OpenDevice() override { return comm::kNotSupported; }
    int Close() override { return comm::kNotSupported; }
    int GetQueueStatus(comm::QueueStatus&) override { return comm::kNotSupported; }
    int SetBufferSizes(long, long, long) override { return comm::kNotSupported; }
    int SetHandshake(int, int) override { return comm::kNotSupported; }
    int GetHandshake(int&, int&) override { return comm::kNotSupported; }
    int SetBreak(int) override { return comm::kNotSupported; }
    int Line(int, int) override { return comm::kNotSupported; }
    int SetLineParams(long, char, int, int) override { return comm::kNotSupported; }
    int GetLineParams(long&, char&, int&, int&) override { return comm::kNotSupported; }
    int GetLineStates(unsigned char[4]) override { return comm::kNotSupported; }
    int WriteChar(int) override { return comm::kNotSupported; }
    int WriteString(const char*) override { return comm::kNotSupported; }
    int WriteBuffer(const unsigned char*, int) override { return comm::kNotSupported; }
    int SendImmediate(int) override { return comm::kNotSupported; }
    int ReadChar() override { return comm::kNotSupported; }
    int ReadBuffer(unsigned char*, int) override { return comm::kNotSupported; }
    int Purge(int, int) override { return comm::kNotSupported; }
};

} // namespace testsupport
