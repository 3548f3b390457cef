// The command interpreter on its own: typed bytes in, echo and results out, and what it asks
// of the modem it belongs to. No network.
#include "platform/HayesCommands.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;

namespace {

// The modem side: records what the interpreter asked for.
class FakeHost : public HayesHost {
  public:
    void Answer() override { calls.push_back("answer"); }
    void Dial(const std::string& number) override { calls.push_back("dial " + number); }
    void TakeLine() override { calls.push_back("off hook"); }
    bool ReturnOnline() override {
        calls.push_back("online");
        return held;
    }
    void PutOnHook() override { calls.push_back("on hook"); }
    bool Ringing() const override { return ringing; }
    bool CanDial() const override { return idle; }
    bool HasLine() const override { return line; }
    std::string Information() const override { return "Line rate 2400"; }
    std::uint32_t ConnectRate() const override { return 2400; }

    std::vector<std::string> calls;
    bool held{false};
    bool ringing{false};
    bool idle{true};
    bool line{true};
};

class HayesCommandsTest : public ::testing::Test {
  protected:
    // Types text and returns what came back since the last call.
    std::string Type(const std::string& text) {
        for (char c : text)
            commands.Byte(static_cast<unsigned char>(c));
        std::string out(reinterpret_cast<const char*>(output.Front()), output.Size());
        output.Clear();
        return out;
    }
    // "AT" + body + CR with echo off.
    std::string Command(const std::string& body) { return Type("AT" + body + "\r"); }

    FakeHost host;
    ByteQueue output;
    HayesCommands commands{host, output, 1024};
};

} // namespace

TEST_F(HayesCommandsTest, EchoesTheLineAndAnswersOkToAnInitialisationString) {
    EXPECT_EQ(Type("AT&F X4 V1 S0=0 W2 &D2\r"), "AT&F X4 V1 S0=0 W2 &D2\r\r\nOK\r\n");
    EXPECT_EQ(Type("at&fx4v1s0=0w2&d2&c1m1l2\r"), "at&fx4v1s0=0w2&d2&c1m1l2\r\r\nOK\r\n");
    // Line noise before AT, a backspace inside the line, and A/ repeating the last line.
    EXPECT_EQ(Type("xyzATS7=44\b5\r"), "xyzATS7=44\b5\r\r\nOK\r\n");
    Command("E0");
    EXPECT_EQ(Command("S7?"), "\r\n045\r\n\r\nOK\r\n");
    EXPECT_EQ(Type("A/"), "\r\n045\r\n\r\nOK\r\n");
}

TEST_F(HayesCommandsTest, AnswersErrorToWhatItDoesNotKnow) {
    Command("E0");
    for (const char* command : {"#CLS=0", "#CLS=8", "-SSE=1", "Y", "X9", "E2", "S99=1", "S7=256",
                                "&Z", "M4", "+MS=11", "S", "H2", "S1=3"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(Command(command), "\r\nERROR\r\n");
    }
    EXPECT_EQ(Command(""), "\r\nOK\r\n"); // a bare AT is fine
    EXPECT_EQ(Command(std::string(300, 'E')), "\r\nERROR\r\n"); // too long a line
}

TEST_F(HayesCommandsTest, SetsAndReportsSRegistersAndZRestoresThem) {
    Command("E0");
    EXPECT_EQ(Command("S7=30 S0=2"), "\r\nOK\r\n");
    EXPECT_EQ(Command("S0?S12?"), "\r\n002\r\n\r\n050\r\n\r\nOK\r\n");
    EXPECT_EQ(commands.Register(HayesCommands::kRegAutoAnswer), 2);
    EXPECT_EQ(Command("Z"), "\r\nOK\r\n"); // and echo is back on
    EXPECT_EQ(Command("S7?"), "ATS7?\r\r\n050\r\n\r\nOK\r\n");
    EXPECT_EQ(host.calls, std::vector<std::string>{"on hook"});
    // Reset while a call rings keeps its ring count.
    host.ringing = true;
    commands.SetRegister(HayesCommands::kRegRingCount, 2);
    Command("Z");
    EXPECT_EQ(commands.Register(HayesCommands::kRegRingCount), 2);
}

TEST_F(HayesCommandsTest, NumericQuietAndResultSets) {
    Command("E0");
    EXPECT_EQ(Command("V0"), "0\r");
    EXPECT_EQ(Command("Y"), "4\r");
    commands.Emit(ModemResult::Connect);
    EXPECT_EQ(Type(""), "10\r"); // CONNECT 2400
    EXPECT_EQ(Command("Q1"), "");
    EXPECT_EQ(Command("Q0V1X0"), "\r\nOK\r\n");
    for (auto result : {ModemResult::Busy, ModemResult::NoDialtone})
        commands.Emit(result);
    commands.Emit(ModemResult::Connect);
    EXPECT_EQ(Type(""), "\r\nNO CARRIER\r\n\r\nNO CARRIER\r\n\r\nCONNECT\r\n");
    Command("X4");
    commands.Emit(ModemResult::Connect);
    EXPECT_EQ(Type(""), "\r\nCONNECT 2400\r\n");
}

TEST_F(HayesCommandsTest, CallCommandsGoToTheModem) {
    Command("E0");
    EXPECT_EQ(Command("A"), "");
    EXPECT_EQ(Command("O"), "\r\nNO CARRIER\r\n"); // no call held
    host.held = true;
    EXPECT_EQ(Command("O"), "");
    EXPECT_EQ(Command("H1"), "\r\nOK\r\n");
    EXPECT_EQ(Command("H0"), "\r\nOK\r\n");
    EXPECT_EQ(Command("I4"), "\r\nLine rate 2400\r\n\r\nOK\r\n");
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"answer", "online", "online", "off hook", "on hook"}));
}

TEST_F(HayesCommandsTest, DialNumbersKeepWhatTheModifierIsNot) {
    Command("E0");
    struct Case {
        const char* command;
        const char* number;
    } cases[] = {
        {"DT 555 1234", "5551234"},
        {"DP127.0.0.1:2323", "127.0.0.1:2323"},
        {"Dtest.example:23", "est.example:23"}, // a leading T is the tone modifier
        {"DTtest.example:23", "test.example:23"},
        {"Dtelnet://bbs.example", "telnet://bbs.example"},
        {"DTtelnet://bbs.example:2323", "telnet://bbs.example:2323"},
        {"DPTELNET://bbs.example", "TELNET://bbs.example"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        host.calls.clear();
        Command(c.command);
        EXPECT_EQ(host.calls, std::vector<std::string>{std::string("dial ") + c.number});
    }
    // A number dialled in pieces: each piece ending with ";" stays in command mode.
    host.calls.clear();
    EXPECT_EQ(Command("DT0049;"), "\r\nOK\r\n");
    Command("DT301234");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"off hook", "dial 0049301234"}));
    // Without a line, or in a call, no dial happens.
    host.calls.clear();
    host.line = false;
    EXPECT_EQ(Command("DT1"), "\r\nNO DIALTONE\r\n");
    host.line = true;
    host.idle = false;
    EXPECT_EQ(Command("DT1"), "\r\nERROR\r\n");
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(HayesCommandsTest, EchoStopsAtItsBoundWhenNobodyReads) {
    std::string typed(2000, ' ');
    for (char c : typed)
        commands.Byte(static_cast<unsigned char>(c));
    EXPECT_LE(output.Size(), 1024u);
}
