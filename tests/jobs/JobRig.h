// One end of a job for tests: a link adaptor, a job modem and a job context on one end of a
// loopback pair, with a status block that posts to a message queue.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "comm/GFSerial.h"
#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/ModemDialogue.h"
#include "platform/Clock.h"
#include "platform/PostedMessages.h"
#include "tests/support/LoopbackLink.h"
#include "tests/support/ScriptedModem.h"

namespace jobtest {

struct JobRig {
    explicit JobRig(testsupport::LoopbackLink& end) : serial{&end}, modem{&serial} {
        context.port = &end;
        context.link = &serial;
        context.modem = &modem;
        modem.Watch(&context.requests);
        block.Reporter().WatchRequests(&context.requests);
    }

    // The status ids posted so far, in order.
    std::vector<int> PostedStatuses() {
        std::vector<int> ids;
        while (auto message = window->TryTake())
            if (message->id == jobs::WM_JOB_STATUS)
                ids.push_back(static_cast<int>(message->first));
        return ids;
    }

    comm::GFSerial serial;
    jobs::JobModem modem;
    jobs::JobContext context;
    std::shared_ptr<platform::MessageQueue> window{std::make_shared<platform::MessageQueue>()};
    jobs::JobStatusBlock block{window};
};

using Request = jobs::JobRequests::Request;

// Presses Stop after `ms` clock milliseconds, as the user would; `setAt` is when.
inline std::thread StopAfter(jobs::JobRequests& requests, std::uint32_t ms, std::uint32_t& setAt) {
    requests.Clear();
    return std::thread([&requests, ms, &setAt] {
        platform::Sleep(ms);
        setAt = platform::GetTickCount();
        requests.RequestStop();
    });
}

using LinkPair = std::pair<std::unique_ptr<testsupport::LoopbackLink>,
                           std::unique_ptr<testsupport::LoopbackLink>>;

// A job end and a scripted modem (or peer) on the two ends of a loopback pair.
struct RigAndPeer {
    RigAndPeer() : pair{testsupport::MakeLoopbackPair()}, rig{*pair.first}, peer{*pair.second} {}

    LinkPair pair;
    JobRig rig;
    testsupport::ScriptedModem peer;
};

// The non-empty lines among those a scripted peer received.
template <typename Lines> std::vector<std::string> TextLines(const Lines& lines) {
    std::vector<std::string> texts;
    for (const auto& line : lines)
        if (!line.text.empty())
            texts.push_back(line.text);
    return texts;
}

} // namespace jobtest
