// The destination windows' logic without a toolkit: "Select Destination" over the phone book
// (pick or type a number, New, Edit, Delete, Send), "Edit Destination" with its checks, and the
// "Telephone Number" warning that a typed number goes through while the user keeps it on.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "data/PhoneBook.h"

namespace data {
struct AppSettings;
}

namespace jobs {

inline constexpr int kDestinationFieldLimit = 64;
inline constexpr int kMsgFieldsMustBeFilled = 50239;
inline constexpr int kMsgDeleteEntry = 50307;
inline constexpr int kResultReselectFiles = 1045;
inline constexpr int kResultRevise = 1060;

// The Telephone Number window: shows the number and whether to keep warning; true for OK,
// false for "Revise...". `keepWarning` comes in set and goes out as the user left it.
using TelephoneNumberPrompt = std::function<bool(const std::string& number, bool& keepWarning)>;

// The characters of `number` a modem does not dial (each once, as typed): anything but digits,
// blanks, - ( ) + , * # and the pause "~". Empty for a network target ("telnet://host",
// "host:port"), which is not dialled.
std::string UndialableCharacters(const std::string& number);

// Runs the warning for a typed number: shown while "TelephoneCheck" is on, and whatever it is
// for a number with characters a modem does not dial; a cleared check box turns the check off
// for good (saved at once). True when the number is to be used, false for "Revise...".
bool CheckTelephoneNumber(data::AppSettings& settings, const std::string& number,
                          const TelephoneNumberPrompt& prompt);

// "Edit Destination", OK pressed: both fields must hold text (else 50239), then a number that
// differs from `shownNumber` (what the window opened with) goes through the warning. True when
// the dialog closes with OK.
bool ConfirmEditDestination(data::AppSettings& settings, const std::string& name,
                            const std::string& number, const TelephoneNumberPrompt& prompt,
                            const std::string& shownNumber = {});

class SelectDestinationLogic {
  public:
    explicit SelectDestinationLogic(std::string phoneBookPath = data::PhoneBookPath());

    // Loads the phone book and takes the fields from the row it selects.
    void Open();
    // The phone book is saved from the list whichever way the window closes.
    void Close();

    // A click on a row (nullopt: no row) fills the name and the number from it.
    void SelectRow(std::optional<std::size_t> row);
    // The user changed the number: it now counts as typed, not picked.
    void NumberEdited(const std::string& number);

    // "New..." and "Edit..." after the Edit Destination dialog closed with OK. An edited row
    // keeps its place; the next opening shows it at its sorted place.
    std::size_t AddEntry(const std::string& name, const std::string& number);
    void EditSelected(const std::string& name, const std::string& number);
    // "Delete..." asks (50307) and removes the selected row on OK; true when it did.
    bool DeleteSelected();
    void SortByColumn(int column) { m_list.Sort(column); }

    // "Send...": a picked destination is taken as it is; a typed number goes through the
    // warning. True when the dialog ends with OK.
    bool ConfirmSend(data::AppSettings& settings, const TelephoneNumberPrompt& prompt);

    bool EditEnabled() const { return m_list.Selected().has_value(); }
    bool DeleteEnabled() const { return EditEnabled(); }
    bool SendEnabled() const { return EditEnabled() || !m_number.empty(); }

    const data::PhoneBookList& List() const { return m_list; }
    const std::string& ChosenName() const { return m_chosenName; }
    const std::string& Number() const { return m_number; }

  private:
    std::string m_path;
    data::PhoneBookList m_list;
    std::string m_chosenName;
    std::string m_number;
};

} // namespace jobs
