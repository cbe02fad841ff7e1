// The OS services as the module calls them (namespace vx), on a bound
// machine: task arguments, exit, console order, queues, files, faults.
#include "bootenv/vxWorks.h"
#include "host/BoundMachine.h"
#include "host/Machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vx {
namespace {

// Module-style entries with word-sized parameters of several types.
char *seenBuffer;
int seenLength;
unsigned seenMask;
int entryWithPointer(char *buffer, int length, unsigned mask)
{
    seenBuffer = buffer;
    seenLength = length;
    seenMask = mask;
    printf("entry %s %d 0x%x\n", buffer, length, mask);
    return 0;
}

MSG_Q_ID resultQ;
int reporter(int value)
{
    printf("reporter %d\n", value);
    msgQSend(resultQ, reinterpret_cast<char *>(&value), 4, WAIT_FOREVER, MSG_PRI_NORMAL);
    if (value < 0)
        exit(1);
    return 0;
}

int collector(int count)
{
    for (int i = 0; i < count; ++i) {
        int v = 0;
        msgQReceive(resultQ, reinterpret_cast<char *>(&v), 4, WAIT_FOREVER);
        printf("collected %d\n", v);
    }
    return 0;
}

class Bound : public ::testing::Test {
protected:
    Bound() : capture(machine.console()), binding(machine) {}
    host::Machine machine;
    host::CapturedConsole capture;
    host::MachineBinding binding;
};

TEST_F(Bound, TaskArgumentsKeepTheirTypes)
{
    char text[] = "part";
    int id = taskSpawn("tEntry", 100, VX_FP_TASK, 0x100000, entryWithPointer,
                       reinterpret_cast<_Vx_usr_arg_t>(text), 4, 0x7E, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_GT(id, 0);
    EXPECT_TRUE(machine.kernel().run().waiting.empty());
    EXPECT_EQ(seenBuffer, text);
    EXPECT_EQ(seenLength, 4);
    EXPECT_EQ(seenMask, 0x7Eu);
    EXPECT_EQ(capture.output(), "entry part 4 0x7e\n");
}

TEST_F(Bound, ConsoleFollowsTheOrderTasksRanAndExitEndsOneTask)
{
    resultQ = msgQCreate(5, 4, MSG_Q_PRIORITY);
    ASSERT_NE(resultQ, nullptr);
    taskSpawn("tCollect", 100, 0, 0, collector, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    int failing = taskSpawn("tFail", 100, 0, 0, reporter, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    taskSpawn("tOk", 100, 0, 0, reporter, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    taskSpawn("tHigh", 50, 0, 0, reporter, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(machine.kernel().run().waiting.empty());
    // An equal-priority receiver readied by a send waits its turn.
    EXPECT_EQ(capture.output(), "reporter 9\n"
                                "collected 9\n"
                                "reporter -1\n"
                                "reporter 7\n"
                                "collected -1\n"
                                "collected 7\n");
    auto end = machine.kernel().taskEnd(failing);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->status, 1);
}

TEST_F(Bound, FaultsHitOnlyTheNamedCalls)
{
    machine.faults().add("spawn.tNot");
    machine.faults().add("msgq-create:1:1");
    machine.faults().add("malloc:0:1");
    EXPECT_EQ(taskSpawn("tNot", 100, 0, 0, reporter, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_NE(msgQCreate(1, 4, 0), nullptr);
    EXPECT_EQ(msgQCreate(1, 4, 0), nullptr);
    EXPECT_NE(msgQCreate(1, 4, 0), nullptr);
    EXPECT_EQ(malloc(16), nullptr);
    void *p = malloc(16);
    EXPECT_NE(p, nullptr);
    free(p);
    // Each fault that fired is said once, on the host's own output only.
    EXPECT_EQ(capture.reports(), "fault spawn.tNot: taskSpawn(tNot) fails\n"
                                 "fault msgq-create: msgQCreate fails\n"
                                 "fault malloc: malloc(16) fails\n");
    EXPECT_EQ(capture.output(), "");
}

TEST_F(Bound, RamDiskThroughTheModuleCalls)
{
    const char *tail = nullptr;
    EXPECT_EQ(iosDevFind("/TMP", &tail), nullptr); // no device, no default yet
    constexpr int blocks = 2048;                   // 1 MiB
    static char memory[blocks * 512];
    BLK_DEV *dev = ramDevCreate(memory, 512, 400, blocks, 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_NE(dosFsMkfs("/TMP", dev), nullptr);
    EXPECT_EQ(dosFsMkfs("/TMP", dev), nullptr); // the name is taken
    const char *name = "/TMP";
    ASSERT_NE(iosDevFind(name, &tail), nullptr);
    EXPECT_NE(tail, name); // something was consumed: the device exists
    const char *other = "/nowhere/x";
    ASSERT_NE(iosDevFind(other, &tail), nullptr); // the default device
    EXPECT_EQ(tail, other);

    int fd = open("from.bin", O_RDWR | O_CREAT, 0);
    ASSERT_GE(fd, 3);
    char data[] = "image";
    EXPECT_EQ(write(fd, data, 5), 5);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char back[8] = {};
    EXPECT_EQ(read(fd, back, sizeof back), 5);
    EXPECT_STREQ(back, "image");
    EXPECT_EQ(close(fd), OK);
    EXPECT_EQ(copy("/TMP/from.bin", "/TMP/copy.bin"), OK);

    FILE *fp = fopen("/TMP/copy.bin", "a+");
    ASSERT_NE(fp, nullptr);
    EXPECT_GT(fprintf(fp, "+%d", 42), 0);
    EXPECT_EQ(fseek(fp, 0, SEEK_SET), 0);
    char all[16] = {};
    EXPECT_EQ(fread(all, 1, sizeof all, fp), 8u);
    EXPECT_STREQ(all, "image+42");
    EXPECT_EQ(fclose(fp), 0);

    machine.faults().add("read@/TMP/copy.bin");
    fd = open("/TMP/copy.bin", O_RDONLY, 0);
    EXPECT_EQ(read(fd, back, 8), 4); // half of what was asked
    EXPECT_EQ(read(fd, back, 1), 0); // none for one byte
    close(fd);
    machine.faults().add("open@/TMP/from.bin");
    EXPECT_EQ(open("/TMP/from.bin", O_RDONLY, 0), ERROR);
    EXPECT_EQ(fopen("/TMP/from.bin", "r"), nullptr);
    EXPECT_NE(fopen("/TMP/copy.bin", "r"), nullptr);
}

TEST_F(Bound, NothingOutsideADeviceAndNoHostLibraryReached)
{
    // These names exist on the host; the machine knows none of them.
    EXPECT_EQ(open("/etc/passwd", O_RDONLY, 0), ERROR);
    EXPECT_EQ(opendir("/tmp"), nullptr);
    EXPECT_EQ(fopen("/etc/hostname", "r"), nullptr);
    EXPECT_EQ(remove("/tmp"), ERROR);
}

// The machine the tools, tests and fuzzers hold: bound while it lives, the
// only one, its console captured, unbound when it goes.
TEST(BoundMachine, BoundWhileItLivesWithItsConsoleCaptured)
{
    {
        host::BoundMachine m;
        EXPECT_EQ(&host::boundMachine(), &m.machine());
        EXPECT_THROW(host::BoundMachine second, std::logic_error);
        EXPECT_EQ(&host::boundMachine(), &m.machine()) << "a refused machine unbound the first";
        const host::TaskOutcome run = m.runInTask([] { printf("in %s\n", "tUpdate"); });
        EXPECT_TRUE(run.returned());
        EXPECT_EQ(m.captured().output(), "in tUpdate\n");
    }
    EXPECT_FALSE(host::machineBound());
}

} // namespace
} // namespace vx
