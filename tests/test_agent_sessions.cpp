/* The agent of the user who printed, in that user's session: a client in
 * session 0 that impersonates is the spooler rendering a job of session 1's
 * user (Wine's tokens tell session 1).  An agent's programs write its mark. */
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string>
#include <thread>
#include <vector>

#include "test_common_util.h"
#include "agentobjects.h"
#include "kivclient.h"
#include "setuptest.h"

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

/* Where this user's agent of the session keeps its objects. */
KIVAGENTPLACE SessionPlace(DWORD sessionId)
{
    KIVAGENTPLACE place;
    ImpersonateSelf(SecurityImpersonation);
    KivAgentFindPlace(&place);
    RevertToSelf();
    place.dwSessionId = sessionId;
    return place;
}

/* An agent started with KIV_TEST_MARK = mark in the session (its end
 * comes with the prefix's); ready when its client mutex, made last, is. */
bool StartMarkedAgent(const wchar_t *mark, DWORD sessionId)
{
    SetEnvironmentVariableW(L"KIV_TEST_MARK", mark);
    HANDLE hProcess = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\"  -start", sessionId);
    SetEnvironmentVariableW(L"KIV_TEST_MARK", NULL);
    KIVAGENTPLACE place = SessionPlace(sessionId == KIV_OWN_SESSION ? 1 : sessionId);
    return hProcess && CloseHandle(hProcess) && WaitFor([&place] {
               HANDLE h = KivAgentOpenObject(&place, KIV_AGENT_OBJ_FREE, NULL);
               return h != NULL && CloseHandle(h);
           });
}

/* A program that writes its agent's mark into the file. */
std::wstring MarkCommand(const std::wstring &file)
{
    return L"\"" + BinPath(L"kivclienthelper.exe") + L"\" touch " + file;
}

/* The helper as a spooler thread (mode impersonate or service), having
 * the agent it finds run MarkCommand(file). */
std::wstring SpoolerCommand(const wchar_t *mode, const std::wstring &file)
{
    return L"\"" + BinPath(L"kivclienthelper.exe") + L"\" spooler " + mode + L" " + file;
}

std::string WrittenMark(const std::wstring &file)
{
    std::string mark = "(none)";
    WaitFor([&] { return ReadWholeFile(file, &mark) && !mark.empty(); });
    return mark;
}

std::string SidText(PSID pSid)
{
    char *psz = NULL;
    std::string text = pSid && ConvertSidToStringSidA(pSid, &psz) ? psz : "(none)";
    LocalFree(psz);
    return text;
}

/* The owner of the object, then the account of each entry of its DACL. */
std::vector<std::string> OwnerAndAccess(HANDLE h)
{
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    std::vector<std::string> out;

    if (!h || GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &pOwner, NULL, &pDacl, NULL, &pSd) != ERROR_SUCCESS)
        return { "(unreadable)" };
    out.push_back(SidText(pOwner));
    for (DWORD i = 0; pDacl && i < pDacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *pAce = NULL;
        if (GetAce(pDacl, i, (void **)&pAce))
            out.push_back(SidText(&pAce->SidStart));
    }
    LocalFree(pSd);
    return out;
}

}  // namespace

TEST(Sessions, TheSpoolersThreadIsServedByTheAgentOfItsUsersSession)
{
    ASSERT_TRUE(StartMarkedAgent(L"session1", KIV_OWN_SESSION));
    ASSERT_TRUE(StartMarkedAgent(L"session0", 0));

    DWORD code = 0;
    HANDLE h = Launch(SpoolerCommand(L"impersonate", L"C:\\spooler.txt"), 0);
    ASSERT_TRUE(WaitExit(h, KIV_TEST_DEADLINE_MS, &code));
    CloseHandle(h);
    EXPECT_EQ(code, 1u) << "attached, and no agent launched";
    EXPECT_EQ(WrittenMark(L"C:\\spooler.txt"), "session1");

    /* An application of session 1 reaches the same agent by plain names. */
    ASSERT_EQ(InitUNCShelllApp(), 1);
    UNCAppExecute(MarkCommand(L"C:\\app.txt").c_str());
    ExitUNCShelllApp();
    EXPECT_EQ(WrittenMark(L"C:\\app.txt"), "session1");
}

TEST(Sessions, WithoutItsUsersAgentTheSpoolersThreadGetsNothingAtOnceAndNoMessage)
{
    ASSERT_TRUE(StartMarkedAgent(L"session0", 0));

    /* Impersonating, and under a service account whose token cannot be
     * read: neither falls back on the agent of its own session. */
    for (const wchar_t *mode : { L"impersonate", L"service" }) {
        DebugRun run;
        run.sessionId = 0;
        run.hooks.resize(2);
        run.hooks[0].dll = "user32.dll";
        run.hooks[0].function = "MessageBoxW";
        run.hooks[1].dll = "kernelbase.dll";
        run.hooks[1].function = "GetTokenInformation";
        run.hooks[1].cArgs = 5;
        run.hooks[1].fail = wcscmp(mode, L"service") == 0;
        run.hooks[1].dwError = ERROR_ACCESS_DENIED;
        /* Well within the 60 s a launch would wait. */
        ASSERT_TRUE(run.Run(SpoolerCommand(mode, L"C:\\spooler.txt"), L"", KIV_TEST_DEADLINE_MS)) << run.failure;
        EXPECT_EQ(run.exitCode, 0u) << Narrow(mode);
        EXPECT_EQ(run.Hook("MessageBoxW")->cCalls, 0) << Narrow(mode);
    }

    /* Session 0's agent was sent nothing: its block is as it made it. */
    KIVAGENTPLACE place = SessionPlace(0);
    AGENTBLOCK *pBlock = (AGENTBLOCK *)MapViewOfFile(KivAgentOpenObject(&place, KIV_AGENT_OBJ_BLOCK, NULL),
                                                     FILE_MAP_READ, 0, 0, sizeof(AGENTBLOCK));
    ASSERT_TRUE(pBlock != NULL);
    EXPECT_EQ(pBlock->lCommand, 0);
}

TEST(Sessions, AnotherOwnersObjectsAreNotUsedForAToken)
{
    /* Everybody may use them, but they are the Administrators group's. */
    SECURITY_ATTRIBUTES sa = { sizeof(sa), NULL, FALSE };
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &sa.lpSecurityDescriptor, NULL));
    HANDLE ah[] = { CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(AGENTBLOCK),
                                       KIV_AGENT_MEM_NAME),
                    CreateEventW(&sa, FALSE, FALSE, KIV_AGENT_EXEC_NAME),
                    CreateEventW(&sa, FALSE, FALSE, KIV_AGENT_DONE_NAME),
                    CreateMutexW(&sa, FALSE, KIV_AGENT_FREE_NAME),
                    CreateMutexW(&sa, FALSE, KIV_AGENT_INSTANCE_NAME) };
    for (HANDLE h : ah)
        ASSERT_TRUE(h != NULL);

    /* Impersonation is the thread's own. */
    AsyncCall client([] {
        if (!ImpersonateSelf(SecurityImpersonation))
            return -1;
        int r = InitUNCShelllApp() * 10 + UNCCopyFile(L"C:\\windows\\win.ini", L"C:\\copy.ini");
        RevertToSelf();
        return r;
    });
    ASSERT_TRUE(client.Wait()) << "the client waits for an agent";
    EXPECT_EQ(client.Result(), 0);
    EXPECT_EQ(WaitForSingleObject(ah[1], 0), (DWORD)WAIT_TIMEOUT) << "a request was signalled";
    for (HANDLE h : ah)
        CloseHandle(h);
    LocalFree(sa.lpSecurityDescriptor);
}

TEST(AgentObjects, AreOwnedByItsUserAndOpenToItAndLocalSystemAlone)
{
    /* A client's block and events, made before the agent started. */
    RawAgentClient early;
    ASSERT_TRUE(early.Attach());
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));

    const std::string user = SidText(SessionPlace(1).adwUserSid);
    const std::vector<std::string> expected = { user, user, "S-1-5-18" };
    for (HANDLE h : { early.hMapping, early.hExec, early.hDone, OpenMutexW(READ_CONTROL, FALSE, KIV_AGENT_FREE_NAME),
                      OpenMutexW(READ_CONTROL, FALSE, KIV_AGENT_INSTANCE_NAME) })
        EXPECT_EQ(OwnerAndAccess(h), expected);
}

TEST(AgentAutostart, WithoutTheMachinesKeyTheUsersOwnValueStandsInForAMissingOne)
{
    const std::string expected = "\"" + Narrow(BinPath(L"kivprt.exe")) + "\"  -start";

    for (bool machineValueRight : { false, true }) {
        /* The first run's stop, not refused, writes the machine's value. */
        RegDeleteValueIn(HKEY_CURRENT_USER, kRunKey, "kivprt");

        /* Windows refuses the machine's key to a user without the right. */
        DebugRun run;
        run.hooks.resize(1);
        run.hooks[0].dll = "kernelbase.dll";
        run.hooks[0].function = "RegOpenKeyExA";
        run.hooks[0].cArgs = 5;
        run.hooks[0].failIf = [](DebugRun &, const ULONG_PTR *args) {
            return (HKEY)args[0] == HKEY_LOCAL_MACHINE && (args[3] & KEY_SET_VALUE) != 0;
        };
        run.hooks[0].emulate = [](DebugRun &, const ULONG_PTR *) -> ULONG_PTR { return ERROR_ACCESS_DENIED; };
        std::thread debugger([&] { run.Run(L"\"" + BinPath(L"kivprt.exe") + L"\"  -start", L"", 60000); });

        /* Its objects come after its autostart value. */
        std::string value, machine;
        EXPECT_TRUE(WaitFor([] { return EventExists(KIV_AGENT_EXEC_NAME); }));
        RegGetString(HKEY_CURRENT_USER, kRunKey, "kivprt", &value);
        EXPECT_EQ(value, machineValueRight ? "" : expected);
        EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, kRunKey, "kivprt", &machine) && machine == expected,
                  machineValueRight);
        DWORD code;
        EXPECT_TRUE(RunAgentToEnd(L"  -stop", &code));
        debugger.join();
        EXPECT_TRUE(run.failure.empty()) << run.failure;
    }
}
