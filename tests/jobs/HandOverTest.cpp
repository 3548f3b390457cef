// The hand-over message survives any split into pieces, and hostile bytes are refused.
#include "jobs/HandOver.h"

#include <gtest/gtest.h>

namespace jobs {
namespace {

TEST(HandOverTest, PathsWithBlanksSurviveEveryPieceSize) {
    const std::vector<std::string> paths{"/home/ann/My Files/report 1.txt", "/tmp/a",
                                         "/srv/\xC3\xA9t\xC3\xA9/photo.jpg"};
    const std::string message = EncodeHandOver(paths);
    for (std::size_t piece = 1; piece <= message.size(); ++piece) {
        HandOverDecoder decoder;
        HandOverDecoder::State state = HandOverDecoder::State::kIncomplete;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            ASSERT_EQ(state, HandOverDecoder::State::kIncomplete) << "piece " << piece;
            state = decoder.Feed(std::string_view(message).substr(at, piece));
        }
        ASSERT_EQ(state, HandOverDecoder::State::kComplete) << "piece " << piece;
        EXPECT_EQ(decoder.Paths(), paths);
    }
}

TEST(HandOverTest, NoFilesIsAMessageToo) {
    HandOverDecoder decoder;
    EXPECT_EQ(decoder.Feed(EncodeHandOver({})), HandOverDecoder::State::kComplete);
    EXPECT_TRUE(decoder.Paths().empty());
}

TEST(HandOverTest, HostileMessagesAreRefused) {
    const std::string good = EncodeHandOver({"/a", "/b"});
    std::string hugeLength = good;
    hugeLength[4] = '\x7F';
    std::string unterminated = good;
    unterminated.back() = 'x';
    std::string emptyPath = std::string("SDHO\0\0\0\x03", 8) + std::string("\0/a\0", 4);
    emptyPath[7] = 4;
    for (const std::string& bad : {std::string("GET / HTTP/1.0\r\n"), hugeLength, unterminated,
                                   good + "trailing", emptyPath}) {
        HandOverDecoder decoder;
        EXPECT_EQ(decoder.Feed(bad), HandOverDecoder::State::kInvalid);
        EXPECT_TRUE(decoder.Paths().empty());
    }
}

TEST(HandOverTest, ABusyCopyRefusesOnlyFiles) {
    EXPECT_EQ(HandOverReply(false, {"/a"}), kHandOverAccepted);
    EXPECT_EQ(HandOverReply(false, {}), kHandOverAccepted);
    EXPECT_EQ(HandOverReply(true, {}), kHandOverAccepted);
    EXPECT_EQ(HandOverReply(true, {"/a"}), kHandOverBusy);
}

} // namespace
} // namespace jobs
