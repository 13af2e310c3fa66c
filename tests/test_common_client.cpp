/*
 * The agent client, against the real kivprt.exe and against a fake agent
 * made of the named objects alone (to see the exact bytes each call puts
 * into the shared block).  The share \\kivtest\share is the prefix's
 * C:\share, so every answer the agent gives can be checked locally.
 */
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "test_common_util.h"
#include "kivclient.h"
#include "agentproto.h"
#include "agentsync.h"

namespace {

const wchar_t kShare[] = L"\\\\kivtest\\share\\";
const wchar_t kLocalShare[] = L"C:\\share\\";

std::wstring Unc(const std::wstring &name) { return kShare + name; }
std::wstring Local(const std::wstring &name) { return kLocalShare + name; }

/* A file, a folder and a missing name in the share. */
void MakeShareItems()
{
    ASSERT_TRUE(WriteWholeFile(Local(L"file.txt"), "share file"));
    ASSERT_TRUE(CreateDirectoryW(Local(L"dir").c_str(), NULL));
}

/* Answers one request as an agent would: waits for the request event,
 * lets `answer` look at the block and write a result, signals done. */
bool ServeOne(RawAgentClient &fake, const std::function<void(AGENTBLOCK *)> &answer)
{
    if (WaitForSingleObject(fake.hExec, KIV_TEST_DEADLINE_MS) != WAIT_OBJECT_0)
        return false;
    answer(fake.pBlock);
    return SetEvent(fake.hDone) != FALSE;
}

bool ExecSignalled(RawAgentClient &fake)
{
    return WaitForSingleObject(fake.hExec, 0) == WAIT_OBJECT_0;
}

/* Fills the block with a recognisable pattern. */
void FillBlock(AGENTBLOCK *pBlock)
{
    memset(pBlock, 0x5A, sizeof(*pBlock));
}

std::string BlockBytes(const AGENTBLOCK *pBlock)
{
    return std::string((const char *)pBlock, sizeof(*pBlock));
}

/* The handles this process holds, counted by asking the system about
 * every handle value (Wine's GetProcessHandleCount answers 0). */
DWORD HandleCount()
{
    DWORD n = 0, flags;
    for (UINT_PTR h = 4; h < 0x10000; h += 4) {
        if (GetHandleInformation((HANDLE)h, &flags))
            n++;
    }
    return n;
}

}  // namespace

/* ---- Without an agent ------------------------------------------------- */

TEST(Client, LocalPathsAreTestedWithoutAnAgent)
{
    MakeShareItems();
    ASSERT_EQ(IsKivShelllAppRunning(), 0);

    EXPECT_EQ(FileExists(Local(L"file.txt").c_str()), 1);
    EXPECT_EQ(FileExists(Local(L"dir").c_str()), 0);
    EXPECT_EQ(FileExists(Local(L"missing").c_str()), 0);
    EXPECT_EQ(DirExists(Local(L"dir").c_str()), 1);
    EXPECT_EQ(DirExists(Local(L"dir\\").c_str()), 1);
    EXPECT_EQ(DirExists(Local(L"file.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Local(L"missing").c_str()), 0);
    EXPECT_EQ(FileExists(L""), 0);
    EXPECT_EQ(FileExists(NULL), 0);
    EXPECT_EQ(DirExists(NULL), 0);

    /* One backslash, or two forward slashes: not UNC, so tested here,
     * and the system reaches the share for the latter. */
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows"));
    EXPECT_EQ(DirExists(L"\\share\\dir"), 1);
    EXPECT_EQ(FileExists(L"\\share\\file.txt"), 1);
    EXPECT_EQ(FileExists(L"//kivtest/share/file.txt"), 1);
    EXPECT_EQ(DirExists(L"//kivtest/share/dir"), 1);

    /* No shared block came into being on the way. */
    EXPECT_EQ(IsKivShelllAppRunning(), 0);
}

TEST(Client, InitWithoutAnAgentShowsTheMessageEveryTime)
{
    MakeShareItems();
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("", 2));
    EXPECT_EQ(InitUNCShelllApp(), 0);
    EXPECT_EQ(InitUNCShelllApp(), 0);
    ASSERT_TRUE(helper.Finish());

    std::vector<DialogRecord> records = helper.Records();
    ASSERT_EQ(records.size(), 2u);
    for (const DialogRecord &r : records) {
        EXPECT_EQ(r.caption, "UNC folder Error");
        EXPECT_EQ(r.text, "Please use Kiv Image Printer property sheet to specify/respecify UNC folder first");
        ASSERT_EQ(r.buttons.size(), 1u);
        EXPECT_EQ(r.buttons[0].first, IDOK);
        EXPECT_EQ(r.pressed, IDOK);
    }

    /* Still detached: UNC requests answer 0 though the items exist, and
     * nothing was left holding the shared block. */
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 0);
    EXPECT_EQ(UNCCopyFile(Unc(L"file.txt").c_str(), Unc(L"copy.txt").c_str()), 0);
    EXPECT_FALSE(PathIsFile(Local(L"copy.txt")));
    EXPECT_EQ(IsKivShelllAppRunning(), 0);
    EXPECT_FALSE(MutexExists(KIV_AGENT_FREE_NAME));
}

TEST(Client, DetachedRequestsSendNothing)
{
    MakeShareItems();
    /* A shared block held by someone else, and no attach here. */
    RawAgentClient other;
    ASSERT_TRUE(other.Attach());
    FillBlock(other.pBlock);
    const std::string before = BlockBytes(other.pBlock);
    EXPECT_EQ(IsKivShelllAppRunning(), 1);

    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 0);
    EXPECT_EQ(UNCCopyFile(Unc(L"file.txt").c_str(), Unc(L"copy.txt").c_str()), 0);
    UNCShellExecute(Unc(L"file.txt").c_str());
    UNCAppExecute(L"cmd.exe /c exit");

    EXPECT_EQ(BlockBytes(other.pBlock), before);
    EXPECT_FALSE(ExecSignalled(other));
    EXPECT_FALSE(PathIsFile(Local(L"copy.txt")));
}

TEST(Client, ObjectsThatCannotBeHadAreReportedAsFailures)
{
    MakeShareItems();
    /* The shared block and both events exist, but the client mutex's name
     * is taken by an event: the attach gets everything but the mutex. */
    RawAgentClient fake;
    ASSERT_TRUE(fake.Attach());
    HANDLE hSquatter = CreateEventW(NULL, TRUE, FALSE, KIV_AGENT_FREE_NAME);
    ASSERT_TRUE(hSquatter != NULL);

    /* 0 without a message (the block is there), and 0 again: the objects
     * the first attempt did get do not make the second report success. */
    AsyncCall init([] { return InitUNCShelllApp() * 10 + InitUNCShelllApp(); });
    ASSERT_TRUE(init.Wait()) << "a message box was shown";
    EXPECT_EQ(init.Result(), 0);
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 0);
    EXPECT_FALSE(ExecSignalled(fake));

    /* Once the name is free, the next attempt attaches. */
    CloseHandle(hSquatter);
    EXPECT_EQ(InitUNCShelllApp(), 1);
    AsyncCall request([] { return FileExists(Unc(L"file.txt").c_str()); });
    ASSERT_TRUE(ServeOne(fake, [](AGENTBLOCK *b) { KivAgentSetTestResult(b, 1); }));
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Result(), 1);
    ExitUNCShelllApp();
    fake.Detach();

    /* No block, but the ready event's name is taken by a mutex: Launch
     * cannot wait for an agent and says so at once, instead of counting a
     * failed wait as an agent that got ready. */
    HANDLE hTaken = CreateMutexW(NULL, FALSE, KIV_AGENT_SYNC_NAME);
    ASSERT_TRUE(hTaken != NULL);
    AsyncCall launch([] { return LaunchKivShelllApp(); });
    ASSERT_TRUE(launch.Wait());
    EXPECT_EQ(launch.Result(), 0);
    CloseHandle(hTaken);
}

/* ---- With the real agent ---------------------------------------------- */

TEST(Client, AttachedRequestsGetTheAgentsAnswers)
{
    MakeShareItems();
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));

    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(IsKivShelllAppRunning(), 1);
    EXPECT_TRUE(MutexExists(KIV_AGENT_FREE_NAME));

    /* A second attach returns 1 and takes nothing more. */
    DWORD handles = HandleCount();
    ASSERT_GT(handles, 0u);
    EXPECT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(HandleCount(), handles);

    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 1);
    EXPECT_EQ(FileExists(Unc(L"dir").c_str()), 0);
    EXPECT_EQ(FileExists(Unc(L"missing").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 1);
    EXPECT_EQ(DirExists(Unc(L"file.txt").c_str()), 0);
    EXPECT_EQ(DirExists(Unc(L"missing").c_str()), 0);
    EXPECT_EQ(DirExists(L"\\\\nohost\\noshare\\x"), 0);

    /* The copy result, and the copy itself. */
    EXPECT_NE(UNCCopyFile(Unc(L"file.txt").c_str(), Unc(L"copy.txt").c_str()), 0);
    std::string data;
    ASSERT_TRUE(ReadWholeFile(Local(L"copy.txt"), &data));
    EXPECT_EQ(data, "share file");
    ASSERT_TRUE(WriteWholeFile(Local(L"copy.txt"), "old"));
    EXPECT_NE(UNCCopyFile(Unc(L"file.txt").c_str(), Unc(L"copy.txt").c_str()), 0);  /* replaced */
    ASSERT_TRUE(ReadWholeFile(Local(L"copy.txt"), &data));
    EXPECT_EQ(data, "share file");
    EXPECT_EQ(UNCCopyFile(Unc(L"missing").c_str(), Unc(L"copy2.txt").c_str()), 0);
    EXPECT_FALSE(PathIsFile(Local(L"copy2.txt")));

    /* A command line run by the agent. */
    UNCAppExecute((L"\"" + BinPath(L"kivclienthelper.exe") + L"\" touch " + Local(L"ran.txt")).c_str());
    EXPECT_TRUE(WaitFor([] { return PathIsFile(Local(L"ran.txt")); }));

    /* A path opened by the shell: a program, which gets its own path and
     * leaves a mark beside itself.  A local path: the client sends any
     * path it is given, and the UNC forms are covered above. */
    ASSERT_TRUE(CopyFileW(BinPath(L"kivclienthelper.exe").c_str(), Local(L"opener.exe").c_str(), FALSE));
    UNCShellExecute(Local(L"opener.exe").c_str());
    EXPECT_TRUE(WaitFor([] { return PathIsFile(Local(L"opener.exe.ran")); }));

    /* Detached again: UNC answers 0. */
    ExitUNCShelllApp();
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 0);
    ExitUNCShelllApp();   /* twice is harmless */
    EXPECT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 1);
    ExitUNCShelllApp();

    EXPECT_TRUE(agent.Stop());
}

TEST(Client, AttachedClientOutlivesTheAgentAndWaitsForTheNext)
{
    MakeShareItems();
    AgentProcess first;
    ASSERT_TRUE(first.Start(L"  -start"));
    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(DirExists(Unc(L"missing").c_str()), 0);   /* the test result field holds 0 */

    /* The agent ends; this process still holds the block. */
    ASSERT_TRUE(first.Stop());
    EXPECT_EQ(IsKivShelllAppRunning(), 1);

    /* The stopped agent signalled done after its quit, with nobody
     * waiting.  A request now must not take that for its answer: it waits
     * until an agent has served it. */
    RawAgentClient observer;
    ASSERT_TRUE(observer.Attach());
    const std::wstring file = Unc(L"file.txt");
    AsyncCall call([&file] { return FileExists(file.c_str()); });
    ASSERT_TRUE(WaitFor([&] {
        return observer.pBlock->lCommand == KIV_CMD_FILE_EXISTS &&
               file == std::wstring(observer.pBlock->szPath1);
    }));
    EXPECT_FALSE(call.Finished());

    /* The next agent finds the request pending and answers it. */
    AgentProcess second;
    ASSERT_TRUE(second.Start(L"  -start"));
    ASSERT_TRUE(call.Wait());
    EXPECT_EQ(call.Result(), 1);
    EXPECT_EQ(DirExists(Unc(L"dir").c_str()), 1);

    observer.Detach();
    ExitUNCShelllApp();
    ASSERT_TRUE(second.Stop());
    EXPECT_TRUE(WaitFor([] { return IsKivShelllAppRunning() == 0; }));
}

/* ---- The bytes of each request, through a fake agent ------------------ */

TEST(Client, RequestsPutExactlyTheirFieldsIntoTheBlock)
{
    RawAgentClient fake;
    ASSERT_TRUE(fake.Attach());
    ASSERT_EQ(InitUNCShelllApp(), 1);

    const std::wstring p255 = std::wstring(kShare) + std::wstring(255 - 16, L'a');
    const std::wstring p256 = p255 + L"b";
    const std::wstring other = Unc(L"other.txt");
    ASSERT_EQ(p255.size(), 255u);

    /* Too long for a path field: 0 at once, nothing written or signalled. */
    FillBlock(fake.pBlock);
    const std::string before = BlockBytes(fake.pBlock);
    AsyncCall refused([&] {
        int r = 0;
        r |= UNCCopyFile(p256.c_str(), other.c_str());
        r |= UNCCopyFile(other.c_str(), p256.c_str());
        r |= FileExists(p256.c_str());
        r |= DirExists(p256.c_str());
        UNCShellExecute(p256.c_str());
        UNCAppExecute(p256.c_str());
        r |= UNCCopyFile(NULL, other.c_str());
        r |= UNCCopyFile(other.c_str(), NULL);
        UNCShellExecute(NULL);
        return r;
    });
    ASSERT_TRUE(refused.Wait()) << "a refused request was sent and waits for an answer";
    EXPECT_EQ(refused.Result(), 0);
    EXPECT_EQ(BlockBytes(fake.pBlock), before);
    EXPECT_FALSE(ExecSignalled(fake));

    /* Copy: code 1, both paths of 255 characters with their terminators;
     * the result is the command word, whatever the agent wrote there, but
     * 0 for a withdrawn request, which nobody answered. */
    for (LONG answer : {7L, (LONG)KIV_CMD_WITHDRAWN}) {
        FillBlock(fake.pBlock);
        const std::wstring second = std::wstring(kShare) + std::wstring(255 - 16, L'z');
        AsyncCall call([&] { return UNCCopyFile(p255.c_str(), second.c_str()); });
        ASSERT_TRUE(ServeOne(fake, [&](AGENTBLOCK *b) {
            EXPECT_EQ(b->lCommand, KIV_CMD_COPY);
            EXPECT_EQ(std::wstring(b->szPath1, 256), p255 + L'\0');
            EXPECT_EQ(std::wstring(b->szPath2, 256), second + L'\0');
            b->lCommand = answer;
        }));
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Result(), answer == 7 ? 7 : 0);
    }

    /* The tests: codes 4 and 3, the first path only; the result is the
     * 32-bit field at byte 516. */
    struct TestCase {
        bool file;
        LONG answer;
        int expected;
    };
    const TestCase tests[] = {{true, 1, 1}, {true, 0, 0}, {false, 1, 1}, {false, 0, 0}, {true, 5, 1}};
    for (const TestCase &t : tests) {
        FillBlock(fake.pBlock);
        const std::string tail = BlockBytes(fake.pBlock).substr(4 + 2 * 256);
        AsyncCall call([&] { return t.file ? FileExists(p255.c_str()) : DirExists(p255.c_str()); });
        ASSERT_TRUE(ServeOne(fake, [&](AGENTBLOCK *b) {
            EXPECT_EQ(b->lCommand, t.file ? KIV_CMD_FILE_EXISTS : KIV_CMD_DIR_EXISTS);
            EXPECT_EQ(std::wstring(b->szPath1, 256), p255 + L'\0');
            EXPECT_EQ(BlockBytes(b).substr(4 + 2 * 256), tail);   /* second path not written */
            KivAgentSetTestResult(b, t.answer);
        }));
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Result(), t.expected);
    }

    /* Open and run: codes 5 and 6, the first path only, no result. */
    for (LONG code : {(LONG)KIV_CMD_OPEN, (LONG)KIV_CMD_RUN}) {
        FillBlock(fake.pBlock);
        const std::string tail = BlockBytes(fake.pBlock).substr(4 + 2 * 256);
        AsyncCall call([&] {
            if (code == KIV_CMD_OPEN)
                UNCShellExecute(L"\\\\kivtest\\share\\doc.txt");
            else
                UNCAppExecute(L"prog.exe -x");
            return 1;
        });
        ASSERT_TRUE(ServeOne(fake, [&](AGENTBLOCK *b) {
            EXPECT_EQ(b->lCommand, code);
            EXPECT_STREQ(b->szPath1, code == KIV_CMD_OPEN ? L"\\\\kivtest\\share\\doc.txt" : L"prog.exe -x");
            EXPECT_EQ(BlockBytes(b).substr(4 + 2 * 256), tail);
        }));
        ASSERT_TRUE(call.Wait());
    }

    ExitUNCShelllApp();
}

/* ---- Launch and stop -------------------------------------------------- */

TEST(Client, LaunchWithTheBlockPresentReturnsZeroAtOnce)
{
    /* A running agent: 0, without waiting for a ready signal. */
    {
        AgentProcess agent;
        ASSERT_TRUE(agent.Start(L"  -start"));
        AsyncCall launch([] { return LaunchKivShelllApp(); });
        ASSERT_TRUE(launch.Wait());
        EXPECT_EQ(launch.Result(), 0);
        EXPECT_TRUE(agent.Stop());
    }
    EXPECT_TRUE(WaitFor([] { return !EventExists(KIV_AGENT_SYNC_NAME); }));

    /* Only an attached client holds the block: 0 too, and no ready event
     * was made. */
    RawAgentClient other;
    ASSERT_TRUE(other.Attach());
    AsyncCall launch([] { return LaunchKivShelllApp(); });
    ASSERT_TRUE(launch.Wait());
    EXPECT_EQ(launch.Result(), 0);
    EXPECT_FALSE(EventExists(KIV_AGENT_SYNC_NAME));
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 0);
}

TEST(Client, LaunchReturnsOneWhenAnAgentGetsReadyWhileItWaits)
{
    MakeShareItems();
    AsyncCall launch([] { return LaunchKivShelllApp(); });
    /* Launch made the ready event and waits on it; it starts nothing. */
    ASSERT_TRUE(WaitFor([] { return EventExists(KIV_AGENT_SYNC_NAME); }));
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 0);
    EXPECT_FALSE(launch.Finished());

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -launch", false));
    ASSERT_TRUE(launch.Wait());
    EXPECT_EQ(launch.Result(), 1);

    /* The agent it waited for serves; Launch itself did not attach. */
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 0);
    ASSERT_EQ(InitUNCShelllApp(), 1);
    EXPECT_EQ(FileExists(Unc(L"file.txt").c_str()), 1);
    ExitUNCShelllApp();
    EXPECT_TRUE(agent.Stop());
}

TEST(Client, UnLaunchWithoutAnInstalledAgentEndsNothing)
{
    MakeShareItems();
    /* No block: 0. */
    AsyncCall none([] { return UnLaunchKivShelll(); });
    ASSERT_TRUE(none.Wait());
    EXPECT_EQ(none.Result(), 0);
    /* Nothing installed here: nothing to start. */
    EXPECT_EQ(StartAgentProgram(L"kivprt.exe", L"  -stop"), 0);

    /* An agent: 1, but no installed copy can be started in stop mode, so
     * it keeps serving. */
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    ASSERT_EQ(CountProcesses(L"kivprt.exe"), 1);
    EXPECT_EQ(UnLaunchKivShelll(), 1);
    EXPECT_EQ(CountProcesses(L"kivprt.exe"), 1);
    ASSERT_EQ(InitUNCShelllApp(), 1);
    AsyncCall request([] { return DirExists(L"\\\\kivtest\\share\\dir"); });
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Result(), 1);
    EXPECT_EQ(WaitForSingleObject(agent.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    ExitUNCShelllApp();
    EXPECT_TRUE(agent.Stop());
}

/* ---- Many clients at once --------------------------------------------- */

namespace {

const int kCcCount = 10;

/* \\kivtest\share\cc\fN: a file for even N, a folder for odd N;
 * ...\mN does not exist (the client helper knows the same rule). */
void MakeCcItems()
{
    ASSERT_TRUE(CreateDirectoryW(Local(L"cc").c_str(), NULL));
    for (int n = 0; n < kCcCount; n++) {
        std::wstring path = Local(L"cc\\f" + std::to_wstring(n));
        if (n % 2 == 0)
            ASSERT_TRUE(WriteWholeFile(path, "f" + std::to_string(n)));
        else
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), NULL));
    }
}

int ThreadRequests(int thread, int count)
{
    int wrong = 0;
    for (int i = 0; i < count; i++) {
        int n = (i + thread) % kCcCount;
        bool isFile = n % 2 == 0;
        std::wstring f = Unc(L"cc\\f" + std::to_wstring(n));
        std::wstring m = Unc(L"cc\\m" + std::to_wstring(n));
        wrong += FileExists(f.c_str()) != (int)isFile;
        wrong += DirExists(f.c_str()) != (int)!isFile;
        wrong += FileExists(m.c_str()) != 0;
        wrong += DirExists(m.c_str()) != 0;
    }
    /* And a copy of its own. */
    std::wstring src = Unc(L"cc\\src" + std::to_wstring(thread));
    std::wstring dst = Unc(L"cc\\dst" + std::to_wstring(thread));
    if (!UNCCopyFile(src.c_str(), dst.c_str()))
        wrong++;
    return wrong;
}

}  // namespace

TEST(Client, ConcurrentRequestsFromThreadsAndProcessesAreAllAnsweredRight)
{
    const int kThreads = 4, kProcesses = 3, kCount = 30;
    MakeCcItems();
    for (int t = 0; t < kThreads; t++)
        ASSERT_TRUE(WriteWholeFile(Local(L"cc\\src" + std::to_wstring(t)), "content of thread " + std::to_string(t)));

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    ASSERT_EQ(InitUNCShelllApp(), 1);

    std::vector<HANDLE> processes;
    for (int p = 0; p < kProcesses; p++) {
        HANDLE h = Launch(L"\"" + BinPath(L"kivclienthelper.exe") + L"\" requests " + std::to_wstring(kCount));
        ASSERT_TRUE(h != NULL);
        processes.push_back(h);
    }
    std::vector<AsyncCall *> threads;
    for (int t = 0; t < kThreads; t++)
        threads.push_back(new AsyncCall([t, kCount] { return ThreadRequests(t, kCount); }));

    for (int t = 0; t < kThreads; t++) {
        ASSERT_TRUE(threads[t]->Wait(KIV_TEST_DEADLINE_MS * 3)) << "thread " << t;
        EXPECT_EQ(threads[t]->Result(), 0) << "wrong answers in thread " << t;
        delete threads[t];
    }
    for (int p = 0; p < kProcesses; p++) {
        DWORD code = 0xdead;
        EXPECT_TRUE(WaitExit(processes[p], KIV_TEST_DEADLINE_MS * 3, &code)) << "process " << p;
        EXPECT_EQ(code, 0u) << "wrong answers in process " << p << " (100: could not attach)";
        CloseHandle(processes[p]);
    }
    for (int t = 0; t < kThreads; t++) {
        std::string data;
        ASSERT_TRUE(ReadWholeFile(Local(L"cc\\dst" + std::to_wstring(t)), &data));
        EXPECT_EQ(data, "content of thread " + std::to_string(t));
    }
    ExitUNCShelllApp();
    EXPECT_TRUE(agent.Stop());
}
