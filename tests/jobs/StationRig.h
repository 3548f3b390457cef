// A station for job scenarios: a serial port mapped to a virtual modem, its link, a job modem,
// settings and a job context, as the view prepares them; and the receiving side's cycle of
// waiting for a call and running a receive job in a transfer window.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/GFSerial.h"
#include "comm/JobSerialPort.h"
#include "data/AppSettings.h"
#include "jobs/JobContext.h"
#include "jobs/JobOutcome.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/ModemDialogue.h"
#include "jobs/ReceiveJob.h"
#include "jobs/TransferWindow.h"
#include "platform/PostedMessages.h"
#include "platform/Registry.h"

namespace jobtest {

// A TCP port nobody listens on at the moment (bound once, then released).
inline int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

struct Station {
    Station(int comNumber, int listenPort, const std::string& name) {
        std::string target =
            "vmodem:listen=127.0.0.1:" + std::to_string(listenPort) + ";rate=unlimited";
        platform::WriteRegistryString(platform::HKEY_LOCAL_MACHINE,
                                      "Hardware\\DeviceMap\\SerialComm",
                                      "COM" + std::to_string(comNumber), target);
        port = std::make_unique<comm::JobSerialPort>(comNumber - 1, 16384, 8192);
        status = port->LastStatus();
        serial = std::make_unique<comm::GFSerial>(port.get());
        serial->Settings()->Apply(115200, 'N', 8, 1);
        modem = std::make_unique<jobs::JobModem>(serial.get());
        context.port = port.get();
        context.link = serial.get();
        context.modem = modem.get();
        modem->Watch(&context.requests);
        context.stationName = name;
        context.settings = &settings;
        settings.stationName = name;
        settings.numberOfAttempts = 3;
        settings.delayBetweenRedials = 1;
        settings.answerAfterRings = 1;
    }

    int status{0};
    data::AppSettings settings;
    std::unique_ptr<comm::JobSerialPort> port;
    std::unique_ptr<comm::GFSerial> serial;
    std::unique_ptr<jobs::JobModem> modem;
    jobs::JobContext context;
};

// What one answered call ended with.
struct AnsweredCall {
    int result{0};
    int errorCode{0};
    int filesDone{0};
    std::vector<data::FileRecord> records;
};

// The receiving side's loop, as the waiting dialog runs it: wait for a call, run the receive
// job in a transfer window, wait again; until the wait is stopped or fails.
class Answerer {
  public:
    Answerer(Station& station, std::string logPath)
        : m_station{station}, m_logPath{std::move(logPath)} {}

    // Runs on the calling thread; returns the wait's last result (kCallWaitAborted or
    // kCallWaitFailed).
    int Run() {
        for (;;) {
            auto queue = std::make_shared<platform::MessageQueue>();
            jobs::JobStatusBlock block{queue};
            block.Reporter().WatchRequests(&m_station.context.requests);
            jobs::JobThreadParameter parameter{{}, &block, &m_station.context};
            std::thread waiting([&] { jobs::WaitForCallThread(parameter); });
            std::optional<platform::PostedMessage> done;
            while (!(done = queue->Wait(100)) || done->id != jobs::WM_CALL_WAIT_DONE)
                done.reset();
            waiting.join();
            int result = static_cast<int>(done->second);
            if (result != jobs::kCallAnswered)
                return result;
            ++m_station.context.callsAnswered;
            jobs::TransferWindowLogic window(jobs::ReceiveJobThread, m_station.context, nullptr);
            window.SetLogPath(m_logPath);
            window.Open();
            window.Start();
            AnsweredCall call;
            call.result = window.RunModal();
            call.errorCode = window.Block().errorCode;
            call.filesDone = window.ShownFilesDone();
            call.records = window.FileRecords();
            {
                std::lock_guard lock(m_mutex);
                m_calls.push_back(std::move(call));
            }
            m_station.context.requests.Clear();
        }
    }

    std::vector<AnsweredCall> Calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

  private:
    Station& m_station;
    std::string m_logPath;
    mutable std::mutex m_mutex;
    std::vector<AnsweredCall> m_calls;
};

} // namespace jobtest
