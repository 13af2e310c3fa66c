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

/* The rule the command line follows: tokens split at every '-' and '/',
 * one that starts with "stop" in any letter case asks for stop mode. */
static int StopRule(const std::string &text)
{
    size_t start = 0;
    for (;;) {
        size_t end = text.find_first_of("-/", start);
        if (end == std::string::npos)
            end = text.size();
        std::string head = text.substr(start, end - start >= 4 ? 4 : 0);
        for (char &c : head)
            c = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
        if (head == "stop")
            return 1;
        if (end == text.size())
            return 0;
        start = end + 1;
    }
}

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

        /* SkipLeadingBlanks: a pointer into the text past blanks only. */
        const char *pszText = region.PlaceText(text);
        const char *pszRest = SkipLeadingBlanks(pszText);
        ASSERT_TRUE(pszRest >= pszText && pszRest <= pszText + text.size());
        for (const char *p = pszText; p < pszRest; p++)
            ASSERT_TRUE(*p == ' ' || *p == '\t');
        ASSERT_NE(*pszRest, ' ');

        /* ParseCmdLine: the rule's decision; the text cut in place, only
         * separators turned into zeros, nothing before or after it touched. */
        char *pszArgs = region.PlaceText(text);
        int stopflag = -1;
        ParseCmdLine(pszArgs, &stopflag);
        ASSERT_EQ(stopflag, StopRule(text)) << "\"" << text << "\"";
        for (size_t k = 0; k < text.size(); k++) {
            bool separator = text[k] == '-' || text[k] == '/';
            ASSERT_TRUE(pszArgs[k] == text[k] || (separator && pszArgs[k] == 0)) << "byte " << k;
        }
        ASSERT_EQ(pszArgs[text.size()], 0);
        ASSERT_TRUE(region.MarginIntact());
        stops += stopflag;
        tried++;
    }
    printf("hostile command lines: %d tried in-process (%d asked for stop) in %lu ms\n", tried, stops,
           (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(tried, kTexts);

    /* The real program, with no serving copy: a stop or a short text ends
     * at once; any other text serves until it is stopped.  Exit code 0. */
    const int kRuns = 50;
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    ASSERT_TRUE(hReady != NULL);
    int runs = 0, served = 0;
    start = GetTickCount();
    for (int i = 0; i < kRuns; i++) {
        /* The start-up code skips anything up to a blank before the text,
         * bytes above 0x7F included, so the text starts plainly; a wide
         * character above 0x7F goes last, where it changes no decision
         * whatever the ANSI code page makes of it. */
        std::string text = RandomArgs(rnd, 40, false);
        if (i % 2)
            text.insert(rnd.Below((DWORD)text.size() + 1), rnd.OneIn(2) ? "-stop" : "/STOP");
        const char *pszRest = SkipLeadingBlanks(text.c_str());
        bool serves = strlen(pszRest) > 3 && !StopRule(pszRest);
        std::wstring args = Widen(text);
        if (strlen(pszRest) > 8)
            args += rnd.OneIn(2) ? L'\x00E9' : L'\x00FC';
        SCOPED_TRACE("run " + std::to_string(i) + ": \"" + text + "\"");

        HANDLE hAgent = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\" " + args);
        ASSERT_TRUE(hAgent != NULL);
        if (serves) {
            EXPECT_EQ(WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0);
            DWORD stopCode = 0xdeadbeef;
            EXPECT_TRUE(RunAgentToEnd(L"  -stop", &stopCode));
            EXPECT_EQ(stopCode, 0u);
            WaitForSingleObject(hReady, 0);   /* the stopping copy's */
            served++;
        }
        DWORD code = 0xdeadbeef;
        bool ended = WaitExit(hAgent, KIV_TEST_DEADLINE_MS, &code);
        if (!ended)
            TerminateProcess(hAgent, 99);
        CloseHandle(hAgent);
        ASSERT_TRUE(ended);
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT) << "published its objects";
        runs++;
    }
    CloseHandle(hReady);
    printf("hostile command lines: %d real runs (%d served until stopped) in %lu ms\n", runs, served,
           (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(runs, kRuns);
}
