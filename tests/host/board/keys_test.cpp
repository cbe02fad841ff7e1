// The key driver (table, lock, raw messages) and key scripts driving a
// task that reads the key focus queue.
#include "host/kernel/Kernel.h"
#include "host/machine/Keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using host::Kernel;
using host::KeyEntry;
using host::Keys;
using host::KeyScript;
using host::MsgQueue;

using Messages = std::vector<std::pair<int, int>>; // kind, code

// Takes every waiting message, from outside a task.
Messages drain(Kernel &k, MsgQueue *q)
{
    Messages out;
    unsigned char b[8];
    while (k.receive(q, reinterpret_cast<char *>(b), sizeof b, Kernel::kNoWait) == 4) {
        EXPECT_EQ(b[2] | b[3], 0);
        out.emplace_back(b[0], b[1]);
    }
    return out;
}

void enable(std::uint16_t *table, std::initializer_list<int> codes)
{
    for (int c : codes)
        table[c / 16] = static_cast<std::uint16_t>(table[c / 16] | (1u << (c % 16)));
}

struct KeyDriver : ::testing::Test {
    Kernel kernel;
    Keys keys{kernel};
    MsgQueue *queue = kernel.createQueue(10, 4, 0);
};

TEST_F(KeyDriver, BitBOfWordWEnablesCode16WPlusBBelow240)
{
    std::uint16_t *table = keys.getFocus(queue);
    ASSERT_NE(table, nullptr);
    keys.unlock();
    for (int code = 0; code < 240; ++code) {
        std::memset(table, 0, Keys::kTableBytes);
        enable(table, {code});
        EXPECT_FALSE(keys.press(code - 1)) << code;
        EXPECT_TRUE(keys.press(code)) << code;
        EXPECT_FALSE(keys.press(code + 1)) << code;
        ASSERT_EQ(drain(kernel, queue), (Messages{{1, code}}));
    }
    std::memset(table, 0xff, Keys::kTableBytes);
    for (int code : {240, 255, 256, -1})
        EXPECT_FALSE(keys.press(code)) << code;
    // Words in the machine's byte order: code 52 is bit 4 of bytes 6-7.
    std::memset(table, 0, Keys::kTableBytes);
    std::uint16_t word = 1u << 4;
    std::memcpy(reinterpret_cast<char *>(table) + 6, &word, 2);
    EXPECT_TRUE(keys.press(Keys::kConfirmCode));
    EXPECT_EQ(drain(kernel, queue), (Messages{{1, 52}}));
}

TEST_F(KeyDriver, LockedKeysSendNothing)
{
    enable(keys.getFocus(queue), {4});
    EXPECT_FALSE(keys.press(4)); // locked from the start
    keys.unlock();
    EXPECT_TRUE(keys.press(4));
    keys.lock();
    EXPECT_FALSE(keys.press(4));
    keys.unlock();
    keys.driverInit(); // starts again locked
    EXPECT_FALSE(keys.press(4));
    EXPECT_EQ(drain(kernel, queue), (Messages{{1, 4}}));
}

TEST_F(KeyDriver, RawMessagesBypassTableAndLockButNeedAFocusWithRoom)
{
    EXPECT_FALSE(keys.postRaw(1, 4));
    EXPECT_EQ(keys.getFocus(nullptr), nullptr);
    Kernel other;
    EXPECT_EQ(keys.getFocus(other.createQueue(10, 4, 0)), nullptr);
    MsgQueue *small = kernel.createQueue(2, 4, 0);
    keys.getFocus(small);
    EXPECT_TRUE(keys.postRaw(2, 200));
    EXPECT_TRUE(keys.postRaw(255, 0));
    EXPECT_FALSE(keys.postRaw(1, 1)); // full
    EXPECT_EQ(drain(kernel, small), (Messages{{2, 200}, {255, 0}}));
}

TEST(KeyScriptParse, AcceptsEveryEntryForm)
{
    using K = KeyEntry::Kind;
    std::vector<KeyEntry> expected{
        {K::Press, 1, 37},  {K::Press, 1, 4},  {K::Press, 1, 5},   {K::Press, 1, 6},  {K::Press, 1, 7},
        {K::Press, 1, 20},  {K::Press, 1, 21}, {K::Press, 1, 22},  {K::Press, 1, 23}, {K::Press, 1, 36},
        {K::Press, 1, 52},  {K::Press, 1, 0},  {K::Press, 1, 255}, {K::Press, 1, 53}, {K::Raw, 0, 0},
        {K::Raw, 255, 255}, {K::Raw, 2, 9}};
    EXPECT_EQ(KeyScript::parse("0,1,2,3,4,5,6,7,8,9,ok,k0,k255,k053,m0:0,m255:255,m2:9"), expected);
    EXPECT_TRUE(KeyScript::parse("").empty());
    // Typed by hand: blanks after the commas, the confirm key in any case.
    EXPECT_EQ(
        KeyScript::parse(" 1,  OK,\tOk,oK, k53"),
        (std::vector<KeyEntry>{
            {K::Press, 1, 4}, {K::Press, 1, 52}, {K::Press, 1, 52}, {K::Press, 1, 52}, {K::Press, 1, 53}}));
}

TEST(KeyScriptParse, RejectsBadEntriesNamingThem)
{
    for (const char *bad : {"x", "k256", "k", "k-1", "k1000", "m1", "m1:", "m:1", "m256:1", "m1:256",
                            "m1:2:3", "10", "O K", "okk", "1 ", "", "-1", "K5"}) {
        try {
            KeyScript::parse(std::string("1,") + bad + ",ok");
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(std::string("\"") + bad + "\""), std::string::npos)
                << e.what();
        }
    }
    for (const char *bad : {",", "1,", ",1"})
        EXPECT_THROW(KeyScript::parse(bad), std::invalid_argument) << bad;
}

// A menu-like task: takes the focus, enables digits 1 to 6, ok and code 53,
// unlocks, and records every message it receives.
struct KeyScriptRun : ::testing::Test {
    Kernel kernel;
    Keys keys{kernel};
    Messages received;

    void spawnMenu(bool lockAfterFirst = false)
    {
        kernel.spawn("tMenu", 100, 0, 0, [this, lockAfterFirst] {
            MsgQueue *q = kernel.createQueue(10, 4, 0);
            keys.driverInit();
            std::uint16_t *table = keys.getFocus(q);
            std::memset(table, 0, Keys::kTableBytes);
            enable(table, {4, 5, 6, 7, 20, 21, 52, 53});
            keys.unlock();
            unsigned char b[4];
            while (kernel.receive(q, reinterpret_cast<char *>(b), 4, Kernel::kWaitForever) == 4) {
                received.emplace_back(b[0], b[1]);
                if (lockAfterFirst)
                    keys.lock();
            }
        });
    }
};

TEST_F(KeyScriptRun, PressesEntriesSkipsDisabledKeysAndStallsWhenUsedUp)
{
    KeyScript script(keys, KeyScript::parse("1,7,8,6,m2:9,k53,0,k240,ok,9"));
    script.attach();
    spawnMenu();
    host::Quiescence end = kernel.run();
    EXPECT_EQ(received, (Messages{{1, 4}, {1, 21}, {2, 9}, {1, 53}, {1, 52}}));
    EXPECT_EQ(script.used(), script.size());
    ASSERT_EQ(end.waiting.size(), 1u);
    EXPECT_EQ(end.waiting[0].taskName, "tMenu");
    EXPECT_NE(end.waiting[0].waitsOn.find("key focus"), std::string::npos) << end.waiting[0].waitsOn;
}

TEST_F(KeyScriptRun, NothingIsPressedWhileLockedOrForOtherQueues)
{
    KeyScript script(keys, KeyScript::parse("1,2,m1:5"));
    script.attach();
    kernel.spawn("tOther", 90, 0, 0, [this] {
        char b[4];
        kernel.receive(kernel.createQueue(1, 4, 0), b, 4, 5); // times out
    });
    spawnMenu(true);
    host::Quiescence end = kernel.run();
    EXPECT_EQ(received, (Messages{{1, 4}}));
    EXPECT_EQ(script.used(), 1u);
    ASSERT_EQ(end.waiting.size(), 1u);
    EXPECT_EQ(end.waiting[0].taskName, "tMenu");
}

TEST_F(KeyScriptRun, ADetachedScriptPressesNothing)
{
    KeyScript script(keys, KeyScript::parse("1"));
    script.attach();
    script.detach();
    spawnMenu();
    EXPECT_EQ(kernel.run().waiting.size(), 1u);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(script.used(), 0u);
}

TEST_F(KeyScriptRun, TheFormerFocusQueueLosesItsLabel)
{
    kernel.spawn("tOld", 100, 0, 0, [this] {
        MsgQueue *first = kernel.createQueue(10, 4, 0);
        keys.getFocus(first);
        keys.getFocus(kernel.createQueue(10, 4, 0));
        char b[4];
        kernel.receive(first, b, 4, Kernel::kWaitForever);
    });
    host::Quiescence end = kernel.run();
    ASSERT_EQ(end.waiting.size(), 1u);
    EXPECT_EQ(end.waiting[0].waitsOn.find("key focus"), std::string::npos) << end.waiting[0].waitsOn;
}

} // namespace
