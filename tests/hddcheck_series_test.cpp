// The HDD package files on the storage: an unbroken series from 1, their
// sizes, and the lines written per file found.
#include "hddcheck_support.h"

#include <array>
#include <string>

namespace {

using hddcheck_test::HddFiles;

struct Check {
    int result;
    vx::INT32 count;
    std::array<vx::INT32, vx::DL_HDD_FILES_MAX> sizes;
};

class HddSeries : public HddFiles {
protected:
    Check check()
    {
        Check c{};
        c.count = 99;
        c.sizes.fill(0);
        c.result = vx::dlFirmUsbCheckHDD(&c.count, c.sizes.data());
        return c;
    }
};

TEST_F(HddSeries, FilesOneToThreeFormASeries)
{
    putFile("1", std::string(10, 'a'));
    putFile("2", std::string(2000, 'b'));
    putFile("3", std::string(7, 'c'));
    putFile("firmImage0.bin", "not an HDD file");
    Check c = check();
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.sizes[0], 10);
    EXPECT_EQ(c.sizes[1], 2000);
    EXPECT_EQ(c.sizes[2], 7);
    for (int k = 3; k < vx::DL_HDD_FILES_MAX; ++k)
        EXPECT_EQ(c.sizes[k], 0) << "entry " << k;
    // The 0-based index, not the file number.
    EXPECT_EQ(h.console(), "file Size  0  10\nfile Size  1  2000\nfile Size  2  7\n");
}

TEST_F(HddSeries, ThirtyTwoFilesAtMostAreLookedAt)
{
    for (int n = 1; n <= 33; ++n)
        putFile(std::to_string(n), std::string(n, 'x'));
    Check c = check();
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 32);
    EXPECT_EQ(c.sizes[31], 32);
    EXPECT_EQ(h.console().find("file Size  32"), std::string::npos);
    EXPECT_NE(h.console().find("file Size  31  32\n"), std::string::npos);
}

TEST_F(HddSeries, GapsAndMissingFirstFileFail)
{
    putFile("2", "22");
    putFile("3", "333");
    Check late = check();
    EXPECT_EQ(late.result, -1);
    EXPECT_EQ(late.count, 0);
    EXPECT_EQ(h.console(), "file Size  1  2\nfile Size  2  3\n");

    h.clearConsole();
    putFile("1", "1");
    putFile("5", "55555");
    Check gap = check();
    EXPECT_EQ(gap.result, -1);
    EXPECT_EQ(gap.count, 0);
    // Every file found is measured and reported before the verdict.
    EXPECT_EQ(h.console(), "file Size  0  1\nfile Size  1  2\nfile Size  2  3\nfile Size  4  5\n");
}

TEST_F(HddSeries, NoFileFailsSilently)
{
    putFile("0", "zero");
    putFile("01", "leading zero");
    Check c = check();
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(h.console(), "");
}

TEST_F(HddSeries, FolderFlagChoosesTheFolder)
{
    putFile("1", "root1");
    putFile("2", "root2");
    putFile("1", "fwstore1!", true);

    vx::dlupdateFolderCheckFlag = 1;
    Check model = check();
    EXPECT_EQ(model.result, 0);
    EXPECT_EQ(model.count, 1);
    EXPECT_EQ(model.sizes[0], 9);
    EXPECT_EQ(model.sizes[1], 0);

    vx::dlupdateFolderCheckFlag = 0;
    Check root = check();
    EXPECT_EQ(root.result, 0);
    EXPECT_EQ(root.count, 2);
    EXPECT_EQ(root.sizes[0], 5);
}

TEST_F(HddSeries, LogLineOnlyWhileTheLogIsOpen)
{
    putFile("1", "abcd");
    putFile("2", "ef");
    EXPECT_EQ(check().result, 0);
    EXPECT_EQ(closeLog(), "") << "no log stream, no log line";

    openLog();
    vx::fprintf(vx::dl_fp, "SYS Version = V1R2.10 A\n");
    EXPECT_EQ(check().result, 0);
    EXPECT_EQ(closeLog(), "SYS Version = V1R2.10 A\n"
                          "[dlFirmUsbCheckHDD] file Size  0  4\n"
                          "[dlFirmUsbCheckHDD] file Size  1  2\n");
    EXPECT_EQ(h.console(), "file Size  0  4\nfile Size  1  2\nfile Size  0  4\nfile Size  1  2\n");
}

} // namespace
