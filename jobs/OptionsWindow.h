// The options sheet's logic without a toolkit: the Send, Receive and Modem pages' values, the
// lists they choose from, the length checks when a page is left, and copying the pages into
// the settings record when the sheet closes.
#pragma once

#include <string>
#include <vector>

namespace data {
struct AppSettings;
}

namespace jobs {

inline constexpr int kMsgTooLong = 61716;
inline constexpr int kMsgReceiveFolder = 50245;
inline constexpr int kStationFieldLimit = 50;
// The setting is stored in 63 bytes, so the field takes no more.
inline constexpr int kExtraSettingsLimit = 63;

struct SendPageValues {
    std::string name;
    std::string phone;
    std::string attempts; // the chosen text
    std::string delay;
};

struct ReceivePageValues {
    std::string folder;
    std::string answer;
    int macBinary{0}; // position
};

struct ModemPageValues {
    std::string modem;
    int speed{0};
    int speaker{0};
    int flow{0};
    int type{0};
    std::string extra;
};

const std::vector<std::string>& AttemptChoices();
const std::vector<std::string>& DelayChoices();
const std::vector<std::string>& AnswerChoices();
// The item a text-valued list shows for `text`: the first that begins with it ("1" selects
// "1", not "10"), -1 when none does.
int ChoiceFor(const std::vector<std::string>& choices, const std::string& text);

class OptionsLogic {
  public:
    explicit OptionsLogic(const data::AppSettings& settings);

    // Taking a page's values as the controls show them: a text over its limit is refused with
    // 61716, a changed receive folder that cannot take files with 50245, and the page keeps its
    // old values (false).
    bool TakeSend(const SendPageValues& values);
    bool TakeReceive(const ReceivePageValues& values);
    bool TakeModem(const ModemPageValues& values);

    // Whichever button closed the sheet: the pages' values into the record.
    void CopyInto(data::AppSettings& settings) const;

    const SendPageValues& Send() const { return m_send; }
    const ReceivePageValues& Receive() const { return m_receive; }
    const ModemPageValues& Modem() const { return m_modem; }

  private:
    SendPageValues m_send;
    ReceivePageValues m_receive;
    ModemPageValues m_modem;
};

} // namespace jobs
