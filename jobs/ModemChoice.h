// The modem a job uses: the automatic choice when none is selected yet, then the selected
// modem's port, its command profile and its response table. The main window and the
// command-line front end both choose here.
#pragma once

#include <string>

#include "comm/ModemDiscovery.h"
#include "comm/ModemProfile.h"
#include "comm/ModemResponse.h"
#include "jobs/JobOutcome.h"

namespace data {
struct AppSettings;
}

namespace jobs {

inline constexpr int kMsgNoPortForModem = 50233;

struct ModemChoice {
    int comNumber{0}; // 1-based
    comm::ModemProfile profile{comm::DefaultModemProfile()};
    // The setting's extra commands, or what the modem's profile makes of them.
    std::string extraSettings;
    comm::ResponseTable responses;
};

// Runs the automatic modem choice when the settings name no modem. False when none could be
// chosen (the hooks have told the user why).
bool EnsureModemSelected(data::AppSettings& settings, const comm::ModemSelectionHooks& hooks);

// Fills `choice` for the selected modem. `requestedPort` (1-based, 0 for none) overrides the
// modem's own port; the selected modem's commands are used only if it sits on that port, else
// a plain Hayes modem's. Without a port, `failure` holds message 50233 and the result is false.
bool FindJobModem(const data::AppSettings& settings, int requestedPort, ModemChoice& choice,
                  OutcomeMessage& failure);

} // namespace jobs
