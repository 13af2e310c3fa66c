/*
 * The path agent kivprt as its peers see it: the real program in a prefix
 * of its own, driven from this process through nothing but the named
 * objects, the registry and the files it works on.
 */
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include "testsupport.h"
#include "agentsync.h"
#include "hostile.h"

#define RUN_KEY   "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define RUN_VALUE "kivprt"

static std::string ExpectedAutoRunText()
{
    return "\"" + Narrow(BinPath(L"kivprt.exe")) + "\"  -start";
}

static std::string AutoRunValue()
{
    std::string value;
    DWORD type = 0;
    if (!RegGetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, &value, &type))
        return "<absent>";
    if (type != REG_SZ)
        return "<type " + std::to_string(type) + ">";
    return value;
}

static std::string Upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return s;
}

/* ---- Modes ---------------------------------------------------------- */

TEST(AgentModes, SecondServingCopyEndsAtOnceAndLeavesAutostartAlone)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, "C:\\elsewhere\\kivprt.exe  -start"));

    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(RunAgentToEnd(L"  -launch", &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT) << "second copy signalled ready";
    CloseHandle(hReady);
    EXPECT_EQ(AutoRunValue(), "C:\\elsewhere\\kivprt.exe  -start");

    /* The first copy still serves. */
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, L"C:\\windows"));
    EXPECT_EQ(client.TestResult(), 1);
    ASSERT_TRUE(agent.Stop(&code));
    EXPECT_EQ(code, 0u);
}

TEST(AgentModes, StopWithoutServingCopyEndsAtOnceAndLeavesAutostartAlone)
{
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, "C:\\elsewhere\\kivprt.exe  -start"));
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);

    for (const wchar_t *pszText : { L"  -stop", L" /STOP", L" x-stopper" }) {
        DWORD code = 0xdeadbeef;
        ASSERT_TRUE(RunAgentToEnd(pszText, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT) << Narrow(pszText);
    }
    CloseHandle(hReady);
    EXPECT_EQ(AutoRunValue(), "C:\\elsewhere\\kivprt.exe  -start");
}

TEST(AgentModes, StopWithServingCopyRewritesAutostartAndEndsIt)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch"));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, "C:\\old\\kivprt.exe  -start"));

    /* The stopping copy signals the ready event too, after its quit. */
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    DWORD stopCode = 0xdeadbeef, serveCode = 0xdeadbeef;
    ASSERT_TRUE(RunAgentToEnd(L"  -Stopping", &stopCode));
    EXPECT_EQ(stopCode, 0u);
    EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_OBJECT_0) << "stopping copy gave no ready signal";
    CloseHandle(hReady);
    ASSERT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, &serveCode)) << "serving copy did not end";
    EXPECT_EQ(serveCode, 0u);
    EXPECT_EQ(AutoRunValue(), ExpectedAutoRunText());
    /* With both gone, nobody holds the block any more. */
    EXPECT_TRUE(WaitFor([] { return !MutexExists(KIV_AGENT_INSTANCE_NAME); }));
}

/* ---- Autostart value ------------------------------------------------ */

TEST(AgentAutostart, WrittenAsModulePathAndStartSwitch)
{
    RegDeleteValueIn(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch"));
    EXPECT_EQ(AutoRunValue(), ExpectedAutoRunText());
    ASSERT_TRUE(agent.Stop());
}

TEST(AgentAutostart, ValueDifferingOnlyInLetterCaseStays)
{
    std::string upper = Upper(ExpectedAutoRunText());
    ASSERT_NE(upper, ExpectedAutoRunText());
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, upper));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch"));
    EXPECT_EQ(AutoRunValue(), upper);
    ASSERT_TRUE(agent.Stop());
    EXPECT_EQ(AutoRunValue(), upper);
}

TEST(AgentAutostart, ValueWithAnotherPathOrSwitchIsReplaced)
{
    std::string path = Narrow(BinPath(L"kivprt.exe"));
    const std::string others[] = {
        "C:\\Program Files\\KivImagePrinter30\\kivprt.exe  -start",
        path + "  -start",   /* an earlier installation's, unquoted */
        path + "  -launch",
        path + " -start",
        path,
        "",
    };
    for (const std::string &other : others) {
        ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, other));
        AgentProcess agent;
        ASSERT_TRUE(agent.Start(L"  -start"));
        EXPECT_EQ(AutoRunValue(), ExpectedAutoRunText()) << "was \"" << other << "\"";
        ASSERT_TRUE(agent.Stop());
    }
}

TEST(AgentAutostart, OwnPathTooLongForTheValueWritesNothing)
{
    /* A program path of 258 characters: it fits the system's path room,
     * not the 255 characters the value allows; a cut path would start
     * nothing at logon, so the value is left alone and the agent serves. */
    std::wstring folder = L"C:\\" + std::wstring(120, L'd');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    folder += L"\\" + std::wstring(258 - folder.size() - 1 - wcslen(L"\\kivprt.exe"), L'e');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    std::wstring exe = folder + L"\\kivprt.exe";
    ASSERT_EQ(exe.size(), 258u);
    ASSERT_TRUE(CopyFileW(BinPath(L"kivprt.exe").c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, "C:\\old\\kivprt.exe  -start"));

    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    HANDLE hAgent = Launch(L"\"" + exe + L"\"  -start");
    ASSERT_TRUE(hAgent != NULL);
    ASSERT_EQ(WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0);
    CloseHandle(hReady);
    EXPECT_EQ(AutoRunValue(), "C:\\old\\kivprt.exe  -start");

    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, folder.c_str()));
    EXPECT_EQ(client.TestResult(), 1);
    client.Detach();
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(RunAgentToEnd(L"  -stop", &code));
    EXPECT_TRUE(WaitExit(hAgent, KIV_TEST_DEADLINE_MS, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(hAgent);
}

/* ---- Requests, from a client that knows only the named objects ----- */

class AgentProtocol : public ::testing::Test {
protected:
    AgentProcess agent;
    RawAgentClient client;

    void SetUp() override
    {
        ASSERT_TRUE(agent.Start(L"  -launch"));
        ASSERT_TRUE(client.Attach());
    }
    void TearDown() override
    {
        client.Detach();
        DWORD code = 0xdeadbeef;
        EXPECT_TRUE(agent.Stop(&code)) << "agent did not stop";
        EXPECT_EQ(code, 0u);
    }
};

TEST_F(AgentProtocol, CopyIntoUncShare)
{
    ASSERT_TRUE(WriteWholeFile(L"C:\\source.txt", "first"));
    ASSERT_TRUE(client.Send(KIV_CMD_COPY, L"C:\\source.txt", L"\\\\kivtest\\share\\target.txt"));
    EXPECT_NE(client.Command(), 0) << "copy reported failure";
    std::string data;
    ASSERT_TRUE(ReadWholeFile(L"C:\\share\\target.txt", &data));
    EXPECT_EQ(data, "first");

    /* An existing target is replaced. */
    ASSERT_TRUE(WriteWholeFile(L"C:\\source.txt", "second, longer"));
    ASSERT_TRUE(client.Send(KIV_CMD_COPY, L"C:\\source.txt", L"\\\\kivtest\\share\\target.txt"));
    EXPECT_NE(client.Command(), 0);
    ASSERT_TRUE(ReadWholeFile(L"C:\\share\\target.txt", &data));
    EXPECT_EQ(data, "second, longer");

    /* And back out of the share. */
    ASSERT_TRUE(client.Send(KIV_CMD_COPY, L"\\\\kivtest\\share\\target.txt", L"C:\\back.txt"));
    EXPECT_NE(client.Command(), 0);
    ASSERT_TRUE(ReadWholeFile(L"C:\\back.txt", &data));
    EXPECT_EQ(data, "second, longer");
}

TEST_F(AgentProtocol, CopyOfMissingSourceOrIntoMissingFolderGivesZero)
{
    ASSERT_TRUE(client.Send(KIV_CMD_COPY, L"C:\\no such file.txt", L"\\\\kivtest\\share\\x.txt"));
    EXPECT_EQ(client.Command(), 0);
    EXPECT_FALSE(PathIsFile(L"C:\\share\\x.txt"));

    ASSERT_TRUE(WriteWholeFile(L"C:\\source.txt", "data"));
    ASSERT_TRUE(client.Send(KIV_CMD_COPY, L"C:\\source.txt", L"\\\\kivtest\\share\\nofolder\\x.txt"));
    EXPECT_EQ(client.Command(), 0);
}

TEST_F(AgentProtocol, DeleteRemovesTheFileAndAnswersAlways)
{
    ASSERT_TRUE(WriteWholeFile(L"C:\\share\\old.txt", "old"));
    ASSERT_TRUE(client.Send(KIV_CMD_DELETE, L"\\\\kivtest\\share\\old.txt"));
    EXPECT_EQ(client.Command(), KIV_CMD_DELETE) << "delete has no result";
    EXPECT_FALSE(PathIsFile(L"C:\\share\\old.txt"));

    /* Nothing to delete: still answered. */
    ASSERT_TRUE(client.Send(KIV_CMD_DELETE, L"\\\\kivtest\\share\\old.txt"));
}

TEST_F(AgentProtocol, FolderAndFileTestsWriteTheirResultAtByte516)
{
    ASSERT_TRUE(CreateDirectoryW(L"C:\\share\\folder", NULL));
    ASSERT_TRUE(WriteWholeFile(L"C:\\share\\file.txt", "x"));
    struct {
        const wchar_t *pszPath;
        LONG isFolder, isFile;
    } const cases[] = {
        { L"\\\\kivtest\\share\\folder", 1, 0 },
        { L"\\\\kivtest\\share\\folder\\", 1, 0 },
        { L"\\\\kivtest\\share\\file.txt", 0, 1 },
        { L"\\\\kivtest\\share\\missing", 0, 0 },
        { L"\\\\kivtest\\share", 1, 0 },
        { L"\\\\nosuchserver\\share\\file.txt", 0, 0 },
        { L"C:\\windows", 1, 0 },
        { L"", 0, 0 },
    };
    for (const auto &c : cases) {
        /* Fill the result field first, so a missing write shows. */
        KivAgentSetTestResult(client.pBlock, 0x5a5a5a5a);
        ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, c.pszPath));
        EXPECT_EQ(client.TestResult(), c.isFolder) << "folder test of " << Narrow(c.pszPath);
        EXPECT_EQ(client.Command(), KIV_CMD_DIR_EXISTS);

        KivAgentSetTestResult(client.pBlock, 0x5a5a5a5a);
        ASSERT_TRUE(client.Send(KIV_CMD_FILE_EXISTS, c.pszPath));
        EXPECT_EQ(client.TestResult(), c.isFile) << "file test of " << Narrow(c.pszPath);
    }
    /* The result overlays the second path's first two characters, and
     * nothing after them. */
    ASSERT_TRUE(client.Send(KIV_CMD_FILE_EXISTS, L"\\\\kivtest\\share\\file.txt", L"abcdef"));
    EXPECT_EQ(client.pBlock->szPath2[0], 1);
    EXPECT_EQ(client.pBlock->szPath2[1], 0);
    EXPECT_EQ(client.pBlock->szPath2[2], L'c');
}

TEST_F(AgentProtocol, RunStartsTheCommandLine)
{
    std::wstring cmd = L"\"" + BinPath(L"recorder.exe") + L"\" C:\\share\\run.log hello  world";
    ASSERT_TRUE(client.Send(KIV_CMD_RUN, cmd.c_str()));
    EXPECT_EQ(client.Command(), KIV_CMD_RUN);
    std::string log;
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\share\\run.log", &log); })) << "program was not started";
    EXPECT_EQ(log, "hello  world\n");

    /* A program that cannot be started: answered all the same. */
    ASSERT_TRUE(client.Send(KIV_CMD_RUN, L"C:\\no such program.exe"));
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, L"C:\\windows"));
    EXPECT_EQ(client.TestResult(), 1);
}

TEST_F(AgentProtocol, OpenFollowsTheFileAssociation)
{
    /* Documents of type .kivdoc open in the recording helper. */
    std::string command = "\"" + Narrow(BinPath(L"recorder.exe")) + "\" C:\\open.log \"%1\" %*";
    ASSERT_TRUE(RegSetString(HKEY_CLASSES_ROOT, ".kivdoc", "", "KivTestDocument"));
    ASSERT_TRUE(RegSetString(HKEY_CLASSES_ROOT, "KivTestDocument\\shell\\open\\command", "", command));
    ASSERT_TRUE(WriteWholeFile(L"C:\\share\\page.kivdoc", "page"));

    ASSERT_TRUE(client.Send(KIV_CMD_OPEN, L"\\\\kivtest\\share\\page.kivdoc"));
    EXPECT_EQ(client.Command(), KIV_CMD_OPEN);
    std::string log;
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\open.log", &log); })) << "document was not opened";
    EXPECT_EQ(log.find("\"\\\\kivtest\\share\\page.kivdoc\""), 0u) << log;
}

TEST_F(AgentProtocol, UnknownCodesAreAnsweredAndLeaveTheBlockAlone)
{
    for (LONG lCode : { 7L, -1L, 0x7fffffffL, (LONG)0x80000000 }) {
        client.pBlock->lCommand = lCode;
        for (int i = 0; i < KIV_AGENT_PATH_UNITS; i++) {
            client.pBlock->szPath1[i] = (WCHAR)(0x100 + i);
            client.pBlock->szPath2[i] = (WCHAR)(0x300 + i);
        }
        AGENTBLOCK before = *client.pBlock;
        ASSERT_TRUE(client.Send(lCode)) << "code " << lCode << " not answered";
        EXPECT_EQ(memcmp(&before, client.pBlock, sizeof(before)), 0) << "code " << lCode << " changed the block";
    }
}

TEST_F(AgentProtocol, QuitEndsTheAgentAndLeavesDoneSignalled)
{
    /* A quit with nobody waiting for done leaves the done event signalled. */
    client.pBlock->lCommand = KIV_CMD_QUIT;
    SetEvent(client.hExec);
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(WaitForSingleObject(client.hDone, 0), (DWORD)WAIT_OBJECT_0);
    /* Restart, so TearDown has an agent to stop. */
    ASSERT_TRUE(agent.Start(L"  -launch"));
}

/* ---- Hostile input ---------------------------------------------------- */

TEST_F(AgentProtocol, UnterminatedPathFieldsAreCutAndEveryCodeIsAnswered)
{
    for (LONG lCode = KIV_CMD_COPY; lCode <= KIV_CMD_RUN; lCode++) {
        for (BYTE fill : { (BYTE)'A', (BYTE)0xFF, (BYTE)0x5C }) {
            client.pBlock->lCommand = lCode;
            memset(client.pBlock->szPath1, fill, sizeof(client.pBlock->szPath1));
            memset(client.pBlock->szPath2, fill, sizeof(client.pBlock->szPath2));
            SetEvent(client.hExec);
            ASSERT_EQ(WaitForSingleObject(client.hDone, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0)
                << "code " << lCode << " with fill " << (int)fill << " not answered";
            if (lCode == KIV_CMD_COPY) {
                EXPECT_EQ(client.Command(), 0);
            }
            if (lCode == KIV_CMD_DIR_EXISTS || lCode == KIV_CMD_FILE_EXISTS) {
                EXPECT_EQ(client.TestResult(), 0);
            }
        }
    }

    /* A field of 256 units without a terminator counts as its first 255. */
    std::wstring name(255 - wcslen(L"C:\\share\\"), L'n');
    std::wstring target = L"C:\\share\\" + name;
    ASSERT_EQ(target.size(), 255u);
    ASSERT_TRUE(WriteWholeFile(L"C:\\source.txt", "cut"));
    client.pBlock->lCommand = KIV_CMD_COPY;
    wcscpy(client.pBlock->szPath1, L"C:\\source.txt");
    memcpy(client.pBlock->szPath2, target.c_str(), 255 * sizeof(WCHAR));
    client.pBlock->szPath2[255] = L'Z';
    SetEvent(client.hExec);
    ASSERT_EQ(WaitForSingleObject(client.hDone, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0);
    EXPECT_NE(client.Command(), 0);
    EXPECT_TRUE(PathIsFile(target));

    /* Still serving. */
    ASSERT_TRUE(client.Send(KIV_CMD_FILE_EXISTS, target.c_str()));
    EXPECT_EQ(client.TestResult(), 1);
}

/* ---- Life cycle --------------------------------------------------------- */

TEST(AgentLifecycle, RequestWaitingWithoutAgentIsServedByALaterOne)
{
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(WriteWholeFile(L"C:\\share\\waiting.txt", "w"));
    client.pBlock->lCommand = KIV_CMD_FILE_EXISTS;
    wcscpy(client.pBlock->szPath1, L"\\\\kivtest\\share\\waiting.txt");
    KivAgentSetTestResult(client.pBlock, 0x5a5a5a5a);
    SetEvent(client.hExec);
    EXPECT_EQ(WaitForSingleObject(client.hDone, 200), (DWORD)WAIT_TIMEOUT) << "answered without an agent";

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start", false));
    ASSERT_EQ(WaitForSingleObject(client.hDone, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0)
        << "the waiting request was not served";
    EXPECT_EQ(client.TestResult(), 1);
    ASSERT_TRUE(agent.Stop());
}

TEST(AgentLifecycle, AgentEndsQuietlyWhenItsObjectsCannotBeHad)
{
    /* Another kind of object holds one of the names: the block or that
     * event cannot be had, and the agent ends without serving. */
    static const wchar_t *const names[] = {
        KIV_AGENT_MEM_NAME, KIV_AGENT_EXEC_NAME, KIV_AGENT_DONE_NAME, KIV_AGENT_SYNC_NAME,
    };
    for (const wchar_t *pszName : names) {
        HANDLE hSquat = CreateMutexW(NULL, FALSE, pszName);
        ASSERT_TRUE(hSquat != NULL);
        HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
        DWORD code = 0xdeadbeef;
        ASSERT_TRUE(RunAgentToEnd(L"  -launch", &code)) << "agent kept running without " << Narrow(pszName);
        EXPECT_EQ(code, 0u);
        if (hReady) {
            EXPECT_EQ(WaitForSingleObject(hReady, 0), (DWORD)WAIT_TIMEOUT) << Narrow(pszName);
            CloseHandle(hReady);
        }
        CloseHandle(hSquat);
    }

    /* With the names free again the agent serves. */
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch"));
    ASSERT_TRUE(agent.Stop());
}

TEST(AgentLifecycle, SmallerMappingTakenFirstIsServedWithinItsView)
{
    /* Views come in whole pages, so a mapping made smaller by somebody
     * else still gives the agent a view that spans the block. */
    HANDLE hSmall = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 16, KIV_AGENT_MEM_NAME);
    ASSERT_TRUE(hSmall != NULL);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch"));
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, L"\\\\kivtest\\share"));
    EXPECT_EQ(client.TestResult(), 1);
    client.Detach();
    ASSERT_TRUE(agent.Stop());
    CloseHandle(hSmall);
}

/* ---- Hostile input, counted ----------------------------------------- */

namespace {

/* Operations that change files get paths under these folders only, from
 * units that cannot name a parent folder, another drive or a device. */
const wchar_t kScratch[] = L"C:\\fuzz\\";
const wchar_t kNowhere[] = L"C:\\fuzz-none\\";   /* never exists */
const wchar_t kSafeUnits[] = L"bdefghxyz0123456789 $~_\\";
const wchar_t kAnyUnits[] = L"\\/:.*? abcnopstCON0129";

/* A path field: the prefix, then random units, cut by a zero at a random
 * place or by none at all (the agent reads at most 255 units). */
void FillField(WCHAR *pField, HostileRandom &rnd, const wchar_t *pszPrefix, bool safe)
{
    size_t i = wcslen(pszPrefix);
    memcpy(pField, pszPrefix, i * sizeof(WCHAR));
    for (; i < KIV_AGENT_PATH_UNITS; i++) {
        if (rnd.OneIn(4))
            pField[i] = (WCHAR)(0x100 + rnd.Below(0xFF00));
        else if (safe)
            pField[i] = kSafeUnits[rnd.Below(wcslen(kSafeUnits))];
        else if (rnd.OneIn(3))
            pField[i] = (WCHAR)rnd.Below(0x100);
        else
            pField[i] = kAnyUnits[rnd.Below(wcslen(kAnyUnits))];
    }
    if (!rnd.OneIn(4))
        pField[wcslen(pszPrefix) + rnd.Below(KIV_AGENT_PATH_UNITS - (DWORD)wcslen(pszPrefix))] = 0;
}

/* A scratch path: now and then a name that copies make and deletes
 * remove, else a random one. */
void FillScratchField(WCHAR *pField, HostileRandom &rnd)
{
    if (rnd.OneIn(3))
        wcscpy(pField, rnd.OneIn(2) ? L"C:\\fuzz\\d" : L"C:\\fuzz\\e");
    else
        FillField(pField, rnd, kScratch, true);
}

/* Every code, the slow ones (quit ends the agent, open and run pause) rare;
 * codes outside 0..6 include the agent's own serving mark. */
LONG PickCode(HostileRandom &rnd, LONG lAgentMark)
{
    DWORD r = rnd.Below(1000);
    if (r < 1)
        return KIV_CMD_QUIT;
    if (r < 3)
        return KIV_CMD_OPEN;
    if (r < 5)
        return KIV_CMD_RUN;
    if (r < 205)
        return KIV_CMD_COPY;
    if (r < 305)
        return KIV_CMD_DELETE;
    if (r < 505)
        return KIV_CMD_DIR_EXISTS;
    if (r < 705)
        return KIV_CMD_FILE_EXISTS;
    switch (rnd.Below(5)) {
    case 0:
        return 7 + (LONG)rnd.Below(1000);
    case 1:
        return -1 - (LONG)rnd.Below(1000);
    case 2:
        return lAgentMark;
    case 3:
        return KivAgentServingMark(0);
    default: {
        LONG l = (LONG)rnd.Next();
        return (l >= KIV_CMD_QUIT && l <= KIV_CMD_RUN) ? 7 : l;
    }
    }
}

}  // namespace

TEST(HostileInput, RandomSharedBlocks)
{
    const int kRequests = 10000;
    ASSERT_TRUE(CreateDirectoryW(L"C:\\fuzz", NULL));
    ASSERT_TRUE(WriteWholeFile(L"C:\\fuzz\\b", "scratch"));
    const std::set<std::wstring> rootBefore = FolderNames(L"C:\\");
    AgentProcess agent;
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    /* The first request after a start is a plain one, so that the random
     * codes meet an agent that serves. */
    auto startAgent = [&] {
        return agent.Start(L"  -launch") && client.Send(KIV_CMD_DIR_EXISTS, L"C:\\fuzz") &&
               client.TestResult() == 1;
    };
    ASSERT_TRUE(startAgent());
    HostileRandom rnd(0xBB67AE85u);
    int sent = 0, restarts = 0, copied = 0, perCode[8] = {0};
    DWORD start = GetTickCount();

    for (int i = 0; i < kRequests; i++) {
        AGENTBLOCK *pBlock = client.pBlock;
        LONG lCode = PickCode(rnd, KivAgentServingMark(GetProcessId(agent.hProcess)));
        FillField(pBlock->szPath1, rnd, L"", false);
        FillField(pBlock->szPath2, rnd, L"", false);
        if (lCode == KIV_CMD_DELETE)
            FillScratchField(pBlock->szPath1, rnd);
        if (lCode == KIV_CMD_COPY) {
            /* From the one file no request removes, or from anywhere. */
            if (rnd.OneIn(2))
                wcscpy(pBlock->szPath1, L"C:\\fuzz\\b");
            else
                FillScratchField(pBlock->szPath1, rnd);
            FillScratchField(pBlock->szPath2, rnd);
        }
        if (lCode == KIV_CMD_OPEN || lCode == KIV_CMD_RUN)
            FillField(pBlock->szPath1, rnd, kNowhere, true);
        pBlock->lCommand = lCode;
        const AGENTBLOCK before = *pBlock;

        ASSERT_TRUE(client.Send(lCode)) << "request " << i << " (code " << lCode << ") not answered";
        sent++;
        perCode[(lCode >= KIV_CMD_QUIT && lCode <= KIV_CMD_RUN) ? lCode : 7]++;
        switch (lCode) {
        case KIV_CMD_QUIT: {
            DWORD code = 0xdeadbeef;
            ASSERT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, &code)) << "request " << i;
            EXPECT_EQ(code, 0u);
            CloseHandle(agent.hProcess);
            agent.hProcess = NULL;
            ASSERT_TRUE(startAgent()) << "restart after request " << i;
            restarts++;
            break;
        }
        case KIV_CMD_COPY:
            ASSERT_TRUE(client.Command() == 0 || client.Command() == 1) << "request " << i;
            copied += client.Command();
            break;
        case KIV_CMD_DIR_EXISTS:
        case KIV_CMD_FILE_EXISTS:
            ASSERT_TRUE(client.TestResult() == 0 || client.TestResult() == 1) << "request " << i;
            /* fall through */
        case KIV_CMD_DELETE:
        case KIV_CMD_OPEN:
        case KIV_CMD_RUN:
            ASSERT_EQ(client.Command(), lCode) << "request " << i;
            break;
        default:
            ASSERT_EQ(memcmp(&before, pBlock, sizeof(before)), 0) << "request " << i << " code " << lCode;
        }
    }
    printf("hostile shared blocks: %d requests answered (quit %d, copy %d of which %d copied, delete %d, "
           "folder %d, file %d, open %d, run %d, other codes %d), %d agent restarts, in %lu ms\n",
           sent, perCode[0], perCode[1], copied, perCode[2], perCode[3], perCode[4], perCode[5], perCode[6],
           perCode[7], restarts, (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(sent, kRequests);

    /* Still serving, with the right answers; nothing outside the scratch
     * folder was made or removed. */
    ASSERT_TRUE(WriteWholeFile(L"C:\\fuzz\\last", "x"));
    ASSERT_TRUE(client.Send(KIV_CMD_FILE_EXISTS, L"C:\\fuzz\\last"));
    EXPECT_EQ(client.TestResult(), 1);
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, L"C:\\fuzz\\last"));
    EXPECT_EQ(client.TestResult(), 0);
    EXPECT_EQ(WaitForSingleObject(agent.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "the agent ended";
    EXPECT_TRUE(FolderNames(L"C:\\") == rootBefore);
    client.Detach();
    EXPECT_TRUE(agent.Stop());
}
