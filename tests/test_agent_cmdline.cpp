/*
 * The agent's command line: which argument texts ask for which mode, and
 * that a text too short to mean anything ends the agent before it touches
 * anything shared.
 */
#include <gtest/gtest.h>
#include <string.h>
#include "testsupport.h"
#include "kivprt.h"

static int StopflagOf(const char *pszText)
{
    char buf[512];
    int stopflag = -1;
    lstrcpynA(buf, pszText, sizeof(buf));
    ParseCmdLine(buf, &stopflag);
    return stopflag;
}

TEST(AgentCommandLine, StopTokensAskForStopMode)
{
    static const char *const stopTexts[] = {
        "-stop", "/STOP", "-Stopping", "x-stopper", "  -stop", "-start-stop",
        "/sToP/", "--stop", "-launch/stop", "stop",
    };
    for (const char *pszText : stopTexts)
        EXPECT_EQ(StopflagOf(pszText), 1) << "text \"" << pszText << "\"";
}

TEST(AgentCommandLine, OtherTextsAskForServeMode)
{
    static const char *const serveTexts[] = {
        "  -start", "  -launch", "-sto", "-st op", "- stop", "-xstop", "stip",
        "-start", "/launch", "s-t-o-p", "-sto/p", "",
    };
    for (const char *pszText : serveTexts)
        EXPECT_EQ(StopflagOf(pszText), 0) << "text \"" << pszText << "\"";
}

TEST(AgentCommandLine, TextIsCutIntoTokensInPlace)
{
    char buf[] = "ab-stop/cd";
    int stopflag = 0;
    ParseCmdLine(buf, &stopflag);
    EXPECT_EQ(stopflag, 1);
    EXPECT_STREQ(buf, "ab");
    EXPECT_STREQ(buf + 3, "stop");
    EXPECT_STREQ(buf + 8, "cd");
}

/* Run value and ready event as a peer sees them after a short text. */
TEST(AgentCommandLine, ShortTextsEndBeforeTouchingAnything)
{
    static const wchar_t *const shortTexts[] = {
        L"", L" abc", L" -st", L"   ab", L" /x", L"  \t  ",
    };
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    ASSERT_TRUE(hReady != NULL);
    RegDeleteValueIn(HKEY_LOCAL_MACHINE, KIV_RUN_KEY, KIV_AGENT_RUN_VALUE);

    for (const wchar_t *pszText : shortTexts) {
        DWORD code = 0xdeadbeef;
        ASSERT_TRUE(RunAgentToEnd(pszText, &code)) << "agent with \"" << Narrow(pszText) << "\" did not end";
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT)
            << "agent with \"" << Narrow(pszText) << "\" published its objects";
        EXPECT_FALSE(RegGetString(HKEY_LOCAL_MACHINE, KIV_RUN_KEY, KIV_AGENT_RUN_VALUE, NULL))
            << "agent with \"" << Narrow(pszText) << "\" wrote its autostart value";
    }

    /* The same machine with a text one character longer: the agent serves. */
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L" abcd"));
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, KIV_RUN_KEY, KIV_AGENT_RUN_VALUE, NULL));
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(agent.Stop(&code));
    EXPECT_EQ(code, 0u);
    CloseHandle(hReady);
}
