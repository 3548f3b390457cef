// The options pages.
#include "jobs/OptionsWindow.h"

#include <algorithm>
#include <cstdlib>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"

namespace jobs {
namespace {

std::uint32_t Number(const std::string& text) {
    // An empty or non-numeric text gives 0.
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() || value < 0 ? 0 : static_cast<std::uint32_t>(value);
}

bool WithinLimit(const std::string& text, int limit) {
    if (static_cast<int>(text.size()) <= limit)
        return true;
    data::ShowMessage(data::MessageKind::Exclamation, kMsgTooLong, std::to_string(limit));
    return false;
}

} // namespace

const std::vector<std::string>& AttemptChoices() {
    static const std::vector<std::string> choices{"1", "2", "3", "4", "5", "6", "7", "8", "9"};
    return choices;
}

const std::vector<std::string>& DelayChoices() {
    static const std::vector<std::string> choices{"1", "2", "3", "4", "5", "10", "15", "30", "45"};
    return choices;
}

const std::vector<std::string>& AnswerChoices() {
    static const std::vector<std::string> choices{"1", "2", "3", "4"};
    return choices;
}

int ChoiceFor(const std::vector<std::string>& choices, const std::string& text) {
    if (text.empty())
        return -1;
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].compare(0, text.size(), text) == 0)
            return static_cast<int>(i);
    return -1;
}

OptionsLogic::OptionsLogic(const data::AppSettings& settings) {
    m_send = {settings.stationName, settings.stationPhoneNumber,
              std::to_string(settings.numberOfAttempts),
              std::to_string(settings.delayBetweenRedials)};
    m_receive = {settings.generalReceiveFolder, std::to_string(settings.answerAfterRings),
                 static_cast<int>(settings.macBinary)};
    m_modem = {settings.modemSelection,
               static_cast<int>(settings.maximumSpeed),
               static_cast<int>(settings.speakerVolume),
               static_cast<int>(settings.flowControl),
               static_cast<int>(settings.modemType),
               settings.extraSettings};
}

bool OptionsLogic::TakeSend(const SendPageValues& values) {
    if (!WithinLimit(values.name, kStationFieldLimit) ||
        !WithinLimit(values.phone, kStationFieldLimit))
        return false;
    m_send = values;
    return true;
}

bool OptionsLogic::TakeReceive(const ReceivePageValues& values) {
    // A folder that cannot take files is said now, naming it, not at the next call.
    if (values.folder != m_receive.folder) {
        if (const std::string problem = data::ReceiveFolderProblem(values.folder);
            !problem.empty()) {
            data::ShowMessage(data::MessageKind::Exclamation, kMsgReceiveFolder, values.folder,
                              problem);
            return false;
        }
    }
    m_receive = values;
    return true;
}

bool OptionsLogic::TakeModem(const ModemPageValues& values) {
    if (!WithinLimit(values.extra, kExtraSettingsLimit))
        return false;
    m_modem = values;
    return true;
}

void OptionsLogic::CopyInto(data::AppSettings& settings) const {
    settings.stationName = m_send.name;
    settings.stationPhoneNumber = m_send.phone;
    settings.numberOfAttempts = Number(m_send.attempts);
    settings.delayBetweenRedials = Number(m_send.delay);
    settings.generalReceiveFolder = m_receive.folder;
    settings.answerAfterRings = Number(m_receive.answer);
    settings.macBinary = static_cast<std::uint32_t>(std::max(0, m_receive.macBinary));
    settings.modemSelection = m_modem.modem;
    settings.maximumSpeed = static_cast<std::uint32_t>(std::max(0, m_modem.speed));
    settings.speakerVolume = static_cast<std::uint32_t>(std::max(0, m_modem.speaker));
    settings.flowControl = static_cast<std::uint32_t>(std::max(0, m_modem.flow));
    settings.modemType = static_cast<std::uint32_t>(std::max(0, m_modem.type));
    settings.extraSettings = m_modem.extra;
}

} // namespace jobs
