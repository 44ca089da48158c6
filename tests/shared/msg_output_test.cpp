// Writing messages: streams, prefix, framing, line wrapping and the fatal
// exit, observed in a child process.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "msg_test_util.h"
#include "utils/libs/issuemsg.h"

namespace {

using msgtest::lines_of;
using msgtest::run_in_child;
using Lines = std::vector<std::string>;

// The lines that issue_text writes for text under flags (stdout or stderr).
Lines written(int flags, const std::string& text) {
    auto r = run_in_child([&] {
        std::string copy = text;
        issue_text(flags, copy.data());
    });
    EXPECT_EQ(r.status, 0);
    return lines_of((flags & MSG_STDERR) ? r.err : r.out);
}

TEST(MsgWrapTest, CutsAtTheLastBlankBeforeTheLimit) {
    EXPECT_EQ(written(0, std::string(70, 'a') + " bbbbbbbbbb cc"),
              (Lines{std::string(70, 'a'), "bbbbbbbbbb cc"}));
    EXPECT_EQ(written(0, std::string(74, 'x') + " yyy"), (Lines{std::string(74, 'x'), "yyy"}));
    EXPECT_EQ(written(0, std::string(70, 'x') + "\tyyyyyyyyyy"),
              (Lines{std::string(70, 'x'), "yyyyyyyyyy"}));
    // A line of exactly 75 characters needs no cut.
    EXPECT_EQ(written(0, std::string(75, 'x')), (Lines{std::string(75, 'x')}));
    // A blank just past the limit is not a candidate: the hard cut keeps it.
    EXPECT_EQ(written(0, std::string(75, 'x') + " yyy"), (Lines{std::string(75, 'x'), " yyy"}));
}

TEST(MsgWrapTest, LongWordsAreCutHard) {
    EXPECT_EQ(written(0, std::string(200, 'z')),
              (Lines{std::string(75, 'z'), std::string(75, 'z'), std::string(50, 'z')}));
}

TEST(MsgWrapTest, CommaCutsAfterItself) {
    EXPECT_EQ(written(0, std::string(70, 'x') + ",yyyyyyyyyy"),
              (Lines{std::string(70, 'x') + ",", "yyyyyyyyyy"}));
    EXPECT_EQ(written(0, std::string(70, 'x') + ", yyyyyyyyyy"),
              (Lines{std::string(70, 'x') + ",", "yyyyyyyyyy"}));
    // A message of words and commas: no line exceeds 75 characters, none
    // begins with the blank it was cut at, and nothing is lost.
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "item" + std::to_string(i) + (i % 3 ? ", " : " ");
    const Lines lines = written(0, text);
    std::string joined;
    for (const std::string& l : lines) {
        EXPECT_LE(l.size(), 75u);
        EXPECT_NE(l.front(), ' ');
        joined += l;
    }
    auto squeeze = [](std::string s) {
        std::string out;
        for (char c : s)
            if (c != ' ') out += c;
        return out;
    };
    EXPECT_EQ(squeeze(joined), squeeze(text));
}

TEST(MsgWrapTest, LineBreaksInTheText) {
    EXPECT_EQ(written(0, "first\\Nsecond\\nthird"), (Lines{"first", "second", "third"}));
    EXPECT_EQ(written(0, "one\ntwo\n"), (Lines{"one", "two"}));
}

TEST(MsgWrapTest, LengthCutsTheText) {
    auto r = run_in_child([] {
        char text[] = "hello world";
        issue_text(0, text, 5);
        issue_text(0, text, 40);  // longer than the text: stops at its end
    });
    EXPECT_EQ(r.out, "hello\nhello world\n");
}

TEST(MsgPrefixTest, FramesAndStreams) {
    const std::string plus(75, '+');
    EXPECT_EQ(written(MSG_FRAME, "hello"), (Lines{"+ " + plus, "+ hello", "+ " + plus}));
    const std::string stars(75, '*');
    EXPECT_EQ(written(MSG_FRAME | MSG_STARS | MSG_STDERR, "hello"),
              (Lines{"* " + stars, "* hello", "* " + stars}));
    EXPECT_EQ(written(MSG_STARS, "hello"), (Lines{"hello"}));
    // Framed lines hold 73 characters of text.
    const Lines framed = written(MSG_FRAME, std::string(100, 'z'));
    EXPECT_EQ(framed, (Lines{"+ " + plus, "+ " + std::string(73, 'z'), "+ " + std::string(27, 'z'),
                             "+ " + plus}));
    // The bell goes into the prefix after the frame length is taken.
    EXPECT_EQ(written(MSG_BELL | MSG_FRAME, "hi"), (Lines{"\a+ " + plus, "\a+ hi", "\a+ " + plus}));

    auto r = run_in_child([] {
        char text[] = "to stderr";
        issue_text(MSG_STDERR, text);
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "to stderr\n");
}

TEST(MsgPrefixTest, TimeStamp) {
    const Lines lines = written(MSG_TIME | MSG_FRAME, std::string(100, 'z'));
    ASSERT_EQ(lines.size(), 4u);
    const std::regex stamp("^[0-2][0-9]:[0-5][0-9]/\\+ (.*)$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, stamp)) << lines[0];
    EXPECT_EQ(m[1].str(), std::string(69, '+'));
    ASSERT_TRUE(std::regex_match(lines[1], m, stamp)) << lines[1];
    EXPECT_EQ(m[1].str(), std::string(67, 'z'));
    ASSERT_TRUE(std::regex_match(lines[2], m, stamp)) << lines[2];
    EXPECT_EQ(m[1].str(), std::string(33, 'z'));
}

TEST(MsgFatalTest, FatalFlagsEndTheProcessWithStatusOne) {
    for (int flags : {int{MSG_FATAL}, int{MSG_FATAL2}, MSG_FATAL | MSG_STDERR}) {
        auto r = run_in_child([&] {
            msg_set_exit_hook(nullptr);
            char text[] = "last words";
            issue_text(flags, text);
            std::printf("still running\n");
        });
        EXPECT_EQ(r.status, 1) << flags;
        EXPECT_EQ((flags & MSG_STDERR) ? r.err : r.out, "last words\n") << flags;
    }
    auto r = run_in_child([] {
        msg_set_exit_hook(nullptr);
        issue_msg(5, 2207, 1);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[2207.1]"), std::string::npos);
    // Messages without the fatal bits return.
    r = run_in_child([] {
        char text[] = "fine";
        std::printf("%d\n", issue_text(MSG_STDERR | MSG_TIME, text));
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "17\n");
}

int g_hook_status = -1;

TEST(MsgFatalTest, ExitHookReplacesTheExit) {
    auto r = run_in_child([] {
        msg_set_exit_hook([](int status) { g_hook_status = status; });
        char text[] = "fatal but observed";
        const int result = issue_text(MSG_FATAL | MSG_STDERR, text);
        std::printf("hook %d result %d\n", g_hook_status, result);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "fatal but observed\n");
    EXPECT_EQ(r.out, "hook 1 result 3\n");
}

}  // namespace
