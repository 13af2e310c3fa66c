/*
 * The two builds share one settings file format and one agent protocol:
 * a driver component of either build reads the other's settings files,
 * and a 32-bit client and a 64-bit agent of one session talk through the
 * same shared block.  Each suite holds its own build's library and agent
 * to the other build's layout of the same record and block, cut out of
 * the other compiler's object file (xbuild_images.c), so the check needs
 * no code of the other build to run.
 */
#include <gtest/gtest.h>
#include <string>

#include "test_common_util.h"
#include "kivfiles.h"
#include "xbuild_images.h"

namespace {

/* The record or block as the other build lays it out. */
std::string OtherBuildImage(const wchar_t *pszWhat)
{
    std::string data;
    std::wstring path = BinDir() + L"\\..\\xbuild\\" + pszWhat + L"-" + Widen(KIV_OTHER_ARCH) + L".bin";
    EXPECT_TRUE(ReadWholeFile(path, &data)) << Narrow(path);
    return data;
}

std::string Bytes(const void *p, size_t cb)
{
    return std::string((const char *)p, cb);
}

/* The image without its pointer slots (bytes 24 to 31), which each writer
 * fills with what its own build keeps there. */
std::string WithoutSlots(std::string image)
{
    if (image.size() >= 32)
        image.replace(24, 8, 8, '\0');
    return image;
}

const std::wstring kSlotFile = SystemFolder() + L"kivusr1.bin";

} // namespace

TEST(CrossBuild, SettingsFileHoldsTheOtherBuildsLayout)
{
    std::string other = OtherBuildImage(L"cfg");
    ASSERT_EQ(other.size(), (size_t)KIV_CFG_SIZE);

    KIVPRINTERCFG cfg = g_xbuildCfg;
    SaveKivPrinterSettings(&cfg);
    std::string saved;
    ASSERT_TRUE(ReadWholeFile(kSlotFile, &saved));
    ASSERT_EQ(saved.size(), (size_t)KIV_CFG_SIZE);
    EXPECT_EQ(WithoutSlots(saved), WithoutSlots(other))
        << "this build's settings file differs from the " KIV_OTHER_ARCH " layout of the same record";
}

TEST(CrossBuild, LoadsTheOtherBuildsSettingsFile)
{
    std::string other = OtherBuildImage(L"cfg");
    ASSERT_EQ(other.size(), (size_t)KIV_CFG_SIZE);
    ASSERT_TRUE(WriteWholeFile(kSlotFile, other));

    KIVPRINTERCFG cfg;
    memset(&cfg, 0x5A, sizeof(cfg));
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(WithoutSlots(Bytes(&cfg, sizeof(cfg))), WithoutSlots(Bytes(&g_xbuildCfg, sizeof(g_xbuildCfg))));
    EXPECT_TRUE(SlotsSet(cfg));
    EXPECT_STREQ(KivCfgFileName(&cfg), L"xbuild page");
}

/* A copy request written by a client of the other build, byte for byte,
 * into the block of this build's agent. */
TEST(CrossBuild, AgentServesTheOtherBuildsRequestBlock)
{
    std::string other = OtherBuildImage(L"block");
    ASSERT_EQ(other.size(), (size_t)KIV_AGENT_BLOCK_SIZE);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\xbuild", NULL));
    ASSERT_TRUE(WriteWholeFile(XBUILD_COPY_SOURCE, "a page from the other build's client"));

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    CopyMemory(client.pBlock, other.data(), KIV_AGENT_BLOCK_SIZE);
    ASSERT_TRUE(client.Send(KIV_CMD_COPY));

    EXPECT_NE(client.Command(), 0) << "copy result";
    std::string copied;
    EXPECT_TRUE(ReadWholeFile(L"C:\\share\\xbuild-page.txt", &copied));
    EXPECT_EQ(copied, "a page from the other build's client");
    EXPECT_TRUE(agent.Stop());
}
