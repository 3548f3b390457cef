// The numbered string table holds every range the program quotes, and every status code
// of the communication library has its text.
#include "platform/ResourceStrings.h"

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"

using platform::LoadResourceString;

TEST(ResourceStrings, SampleFromEveryRange) {
    struct Sample {
        int id;
        const char* text;
    };
    const Sample samples[] = {
        { 128, "Sendari" },
        { 20000, "Successful" },
        { 20802, "Timed out" },
        { 20842, "Used and unsupported word length setting." },
        { 20932, "No file(s) sent." },
        { 20956, "File engine has insufficent memory." },
        { 20990, "Lost carrier signal" },
        { 50000, "Initializing Modem" },
        { 50334, "Start sending files using Zmodem now..." },
        { 50336, "Skipped" },
        { 61716, "Please enter no more than %1 characters." },
    };
    for (const auto& s : samples)
        EXPECT_EQ(LoadResourceString(s.id), s.text) << s.id;
    for (int first : { 50000, 50100, 50200, 50300 })
        EXPECT_TRUE(platform::HasResourceString(first + 1)) << first;
}

TEST(ResourceStrings, UnknownIdIsEmptyAndAbsent) {
    EXPECT_TRUE(LoadResourceString(12345).empty());
    EXPECT_FALSE(platform::HasResourceString(12345));
}

TEST(ResourceStrings, EveryStatusCodeHasItsText) {
    std::vector<int> codes { 0 };
    for (int c : { -801, -802, -803, -805 })
        codes.push_back(c);
    for (int c = -827; c >= -836; --c)
        codes.push_back(c);
    for (int c = -838; c >= -858; --c)
        codes.push_back(c);
    for (int c = -901; c >= -935; --c)
        codes.push_back(c);
    for (int c = -950; c >= -957; --c)
        codes.push_back(c);
    codes.push_back(-990);
    for (int code : codes) {
        EXPECT_TRUE(platform::HasResourceString(comm::StatusTextId(code))) << code;
        if (code != comm::kCarrierLost) {
            EXPECT_FALSE(comm::StatusText(code).empty()) << code;
        }
    }
    EXPECT_TRUE(comm::StatusText(comm::kCarrierLost).empty());
    EXPECT_EQ(comm::StatusTextId(-802), 20802);
    EXPECT_EQ(comm::StatusTextId(0), 20000);
}

TEST(ResourceStrings, FormatMessageReplacesTheInsert) {
    EXPECT_EQ(platform::FormatMessage1("no more than %1 characters", "64"),
              "no more than 64 characters");
    EXPECT_EQ(platform::FormatMessage1("nothing to fill", "x"), "nothing to fill");
}
