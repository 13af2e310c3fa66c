/*
 * One settings record and one shared block as a compiler lays them out in
 * memory, which is what a library of that build writes to a settings file
 * or hands an agent.  Each build compiles this file twice: with its own
 * compiler, linked into its tests as the expected values, and with the
 * other build's compiler, whose two images are cut out of the object file
 * (tests/CMakeLists.txt).  So each build's suite holds its library to the
 * other build's layout byte for byte, also on a machine that cannot run
 * the other build's code.
 *
 * Every field holds a value of its own, in range, so that a load's repair
 * leaves the record as it is.  The pointer slots hold 0, as no writer
 * leaves them.
 */
#include "xbuild_images.h"

#define XBUILD_SECTION(name) __attribute__((section(name), used))

const KIVPRINTERCFG g_xbuildCfg XBUILD_SECTION(".kivxcfg") = {
    .dwValue0 = 0x01020304,
    .dwValue4 = 0x05060708,
    .bLevel = 99,
    .bSelect9 = 2,
    .abGap10 = { 0x0A, 0x0B },
    .FileFormat = 129,
    .bValue16 = 0x16,
    .bFormatOption = 2,
    .bFormatVariant = 4,
    .bSelect19 = 1,
    .QFactor = 88,
    .bCompression = 2,
    .abGap22 = { 0x22, 0x23 },
    .szFileName = L"xbuild page",
    .dwCounter = 4321,
    .dwNumofDigits = 5,
    .adwValues852 = { 852, 856, 860, 864, 868, 872, 876 },
    .fFactor1 = 1.5f,
    .fFactor2 = 2.75f,
    .adwValues888 = { 888, 892, 896, 900, 904 },
    .bSelect908 = 1,
    .abGap909 = { 0x09, 0x0A, 0x0B },
    .dwValue912 = 912,
    .bValue916 = 0x16,
    .abGap917 = { 0x17, 0x18, 0x19 },
    .dwValue920 = 920,
    .bValue924 = 0x24,
    .abGap925 = { 0x25, 0x26, 0x27 },
    .bRunApp = 1,
    .bNoAppCheck = 1,
    .szRunAppName = L"C:\\xbuild\\viewer.exe",
    .szRunAppParams = L"-open $f",
    .dwValue1536 = 1536,
    .dwValue1540 = 1540,
    .bUserId = 1,
    .bHidePrintCfgDialog = 1,
    .abGap1546 = { 0x46, 0x47 },
    .dwValue1548 = 1548,
    .dwValue1552 = 1552,
    .abKeep1556 = { 0x56, 0x57 },
    .szInitialPath = L"c:\\",
    .dwValue2368 = 2368,
    .szText2372 = L"text at 2372",
    .szText2572 = L"text at 2572",
};

const AGENTBLOCK g_xbuildBlock XBUILD_SECTION(".kivxblk") = {
    .lCommand = KIV_CMD_COPY,
    .szPath1 = XBUILD_COPY_SOURCE,
    .szPath2 = XBUILD_COPY_TARGET,
};
