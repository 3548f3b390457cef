// Preparing a job: the port opened at the chosen speed and flow control, the context filled,
// and a port that cannot be opened explained as the "Opening Port" failure.
#include "jobs/JobPreparation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

using namespace jobs;

namespace {
void MapPort(int com, const std::string& target) {
    platform::WriteRegistryString(platform::HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm",
                                  "COM" + std::to_string(com), target);
}
} // namespace

TEST(JobPreparation, FillsTheContextAndAppliesSpeedAndFlowControl) {
    testsupport::TempDir dir;
    MapPort(4, "vmodem:listen=127.0.0.1:0");
    data::AppSettings settings;
    settings.maximumSpeed = 6; // 115200
    settings.flowControl = data::kFlowHardware;
    settings.speakerVolume = 2;
    settings.stationName = "Harbour Office";
    settings.stationPhoneNumber = "555-0100";
    settings.extraSettings = "&K3";
    comm::ResponseTable responses;
    responses.push_back(std::make_unique<ModemResponse>(ModemResponse{"CONNECT", 2, 0, 0, 57600}));

    PrepareResult prepared = PrepareTransferJob(settings, 4, comm::DefaultModemProfile(),
                                                settings.extraSettings, responses, true);
    ASSERT_NE(prepared.job, nullptr) << prepared.failure.text;
    PreparedJob& job = *prepared.job;
    long baud;
    char parity;
    int data, stop, in, out;
    job.port->GetLineParams(baud, parity, data, stop);
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(parity, 'N');
    job.port->GetHandshake(in, out);
    EXPECT_EQ(in, 4);
    EXPECT_EQ(out, 12);
    EXPECT_EQ(job.context.isSend, 1);
    EXPECT_EQ(job.context.speakerMode, 2);
    EXPECT_EQ(job.context.stationName, "Harbour Office");
    EXPECT_EQ(job.context.extraSettings, "&K3");
    ASSERT_EQ(job.context.responses.size(), 1u);
    EXPECT_EQ(job.context.responses[0]->ConnectionSpeed(), 57600);
    EXPECT_NE(job.context.responses[0].get(), responses[0].get()); // the job owns its copy
    EXPECT_EQ(job.context.link, job.link.get());
    EXPECT_EQ(job.context.modem, job.modem.get());
}

TEST(JobPreparation, PortFailuresBecomeOpeningPortMessages) {
    testsupport::TempDir dir;
    data::AppSettings settings;
    MapPort(3, "/nonexistent/serial/device");
    PrepareResult missing = PrepareTransferJob(settings, 3, comm::DefaultModemProfile(),
                                               settings.extraSettings, {}, true);
    EXPECT_EQ(missing.job, nullptr);
    EXPECT_EQ(missing.failure.stringId, 50241);

    MapPort(2, "vmodem:listen=127.0.0.1:0");
    PrepareResult first = PrepareTransferJob(settings, 2, comm::DefaultModemProfile(),
                                             settings.extraSettings, {}, false);
    ASSERT_NE(first.job, nullptr);
    PrepareResult second = PrepareTransferJob(settings, 2, comm::DefaultModemProfile(),
                                              settings.extraSettings, {}, false);
    EXPECT_EQ(second.job, nullptr);
    EXPECT_EQ(second.failure.stringId, 50228);
    EXPECT_EQ(second.failure.kind, MessageKind::TimedMessage);
}

TEST(JobPreparation, FilesThatCannotBeSentAreNamedBeforeDialling) {
    testsupport::TempDir dir;
    const std::string good = dir.WriteFile("good.txt", "fine");
    const std::string huge = dir.WriteFile("huge.bin", "");
    ASSERT_EQ(::truncate(huge.c_str(), (4LL << 30)), 0); // one byte past 4 GiB - 1, sparse
    const std::string fits = dir.WriteFile("fits.bin", "");
    ASSERT_EQ(::truncate(fits.c_str(), (4LL << 30) - 1), 0);
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string gone = dir / "gone.txt";
    EXPECT_EQ(FilesThatCannotBeSent({good, huge, fits, fifo, gone}),
              (std::vector<std::string>{huge, fifo, gone}));
}
