/*
 * The agent and its clients on a busy machine: a client ended in the
 * middle of a request, a stop that arrives during a long copy, an agent
 * ended while it serves, and an agent ended and started again and again
 * while clients send.  Each situation runs the real kivprt.exe and client
 * processes; the next client is this test, through the common library.
 * The share \\kivtest\share is the prefix's C:\share, so every answer can
 * be checked locally.
 */
#include <gtest/gtest.h>
#include <stdio.h>
#include <set>
#include <string>
#include <vector>

#include "test_common_util.h"
#include "agentsync.h"
#include "kivclient.h"
#include "kivseams.h"
#include "setuptest.h"

namespace {

const wchar_t kShare[] = L"\\\\kivtest\\share\\";
const wchar_t kLocalShare[] = L"C:\\share\\";
const wchar_t kReadyEvent[] = L"KivTestStallReady";

/* Large enough that its copy is still running while the test acts. */
const LONGLONG kBigFileBytes = 1LL << 30;

std::wstring Unc(const std::wstring &name) { return kShare + name; }
std::wstring Local(const std::wstring &name) { return kLocalShare + name; }

/* A file of the given size that costs no writing: its length is set, its
 * bytes (zeros) are read and copied all the same. */
bool MakeBigFile(const std::wstring &path, LONGLONG cb)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    bool ok;

    if (h == INVALID_HANDLE_VALUE)
        return false;
    size.QuadPart = cb;
    ok = SetFilePointerEx(h, size, NULL, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

ULONGLONG LastWrite(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
}

LONGLONG FileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

std::set<std::wstring> ShareNames()
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(Local(L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            names.insert(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

std::wstring Helper()
{
    return L"\"" + BinPath(L"kivclienthelper.exe") + L"\"";
}

/* The agent serves a request: its mark is in the command word. */
bool AgentServes(const RawAgentClient &view)
{
    return KivAgentIsServingMark(KivAgentReadCommand(view.pBlock));
}

/* A client stopped in the middle of a copy request at the given stage,
 * holding the client mutex; NULL when it did not get there. */
HANDLE StalledClient(const wchar_t *pszStage, const std::wstring &from, const std::wstring &to)
{
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, kReadyEvent);
    HANDLE hClient = Launch(Helper() + L" stall " + pszStage + L" \"" + from + L"\" \"" + to + L"\" " + kReadyEvent);
    bool ready = hClient && WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS) == WAIT_OBJECT_0;

    CloseHandle(hReady);
    if (!ready && hClient) {
        TerminateProcess(hClient, 1);
        CloseHandle(hClient);
        hClient = NULL;
    }
    return hClient;
}

void Kill(HANDLE hProcess)
{
    TerminateProcess(hProcess, 99);
    WaitForSingleObject(hProcess, KIV_TEST_DEADLINE_MS);
    CloseHandle(hProcess);
}

/* What the next client asks and must get, each its own answer: tests of a
 * missing file, a folder and a file, a copy and a delete. */
void ExpectOwnAnswers()
{
    ASSERT_TRUE(WriteWholeFile(L"C:\\next.txt", "the next client's page"));
    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(FileExists(Unc(L"missing.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 1);
    EXPECT_EQ(FileExists(Unc(L"dir").c_str()), 0);
    EXPECT_EQ(UNCCopyFile(L"C:\\next.txt", Unc(L"next.txt").c_str()), 1);
    EXPECT_EQ(FileExists(Unc(L"next.txt").c_str()), 1);
    ExitUNCShelllApp();
    std::string data;
    EXPECT_TRUE(ReadWholeFile(Local(L"next.txt"), &data));
    EXPECT_EQ(data, "the next client's page");

    /* No call of the library deletes; a client of the bare objects does,
     * now that the mutex is free again. */
    RawAgentClient raw;
    ASSERT_TRUE(raw.Attach());
    ASSERT_TRUE(raw.Send(KIV_CMD_DELETE, Unc(L"next.txt").c_str()));
    EXPECT_FALSE(PathIsFile(Local(L"next.txt")));
}

class DeadClient : public ::testing::Test {
protected:
    AgentProcess agent;

    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
        ASSERT_TRUE(WriteWholeFile(L"C:\\page.txt", "the dead client's page"));
        ASSERT_TRUE(agent.Start(L"  -start"));
    }
    void TearDown() override
    {
        /* Still serving, and nothing made it quit. */
        EXPECT_EQ(WaitForSingleObject(agent.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "the agent ended";
        EXPECT_TRUE(agent.Stop());
    }
};

}  // namespace

/* ---- A client ended in the middle of a request ------------------------ */

TEST_F(DeadClient, EndedBeforeItSignalledItsRequest)
{
    HANDLE hClient = StalledClient(L"unsignalled", L"C:\\page.txt", Unc(L"dead.txt"));
    ASSERT_TRUE(hClient);
    Kill(hClient);

    ExpectOwnAnswers();
    /* Its request was never signalled, so it was never carried out. */
    EXPECT_EQ(ShareNames(), (std::set<std::wstring>{ L"dir" }));
}

TEST_F(DeadClient, EndedWhileTheAgentServesItsCopy)
{
    ASSERT_TRUE(MakeBigFile(L"C:\\big.bin", kBigFileBytes));
    RawAgentClient view;
    ASSERT_TRUE(view.Attach());
    HANDLE hClient = StalledClient(L"signalled", L"C:\\big.bin", Unc(L"dead.bin"));
    ASSERT_TRUE(hClient);
    ASSERT_TRUE(WaitFor([&] { return AgentServes(view); })) << "the agent did not take the copy";
    Kill(hClient);
    ASSERT_TRUE(AgentServes(view)) << "the copy ended before the client did; the file is too small";

    ExpectOwnAnswers();
    /* The dead client's copy was signalled and runs to its end, once; no
     * operation nobody asked for left anything behind. */
    EXPECT_EQ(FileSize(Local(L"dead.bin")), kBigFileBytes);
    EXPECT_EQ(ShareNames(), (std::set<std::wstring>{ L"dir", L"dead.bin" }));
}

TEST_F(DeadClient, EndedAfterItsAnswerBeforeItReleasedTheMutex)
{
    HANDLE hClient = StalledClient(L"answered", L"C:\\page.txt", Unc(L"dead.txt"));
    ASSERT_TRUE(hClient);
    Kill(hClient);

    ExpectOwnAnswers();
    std::string data;
    EXPECT_TRUE(ReadWholeFile(Local(L"dead.txt"), &data));
    EXPECT_EQ(data, "the dead client's page");
    EXPECT_EQ(ShareNames(), (std::set<std::wstring>{ L"dir", L"dead.txt" }));
}

/* ---- A stop, or the agent's end, during a long copy -------------------- */

/* A client's copy of a large file into the share, taken by the agent. */
class LongCopy : public ::testing::Test {
protected:
    AgentProcess agent;
    RawAgentClient view;
    HANDLE hClient = NULL;

    void SetUp() override
    {
        ASSERT_TRUE(MakeBigFile(L"C:\\big.bin", kBigFileBytes));
        ASSERT_TRUE(agent.Start(L"  -start"));
        ASSERT_TRUE(view.Attach());
        hClient = Launch(Helper() + L" copy C:\\big.bin " + Unc(L"big.bin"));
        ASSERT_TRUE(hClient);
        ASSERT_TRUE(WaitFor([&] { return AgentServes(view); })) << "the agent did not take the copy";
    }
    /* The client ends, its copy reported done, and the file is whole. */
    void ExpectCopied()
    {
        DWORD code = 99;
        EXPECT_TRUE(WaitExit(hClient, 60000, &code)) << "the client still waits";
        EXPECT_EQ(code, 0u) << "the client's copy did not report success";
        EXPECT_EQ(FileSize(Local(L"big.bin")), kBigFileBytes);
    }
    void TearDown() override
    {
        if (hClient)
            CloseHandle(hClient);
    }
};

TEST_F(LongCopy, AQuitWithoutTheMutexEndsTheAgentAfterItWithoutASecondCopy)
{
    /* As a stop built from the protocol alone sends it. */
    view.pBlock->lCommand = KIV_CMD_QUIT;
    SetEvent(view.hExec);
    ExpectCopied();
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(Local(L"big.bin").c_str(), GetFileExInfoStandard, &data));
    FILETIME written = data.ftLastWriteTime;

    EXPECT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, NULL)) << "the agent did not quit";
    ASSERT_TRUE(GetFileAttributesExW(Local(L"big.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&written, &data.ftLastWriteTime), 0) << "the copy was made a second time";
}

TEST_F(LongCopy, TheAgentEndedWhileServingItTheNextAgentMakesIt)
{
    TerminateProcess(agent.hProcess, 99);
    ASSERT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, NULL));
    CloseHandle(agent.hProcess);
    ASSERT_TRUE(agent.Start(L"  -start"));
    ExpectCopied();
    EXPECT_TRUE(agent.Stop());
}

TEST_F(LongCopy, TwoStopsLeaveNothingForTheNextAgent)
{
    HANDLE hStops[2];
    for (HANDLE &hStop : hStops) {
        hStop = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\"  -stop");
        ASSERT_TRUE(hStop);
    }
    ExpectCopied();
    EXPECT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, NULL)) << "the agent did not quit";
    for (HANDLE hStop : hStops) {
        EXPECT_TRUE(WaitExit(hStop, KIV_TEST_DEADLINE_MS, NULL)) << "a stop still waits";
        CloseHandle(hStop);
    }
    CloseHandle(agent.hProcess);
    ASSERT_TRUE(agent.Start(L"  -start"));
    ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
    ExpectOwnAnswers();
    EXPECT_TRUE(agent.Stop());
}

TEST(AgentStop, AStopWaitingForTheMutexIsNoAgent)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    HANDLE hClient = StalledClient(L"unsignalled", L"C:\\page.txt", Unc(L"dead.txt"));
    ASSERT_TRUE(hClient);
    /* The stop writes the autostart value once it chose stop mode. */
    ASSERT_TRUE(RegDeleteValueIn(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "kivprt"));
    HANDLE hStop = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\"  -stop");
    std::string value;
    ASSERT_TRUE(WaitFor([&] {
        return RegGetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "kivprt", &value);
    }));
    Kill(agent.hProcess);
    agent.hProcess = NULL;
    EXPECT_TRUE(agent.Start(L"  -start")) << "the waiting stop kept a new agent from starting";
    Kill(hClient);
    EXPECT_TRUE(WaitExit(hStop, KIV_TEST_DEADLINE_MS, NULL));
    CloseHandle(hStop);
}

TEST_F(DeadClient, LeftAMarkThatNamesAnotherProgram)
{
    /* An agent ended while serving, and its process id is this test's now. */
    RawAgentClient view;
    ASSERT_TRUE(view.Attach());
    view.pBlock->lCommand = KivAgentServingMark(GetCurrentProcessId());
    ASSERT_EQ(InitUNCShelllApp(), 1);
    AsyncCall test([] { return DirExists(Unc(L"dir").c_str()); });
    ASSERT_TRUE(test.Wait()) << "the client waits for a mark nobody serves under";
    EXPECT_EQ(test.Result(), 1);
    ExitUNCShelllApp();
}

/* An agent ended while serving, its client died too, and a new agent got
 * its process id: the next client does not wait for that agent's done. */
TEST(AgentEnded, ItsMarkUnderTheNextAgentsProcessIdIsNoRequest)
{
    ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
    RawAgentClient view;
    ASSERT_TRUE(view.Attach());
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    std::wstring cmd = L"\"" + BinPath(L"kivprt.exe") + L"\"  -start";
    ASSERT_TRUE(CreateProcessW(NULL, &cmd[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &si, &pi));
    AgentProcess agent;
    agent.hProcess = pi.hProcess;
    view.pBlock->lCommand = KivAgentServingMark(pi.dwProcessId);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    ASSERT_EQ(InitUNCShelllApp(), 1);
    AsyncCall test([] { return DirExists(Unc(L"dir").c_str()); });
    ASSERT_TRUE(test.Wait()) << "the client waits for a mark its agent never served under";
    EXPECT_EQ(test.Result(), 1);
    ExitUNCShelllApp();
    EXPECT_TRUE(agent.Stop());
}

/* A waiting client held the mutex open for its look at the agent just
 * as the agent ended: the next agent still serves. */
TEST(AgentEnded, AMutexLeftOpenByALookIsNoAgent)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    HANDLE hLook = OpenMutexW(SYNCHRONIZE, FALSE, KIV_AGENT_INSTANCE_NAME);
    ASSERT_TRUE(hLook);
    Kill(agent.hProcess);
    agent.hProcess = NULL;
    EXPECT_TRUE(agent.Start(L"  -start")) << "the new agent took the look for another agent";
    CloseHandle(hLook);
}

TEST(AgentEnded, TwentyTimesInARowWhileTwoClientsSend)
{
    HANDLE hQuit = CreateEventW(NULL, TRUE, FALSE, L"KivTestClientsQuit");
    ASSERT_TRUE(hQuit);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    /* The block stays while any client holds it, so a client that starts
     * while no agent runs still attaches. */
    RawAgentClient holder;
    ASSERT_TRUE(holder.Attach());
    HANDLE hClients[2];
    ULONGLONG made[2];
    for (int id = 0; id < 2; id++) {
        ASSERT_TRUE(CreateDirectoryW(Local(L"load" + std::to_wstring(id)).c_str(), NULL));
        made[id] = LastWrite(Local(L"load" + std::to_wstring(id)));
        hClients[id] = Launch(Helper() + L" mixed " + std::to_wstring(id) + L" 0 KivTestClientsQuit");
        ASSERT_TRUE(hClients[id]);
    }
    /* A client's first copy changes its folder, however soon its file goes
     * again. */
    ASSERT_TRUE(WaitFor([&] {
        return LastWrite(Local(L"load0")) != made[0] && LastWrite(Local(L"load1")) != made[1];
    })) << "the clients did not start";

    /* Ended at points spread over the clients' work (a fixed sequence, so
     * every run sees the same schedule), and started again at once. */
    unsigned seed = 20241208;
    for (int round = 0; round < 20; round++) {
        seed = seed * 1103515245u + 12345u;
        DWORD ms = 20 + (seed >> 16) % 180;
        ASSERT_EQ(WaitForMultipleObjects(2, hClients, FALSE, ms), (DWORD)WAIT_TIMEOUT)
            << "a client ended in round " << round;
        TerminateProcess(agent.hProcess, 99);
        ASSERT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, NULL));
        CloseHandle(agent.hProcess);
        agent.hProcess = NULL;
        ASSERT_TRUE(agent.Start(L"  -start")) << "round " << round;
    }
    SetEvent(hQuit);

    for (int id = 0; id < 2; id++) {
        DWORD code = 99;
        EXPECT_TRUE(WaitExit(hClients[id], 60000, &code)) << "client " << id << " hangs";
        EXPECT_EQ(code, 0u) << "client " << id << ": wrong answers";
        CloseHandle(hClients[id]);
    }
    CloseHandle(hQuit);
    EXPECT_TRUE(agent.Stop());
}

/* ---- Agents that take their time -------------------------------------- */

/* An agent written from the protocol alone that takes 1.5 s over each
 * request and logs each code it serves. */
TEST(SlowAgent, EachRequestIsServedOnceWithItsOwnAnswer)
{
    ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(L"C:\\page.txt", "a printed page"));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L" 1500 C:\\ref.log", true, L"ref\\kivprt.exe"));
    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(UNCCopyFile(L"C:\\page.txt", Unc(L"page.txt").c_str()), 1);
    EXPECT_EQ(FileExists(Unc(L"missing.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 1);
    UNCAppExecute((Helper() + L" touch C:\\ran.txt").c_str());
    ExitUNCShelllApp();
    std::string log;
    EXPECT_TRUE(ReadWholeFile(L"C:\\ref.log", &log));
    EXPECT_EQ(log, "1\r\n4\r\n3\r\n6\r\n");
    ASSERT_EQ(WaitForSingleObject(agent.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "the agent ended";

    /* Our stop waits for the copy it finds served: made once, then the quit. */
    HANDLE hClient = Launch(Helper() + L" copy C:\\page.txt " + Unc(L"again.txt"));
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\ref.log", &log) && log.size() > 12; }));
    EXPECT_TRUE(RunAgentToEnd(L"  -stop", NULL));
    DWORD code = 99;
    EXPECT_TRUE(WaitExit(hClient, KIV_TEST_DEADLINE_MS, &code));
    EXPECT_EQ(code, 0u) << "the client's copy did not report success";
    CloseHandle(hClient);
    EXPECT_TRUE(WaitExit(agent.hProcess, KIV_TEST_DEADLINE_MS, NULL)) << "the quit was lost";
    EXPECT_TRUE(ReadWholeFile(L"C:\\ref.log", &log));
    EXPECT_EQ(log, "1\r\n4\r\n3\r\n6\r\n1\r\n0\r\n");
}

/* Our agent held 1.5 s between waking and taking each request, and again
 * before its done signal, as paging or a starved machine may hold it (its
 * test build). */
class HeldAgent : public ::testing::Test {
protected:
    AgentProcess agent;

    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
        ASSERT_TRUE(SetEnvironmentVariableW(L"KIV_TEST_TAKE_DELAY_MS", L"1500"));
        ASSERT_TRUE(SetEnvironmentVariableW(L"KIV_TEST_DONE_DELAY_MS", L"1500"));
        ASSERT_TRUE(agent.Start(L"  -start", true, L"seams\\kivprt.exe"));
    }
    void TearDown() override { EXPECT_TRUE(agent.Stop()); }
    /* A client that signalled a copy and was ended while the agent woken
     * for it is held. */
    void KillOwnerWhileHeld()
    {
        ASSERT_TRUE(WriteWholeFile(L"C:\\page.txt", "the dead client's page"));
        HANDLE hClient = StalledClient(L"signalled", L"C:\\page.txt", Unc(L"dead.txt"));
        ASSERT_TRUE(hClient);
        Kill(hClient);
    }
};

TEST_F(HeldAgent, ARunRequestRunsOnce)
{
    /* Sent while the agent is held with a dead owner's request, so that
     * its own signal is still pending when the agent takes it. */
    KillOwnerWhileHeld();
    ASSERT_EQ(InitUNCShelllApp(), 1);
    AsyncCall run([] { UNCAppExecute(L"cmd.exe /c rem"); return 0; });
    RawAgentClient view;
    ASSERT_TRUE(view.Attach());
    /* Run, and held before its done signal: no signal may be left that
     * would make the agent serve it again. */
    bool taken = false;
    ASSERT_TRUE(WaitFor([&] {
        taken = taken || KivAgentIsServingMark(view.Command());
        return taken && view.Command() == KIV_CMD_RUN;
    }));
    EXPECT_EQ(WaitForSingleObject(view.hExec, 0), (DWORD)WAIT_TIMEOUT) << "the run is served again";
    ASSERT_TRUE(run.Wait());
    ExitUNCShelllApp();
}

/* Whether an event is signalled, without taking its signal. */
static bool EventIsSet(HANDLE hEvent)
{
    typedef LONG(NTAPI * QUERYPROC)(HANDLE, int, PVOID, ULONG, PULONG);
    QUERYPROC query = (QUERYPROC)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent");
    struct { int type; LONG state; } info = { 0, 0 };   /* EventBasicInformation */

    return query && query(hEvent, 0, &info, sizeof(info), NULL) >= 0 && info.state != 0;
}

TEST_F(HeldAgent, ARunSignalledTwiceByAPlainClientAfterOursRunsOnce)
{
    /* Our request leaves no note that the next one is signalled once (the
     * first follows the fresh block's 0, a quit, and has none). */
    ASSERT_EQ(InitUNCShelllApp(), 1);
    ASSERT_EQ(DirExists(Unc(L"dir").c_str()), 1);
    ASSERT_EQ(DirExists(Unc(L"dir").c_str()), 1);
    ExitUNCShelllApp();
    RawAgentClient plain;
    ASSERT_TRUE(plain.Attach());
    wcscpy(plain.pBlock->szPath1, L"cmd.exe /c rem");
    plain.pBlock->lCommand = KIV_CMD_RUN;
    SetEvent(plain.hExec);
    /* Again once the held agent has woken. */
    ASSERT_TRUE(WaitFor([&] { return !EventIsSet(plain.hExec); }));
    SetEvent(plain.hExec);
    /* Taken before its done signal, and not by the next wake after it. */
    ASSERT_TRUE(WaitFor([&] { return !EventIsSet(plain.hExec); }));
    EXPECT_FALSE(EventIsSet(plain.hDone)) << "the run is served again";
    EXPECT_EQ(WaitForSingleObject(plain.hDone, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(plain.Command(), KIV_CMD_RUN);
}

TEST_F(HeldAgent, ADeadOwnersRequestNotYetTakenIsWithdrawn)
{
    KillOwnerWhileHeld();
    /* The next owner settles the block; the held agent then takes what
     * the block holds. */
    RawAgentClient view;
    LONG lSeen = 0;
    ASSERT_TRUE(view.Attach());
    ASSERT_TRUE(KivAgentSettleBlock(view.pBlock, view.hExec, view.hDone, 1, INFINITE, &lSeen));
    ASSERT_EQ(WaitForSingleObject(view.hDone, KIV_TEST_DEADLINE_MS), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(ShareNames(), (std::set<std::wstring>{ L"dir" })) << "the dead client's copy was made";
}

TEST_F(HeldAgent, AQuitWrittenOverARequestNotYetTakenAnswersNothing)
{
    ASSERT_EQ(InitUNCShelllApp(), 1);
    ASSERT_EQ(DirExists(Unc(L"dir").c_str()), 1);   /* leaves 1 in the test field */
    AsyncCall test([] { return FileExists(Unc(L"missing.txt").c_str()); });
    RawAgentClient view;
    ASSERT_TRUE(view.Attach());
    ASSERT_TRUE(WaitFor([&] { return KivAgentReadCommand(view.pBlock) == KIV_CMD_FILE_EXISTS; }));
    /* As a stop built from the protocol alone sends it. */
    view.pBlock->lCommand = KIV_CMD_QUIT;
    SetEvent(view.hExec);
    ASSERT_TRUE(test.Wait());
    EXPECT_EQ(test.Result(), 0);
    ExitUNCShelllApp();
}

/* ---- Load ------------------------------------------------------------- */

TEST(AgentLoad, EightClientsWithAThousandMixedRequestsEach)
{
    const int kClients = 8, kRequests = 1000;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    std::vector<HANDLE> clients;
    for (int id = 0; id < kClients; id++) {
        ASSERT_TRUE(CreateDirectoryW(Local(L"load" + std::to_wstring(id)).c_str(), NULL));
        HANDLE h = Launch(Helper() + L" mixed " + std::to_wstring(id) + L" " + std::to_wstring(kRequests));
        ASSERT_TRUE(h);
        clients.push_back(h);
    }
    int copies = 0, deletes = 0, tests = 0, wrong = 0;
    long long bytes = 0;
    for (int id = 0; id < kClients; id++) {
        DWORD code = 99;
        EXPECT_TRUE(WaitExit(clients[id], 600000, &code)) << "client " << id << " hangs";
        EXPECT_EQ(code, 0u) << "client " << id << ": wrong answers";
        CloseHandle(clients[id]);
        std::string counts;
        ASSERT_TRUE(ReadWholeFile(L"C:\\load" + std::to_wstring(id) + L".txt", &counts)) << "client " << id;
        int c = 0, d = 0, t = 0, w = 0;
        long long b = 0;
        ASSERT_EQ(sscanf(counts.c_str(), "%d %d %d %lld %d", &c, &d, &t, &b, &w), 5);
        EXPECT_EQ(c + d + t / 2, kRequests / 10 * 10) << "client " << id;
        copies += c;
        deletes += d;
        tests += t;
        bytes += b;
        wrong += w;
    }
    printf("agent load: %d clients, %d requests: %d copies (%lld bytes read back), %d deletes, "
           "%d folder and file tests; %d wrong\n",
           kClients, copies + deletes + tests, copies, bytes, deletes, tests, wrong);
    EXPECT_EQ(wrong, 0);

    /* Still serving. */
    RawAgentClient client;
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(client.Send(KIV_CMD_DIR_EXISTS, L"C:\\windows"));
    EXPECT_EQ(client.TestResult(), 1);
    EXPECT_TRUE(agent.Stop());
}

/* ---- The agent comes back by itself ---------------------------------- */

TEST(AgentLaunch, StartsTheInstalledAgentAndUnLaunchStopsIt)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile("first=0\nfinal=0\nstatus=0\n"));
    SetupRunResult setup = RunSetup(SetupRunOptions());
    ASSERT_TRUE(setup.ran) << setup.failure;
    ASSERT_EQ(setup.trace.back(), "Kiv Image Printer setup finished");
    ASSERT_EQ(CountProcesses(L"kivprt.exe"), 0);
    ASSERT_TRUE(WriteWholeFile(L"C:\\page.txt", "a printed page"));

    EXPECT_EQ(LaunchKivShelllApp(), 1);
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 1);
    /* The installed program runs: its autostart value names it. */
    std::string value;
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "kivprt", &value));
    EXPECT_EQ(value, "\"" + Narrow(InstallDir()) + "\\kivprt.exe\"  -start");
    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(UNCCopyFile(L"C:\\page.txt", Unc(L"page.txt").c_str()), 1);
    ExitUNCShelllApp();
    std::string data;
    EXPECT_TRUE(ReadWholeFile(Local(L"page.txt"), &data));
    EXPECT_EQ(data, "a printed page");

    EXPECT_EQ(UnLaunchKivShelll(), 1);
    EXPECT_TRUE(WaitFor([] { return CountProcesses(L"kivprt.exe") == 0; })) << "the agent still runs";
}

TEST(AgentLaunch, NothingIsStartedUnderAServiceAccount)
{
    ASSERT_TRUE(CreateDirectoryW(InstallFolder().c_str(), NULL));
    ASSERT_TRUE(CopyFileW(BinPath(L"kivprt.exe").c_str(), (InstallFolder() + L"\\kivprt.exe").c_str(), TRUE));
    KivSetServiceAccountSeam([]() -> int { return 1; });
    EXPECT_EQ(StartAgentProgram(KIV_AGENT_EXE_NAME, KIV_AGENT_LAUNCH_ARGS), 0);
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 0);
    KivSetServiceAccountSeam(NULL);
}

TEST(AgentLaunch, WithoutAnInstalledAgentGivesUpAfterItsTimeOut)
{
    AsyncCall launch([] { return LaunchKivShelllApp(); });
    ASSERT_TRUE(launch.Wait(KIV_LAUNCH_WAIT_MS + KIV_TEST_DEADLINE_MS)) << "the launch hangs";
    EXPECT_EQ(launch.Result(), 0);
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 0);
}
