/*
 * The agent's command line: which argument texts ask for which mode, and
 * that a text too short to mean anything ends the agent before it touches
 * anything shared.
 */
#include <gtest/gtest.h>
#include <string.h>
#include <stdio.h>
#include "testsupport.h"
#include "kivprt.h"
#include "hostile.h"

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

/* ---- Hostile input ---------------------------------------------------- */

/* A random argument text: blanks, separators, the letters of "stop" in
 * both cases, printable characters and bytes above 0x7F (no zero). */
static std::string RandomArgs(HostileRandom &rnd, size_t maxLen, bool highBytes)
{
    static const char kPieces[] = " \t-/sStToOpP";
    size_t len = rnd.Below((DWORD)maxLen + 1);
    std::string text;
    while (text.size() < len) {
        DWORD kind = rnd.Below(100);
        if (kind < 45)
            text += kPieces[rnd.Below(sizeof(kPieces) - 1)];
        else if (kind < 47)
            text += rnd.OneIn(2) ? "-stop" : "/StOp";
        else if (kind < 80 || !highBytes)
            text += (char)(0x20 + rnd.Below(0x5F));
        else
            text += (char)(0x80 + rnd.Below(0x80));
    }
    return text;
}

TEST(HostileInput, RandomCommandLines)
{
    const int kTexts = 10000;
    GuardedRegion region(8192);
    ASSERT_TRUE(region.Ok());
    HostileRandom rnd(0x6A09E667u);
    int tried = 0, stops = 0;
    DWORD start = GetTickCount();

    for (int i = 0; i < kTexts; i++) {
        std::string text = RandomArgs(rnd, rnd.OneIn(20) ? 4096 : 64, true);
        SCOPED_TRACE("text " + std::to_string(i));

        /* SkipLeadingBlanks: a pointer into the text. */
        const char *pszText = region.PlaceText(text);
        const char *pszRest = SkipLeadingBlanks(pszText);
        ASSERT_TRUE(pszRest >= pszText && pszRest <= pszText + text.size());

        /* ParseCmdLine: a decision, and nothing touched past the text. */
        char *pszArgs = region.PlaceText(text);
        int stopflag = -1;
        ParseCmdLine(pszArgs, &stopflag);
        ASSERT_TRUE(stopflag == 0 || stopflag == 1);
        ASSERT_EQ(pszArgs[text.size()], 0);
        ASSERT_TRUE(region.MarginIntact());
        stops += stopflag;
        tried++;
    }
    printf("hostile command lines: %d tried in-process (%d asked for stop) in %lu ms\n", tried, stops,
           (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(tried, kTexts);

    /* The real program with random texts that ask for stop mode, and no
     * serving copy: it ends at once, exit code 0, publishing nothing. */
    const int kRuns = 50;
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    ASSERT_TRUE(hReady != NULL);
    int runs = 0;
    start = GetTickCount();
    for (int i = 0; i < kRuns; i++) {
        /* The start-up code skips anything up to a blank before the text,
         * bytes above 0x7F included, so the text starts plainly. */
        std::wstring args = Widen(RandomArgs(rnd, 40, false)) + (rnd.OneIn(2) ? L"-stop\x00E9" : L"/STOP");
        HANDLE hAgent = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\" " + args);
        ASSERT_TRUE(hAgent != NULL) << "run " << i << ": CreateProcessW failed with " << GetLastError();
        DWORD code = 0xdeadbeef;
        bool ended = WaitExit(hAgent, KIV_TEST_DEADLINE_MS, &code);
        if (!ended)
            TerminateProcess(hAgent, 99);
        CloseHandle(hAgent);
        ASSERT_TRUE(ended) << "run " << i;
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT) << "published its objects";
        runs++;
    }
    CloseHandle(hReady);
    printf("hostile command lines: %d real runs in %lu ms\n", runs, (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(runs, kRuns);
}
