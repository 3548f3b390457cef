// Choosing whom to call.
#include "jobs/SelectDestinationWindow.h"

#include <string_view>

#include "data/AppSettings.h"
#include "data/UserMessages.h"
#include "platform/VirtualModem.h"

namespace jobs {

std::string UndialableCharacters(const std::string& number) {
    std::string hostPort;
    bool telnet = false;
    if (platform::ParseDialTarget(number, hostPort, telnet))
        return {};
    constexpr std::string_view kDialable = "0123456789 -()+,*#~";
    std::string odd;
    for (char c : number)
        if (kDialable.find(c) == std::string_view::npos && odd.find(c) == std::string::npos)
            odd.push_back(c);
    return odd;
}

bool CheckTelephoneNumber(data::AppSettings& settings, const std::string& number,
                          const TelephoneNumberPrompt& prompt) {
    if ((settings.telephoneCheck == 0 && UndialableCharacters(number).empty()) || !prompt)
        return true;
    bool keepWarning = true;
    const bool use = prompt(number, keepWarning);
    if (!keepWarning) {
        settings.telephoneCheck = 0;
        data::SaveSettings(settings);
    }
    return use;
}

bool ConfirmEditDestination(data::AppSettings& settings, const std::string& name,
                            const std::string& number, const TelephoneNumberPrompt& prompt,
                            const std::string& shownNumber) {
    if (name.empty() || number.empty()) {
        data::ShowMessage(data::MessageKind::Exclamation, kMsgFieldsMustBeFilled);
        return false;
    }
    // Only a number the user changed needs a second look.
    return number == shownNumber || CheckTelephoneNumber(settings, number, prompt);
}

SelectDestinationLogic::SelectDestinationLogic(std::string phoneBookPath)
    : m_path{std::move(phoneBookPath)} {}

void SelectDestinationLogic::Open() {
    m_list.Clear();
    data::LoadPhoneBook(m_list, m_path);
    SelectRow(m_list.Selected());
}

void SelectDestinationLogic::Close() {
    data::SavePhoneBook(m_list, m_path);
}

void SelectDestinationLogic::SelectRow(std::optional<std::size_t> row) {
    if (row && *row < m_list.Rows().size()) {
        m_list.Select(*row);
        m_chosenName = m_list.Rows()[*row].name;
        m_number = m_list.Rows()[*row].number;
    } else {
        m_list.SelectNone();
        m_chosenName.clear();
        m_number.clear();
    }
}

void SelectDestinationLogic::NumberEdited(const std::string& number) {
    m_number = number;
    m_chosenName.clear();
}

std::size_t SelectDestinationLogic::AddEntry(const std::string& name, const std::string& number) {
    const std::size_t row = m_list.Insert(name, number);
    SelectRow(row);
    return row;
}

void SelectDestinationLogic::EditSelected(const std::string& name, const std::string& number) {
    const auto row = m_list.Selected();
    if (!row)
        return;
    // Written back in place: the row does not move.
    m_list.Update(*row, name, number);
    SelectRow(*row);
}

bool SelectDestinationLogic::DeleteSelected() {
    const auto row = m_list.Selected();
    if (!row)
        return false;
    if (data::ShowMessage(data::MessageKind::QuestionOkCancel, kMsgDeleteEntry,
                          m_list.Rows()[*row].name) == data::MessageAnswer::Cancel)
        return false;
    m_list.Remove(*row);
    SelectRow(std::nullopt);
    return true;
}

bool SelectDestinationLogic::ConfirmSend(data::AppSettings& settings,
                                         const TelephoneNumberPrompt& prompt) {
    if (!SendEnabled())
        return false;
    if (m_chosenName.empty())
        return CheckTelephoneNumber(settings, m_number, prompt);
    return true;
}

} // namespace jobs
