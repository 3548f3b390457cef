// Choosing the modem of a job.
#include "jobs/ModemChoice.h"

#include "data/AppSettings.h"
#include "platform/ResourceStrings.h"

namespace jobs {

bool EnsureModemSelected(data::AppSettings& settings, const comm::ModemSelectionHooks& hooks) {
    if (!settings.modemSelection.empty())
        return true;
    return comm::AutoSelectModem(settings.modemSelection, hooks);
}

bool FindJobModem(const data::AppSettings& settings, int requestedPort, ModemChoice& choice,
                  OutcomeMessage& failure) {
    choice = ModemChoice{};
    choice.extraSettings = settings.extraSettings;
    std::string driverKey;
    const int found = settings.modemSelection.empty()
                          ? 0
                          : comm::FindModemPort(settings.modemSelection, driverKey);
    if (requestedPort != 0) {
        choice.comNumber = requestedPort;
        if (found != requestedPort)
            driverKey.clear();
    } else if (found == 0) {
        failure = OutcomeMessage{};
        failure.kind = MessageKind::MessageBox;
        failure.stringId = kMsgNoPortForModem;
        failure.icon = MessageIcon::Warning;
        failure.text = platform::FormatMessage1(platform::ResourceText(kMsgNoPortForModem),
                                                settings.modemSelection);
        return false;
    } else {
        choice.comNumber = found;
    }
    if (!driverKey.empty()) {
        comm::BuildModemProfile(driverKey, settings.extraSettings, choice.profile,
                                choice.extraSettings);
        comm::LoadModemResponses(driverKey, choice.responses);
    }
    return true;
}

} // namespace jobs
