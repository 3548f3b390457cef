// Which modems are installed and how each one is spoken to: the list of modem names, the
// automatic choice of a modem, its COM port, its command profile and its response table, all
// read from the modem entries of the HKEY_LOCAL_MACHINE hive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/ModemProfile.h"
#include "comm/ModemResponse.h"
#include "platform/Telephony.h"

namespace comm {

// The settings key and value that the automatic selection writes when it settles on a modem.
inline constexpr const char* kModemSelectionKey = "Software\\Korvane\\Sendari\\1.0";
inline constexpr const char* kModemSelectionValue = "ModemSelection";
// The selection field holds at most this many bytes before its NUL.
inline constexpr std::size_t kModemSelectionMaxBytes = 127;

// The line-application handle of one listing, shut down with the object.
class TapiLineApp {
  public:
    TapiLineApp();
    ~TapiLineApp();
    TapiLineApp(const TapiLineApp&) = delete;
    TapiLineApp& operator=(const TapiLineApp&) = delete;

    platform::HLINEAPP Handle() const { return m_lineApp; }
    platform::DWORD DeviceCount() const { return m_deviceCount; }
    bool IsOpen() const { return m_lineApp != 0; }

  private:
    platform::HLINEAPP m_lineApp{0};
    platform::DWORD m_deviceCount{0};
};

// What the modem combo boxes show: the installed modems' line names in enumeration order with
// their line device identifiers, and which one to select. The Qt combo box fills itself from
// this model; the enumeration is done once, so a modem added later shows in the next model.
class ModemListModel {
  public:
    ModemListModel();

    const std::vector<std::string>& Names() const { return m_names; }
    const std::vector<std::uint32_t>& DeviceIds() const { return m_deviceIds; }

    void SetPreselected(const std::string& name) { m_preselected = name; }
    const std::string& Preselected() const { return m_preselected; }

    // The item to select once the control is filled: the one named exactly like the
    // preselection, else the first; -1 when there is no modem.
    int SelectedIndex() const;

  private:
    TapiLineApp m_lineApp;
    std::vector<std::string> m_names;
    std::vector<std::uint32_t> m_deviceIds;
    std::string m_preselected;
};

// How the automatic selection talks to the user; the user interface fills it in (message boxes
// and the "Select Modem" dialog), tests record and answer.
struct ModemSelectionHooks {
    enum class Icon { Stop, Information };
    std::function<void(Icon icon, int stringId, const std::string& text)> showMessage;
    // Shows the "Select Modem" dialog over `modems`; the chosen name, or nullopt when the dialog
    // was not ended with OK.
    std::function<std::optional<std::string>(const ModemListModel& modems)> selectModem;
    // Starts the modem control panel; RunModemControlPanel when empty.
    std::function<void()> runControlPanel;
};

// Chooses a modem for an empty "ModemSelection": the only one installed, or the user's choice
// among several. Stores the name in the settings key and in `modemSelection` and returns true;
// with no modem it says so, empties the field and starts the control panel, then goes on with a
// modem the panel added before it returned, or returns false.
bool AutoSelectModem(std::string& modemSelection, const ModemSelectionHooks& hooks);

// The COM port number 1 to 9 of the modem named `modemName` and its driver key below the
// driver class key ("Modem\0000"), or 0 with an empty driver key when none is found.
int FindModemPort(const std::string& modemName, std::string& driverKey);

// A command text as the registry holds it ("AT&F<cr>") made into a command body ("&F").
std::string CleanModemCommand(std::string text);

// Fills `profile` with the modem's commands from its driver key and `extraSettings` with the
// "ExtraSettings" setting; the defaults stay where a key or value is missing.
void BuildModemProfile(const std::string& driverKey, const std::string& extraSettingsSetting,
                       ModemProfile& profile, std::string& extraSettings);

// Replaces `table` with the modem's registry responses; false, with the table untouched, when
// the driver key has no "Responses".
bool LoadModemResponses(const std::string& driverKey, ResponseTable& table);

// The command that stands in for the modem control panel's "add a modem" page, started without
// waiting. Returns false when it could not be started.
bool RunModemControlPanel();

// Replaces what RunModemControlPanel starts (tests count the calls). Returns the previous hook;
// an empty hook restores the default.
using ControlPanelHook = std::function<bool()>;
ControlPanelHook SetModemControlPanelHook(ControlPanelHook hook);

} // namespace comm
