/*
 * The agent's two modes: serving the requests of the shared block, and
 * telling a serving copy to quit.
 *
 * The shared block is written by other processes at any time, so every
 * path the agent hands to the system is first copied into a buffer of its
 * own and terminated there: nothing is read from the block twice, and no
 * read goes past a field, whatever a client wrote.  The code is taken in
 * one atomic exchange for the agent's serving mark (agentsync.h).
 */
#include "kivprt.h"
#include <shellapi.h>

/* Pause after starting a program. */
#define KIV_AGENT_PAUSE_MS 100
/* How long a stopping copy waits for the client mutex, so that its quit
 * does not land in the middle of a request, then for a request served for
 * a dead owner, and then for the quit to be taken. */
#define KIV_STOP_MUTEX_WAIT_MS 60000
#define KIV_STOP_DONE_WAIT_MS  10000

void CopyPathField(WCHAR *pszDest, const WCHAR *pszField)
{
    CopyMemory(pszDest, pszField, KIV_AGENT_PATH_UNITS * sizeof(WCHAR));
    pszDest[KIV_AGENT_MAX_PATH_LEN] = L'\0';
}

static LONG TestAttributes(const WCHAR *pszPath, int wantFolder)
{
    DWORD dwAttr = GetFileAttributesW(pszPath);

    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return 0;
    return ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0) == (wantFolder != 0);
}

static void OpenWithShell(const WCHAR *pszPath)
{
    WCHAR szSystem[MAX_PATH];

    ZeroMemory(szSystem, sizeof(szSystem));
    if (GetSystemDirectoryW(szSystem, MAX_PATH) >= MAX_PATH)
        szSystem[0] = L'\0';
    ShellExecuteW(GetDesktopWindow(), L"open", pszPath, pszPath, szSystem, SW_SHOWNORMAL);
}

static void RunCommandLine(WCHAR *pszCmdLine)
{
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    ZeroMemory(&pi, sizeof(pi));
    if (CreateProcessW(NULL, pszCmdLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    Sleep(KIV_AGENT_PAUSE_MS);
}

/*
 * Carries out the command taken from the block and writes a test result,
 * if any.  Returns what the command word is to hold afterwards: the copy
 * result after a copy, the code itself after any other code.
 */
LONG ExecAgentCommand(AGENTBLOCK *pBlock, LONG lCommand)
{
    WCHAR szPath1[KIV_AGENT_PATH_UNITS];
    WCHAR szPath2[KIV_AGENT_PATH_UNITS];
    LONG lFinal = lCommand;

    if (lCommand < KIV_CMD_COPY || lCommand > KIV_CMD_RUN)
        return lFinal;

    CopyPathField(szPath1, pBlock->szPath1);
    switch (lCommand) {
    case KIV_CMD_COPY:
        CopyPathField(szPath2, pBlock->szPath2);
        lFinal = CopyFileW(szPath1, szPath2, FALSE);
        break;
    case KIV_CMD_DELETE:
        DeleteFileW(szPath1);
        break;
    case KIV_CMD_DIR_EXISTS:
        KivAgentSetTestResult(pBlock, TestAttributes(szPath1, 1));
        break;
    case KIV_CMD_FILE_EXISTS:
        KivAgentSetTestResult(pBlock, TestAttributes(szPath1, 0));
        break;
    case KIV_CMD_OPEN:
        OpenWithShell(szPath1);
        break;
    case KIV_CMD_RUN:
        RunCommandLine(szPath1);
        break;
    }
    return lFinal;
}

/* The agent's objects; each is released at the end of AgentMain. */
typedef struct {
    KIVAGENTSECURITY security;  /* every object's owner and access */
    HANDLE hInstanceMutex;  /* kept to process end: marks a running agent */
    HANDLE hMapping;
    AGENTBLOCK *pBlock;
    HANDLE hExecEvent;
    HANDLE hDoneEvent;
    HANDLE hSyncEvent;
    HANDLE hFreeMutex;      /* the client mutex, made here for the clients */
    int bFreshMutex;        /* this copy made the client mutex */
} AGENTSTATE;

typedef enum { KIV_MAKE_BLOCK, KIV_MAKE_EVENT, KIV_MAKE_MUTEX } KIVMAKEKIND;

/*
 * Makes one of the agent's objects, or opens it, with the agent's owner
 * and access (agentobjects.h): one that existed, made by a client's probe,
 * a stop or an earlier agent, is given them too.  NULL when it cannot be
 * had or made the agent's user's: such an object is not to be served
 * through.  *pbExisted, when not NULL, tells whether it existed.
 */
static HANDLE MakeOwnObject(AGENTSTATE *pState, KIVMAKEKIND kind, const WCHAR *pszName, int *pbExisted)
{
    SECURITY_ATTRIBUTES *pAttributes = &pState->security.sa;
    HANDLE hObject = NULL;
    int bExisted;

    /* Cleared first, so that a stale 183 cannot count. */
    SetLastError(0);
    switch (kind) {
    case KIV_MAKE_BLOCK:
        hObject = CreateFileMappingW(INVALID_HANDLE_VALUE, pAttributes, PAGE_READWRITE, 0, sizeof(AGENTBLOCK),
                                     pszName);
        break;
    case KIV_MAKE_EVENT:
        hObject = CreateEventW(pAttributes, FALSE, FALSE, pszName);
        break;
    case KIV_MAKE_MUTEX:
        hObject = CreateMutexW(pAttributes, FALSE, pszName);
        break;
    }
    bExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    if (pbExisted != NULL)
        *pbExisted = bExisted;
    if (hObject != NULL && !KivAgentClaimObject(&pState->security, hObject, bExisted)) {
        CloseHandle(hObject);
        hObject = NULL;
    }
    return hObject;
}

/*
 * A waiting client looks whether an agent runs by opening the mutex for a
 * moment: one that ended an instant ago may leave it in existence that
 * way, so an agent to be that finds it counts another instance only when
 * another agent program runs.  0 with no mutex held when it cannot be had.
 */
static int IsAnotherInstanceRunning(AGENTSTATE *pState, int stopflag)
{
    int bExisted = 0;

    pState->hInstanceMutex = MakeOwnObject(pState, KIV_MAKE_MUTEX, KIV_AGENT_INSTANCE_NAME, &bExisted);
    if (pState->hInstanceMutex == NULL || !bExisted)
        return 0;
    return stopflag || KivAgentOtherProgramRuns();
}

/*
 * Maps the whole block.  A mapping of that name made smaller by somebody
 * else gives no view that spans the block, and the agent would read past
 * it: such a view counts as none.
 */
static AGENTBLOCK *MapAgentBlock(HANDLE hMapping)
{
    MEMORY_BASIC_INFORMATION mbi;
    void *pView = MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(AGENTBLOCK));

    if (!pView)
        return NULL;
    if (VirtualQuery(pView, &mbi, sizeof(mbi)) != sizeof(mbi) || mbi.RegionSize < sizeof(AGENTBLOCK)) {
        UnmapViewOfFile(pView);
        return NULL;
    }
    return (AGENTBLOCK *)pView;
}

#ifdef KIV_AGENT_TEST_SEAMS
#include <stdlib.h>

/* Test build only: holds the agent for as many milliseconds as the
 * environment variable names, as paging or a starved machine may hold it:
 * KIV_TEST_TAKE_DELAY_MS between waking and taking a request,
 * KIV_TEST_DONE_DELAY_MS before its done signal. */
static void HoldAgent(const char *pszVariable)
{
    char szMs[16];
    DWORD cch = GetEnvironmentVariableA(pszVariable, szMs, sizeof(szMs));

    if (cch > 0 && cch < sizeof(szMs))
        Sleep((DWORD)atoi(szMs));
}
#else
#define HoldAgent(pszVariable) ((void)0)
#endif

static void ServeRequests(AGENTSTATE *pState)
{
    AGENTBLOCK *pBlock = pState->pBlock;
    LONG lMark = KivAgentServingMark(GetCurrentProcessId());
    int end = 0;

    while (!end) {
        LONG lCommand, lFinal, lFound;
        int bOnce = 0;

        /* A wait that fails would fail again at once: stop rather than spin. */
        if (WaitForSingleObject(pState->hExecEvent, INFINITE) != WAIT_OBJECT_0)
            break;
        HoldAgent("KIV_TEST_TAKE_DELAY_MS");
        /* Taken whole or not at all; until done the word holds the mark. */
        lCommand = InterlockedExchange(&pBlock->lCommand, lMark);
        if (lCommand == KIV_CMD_QUIT) {
            end = 1;
            lFinal = KIV_CMD_QUIT;
        } else {
            /* Another code leaves the block as it was. */
            if (lCommand >= KIV_CMD_COPY && lCommand <= KIV_CMD_RUN)
                bOnce = KivAgentTakeOnceNote(pBlock);
            lFinal = ExecAgentCommand(pBlock, lCommand);
        }
        lFound = InterlockedCompareExchange(&pBlock->lCommand, lFinal, lMark);
        if (lFound == lMark) {
            /* While it was served only its own client could signal (it
             * holds the client mutex): a signal pending now repeats it.
             * A request noted as signalled once has none. */
            if (!bOnce)
                WaitForSingleObject(pState->hExecEvent, 0);
        } else if (lFound == KIV_CMD_QUIT) {
            /* A stop that could not have the client mutex wrote its quit
             * over the mark: the request's client still gets its own
             * result, and the quit takes effect after it.  The stop's
             * request signal, which follows its quit, is taken, so that
             * no later agent serves the result as a code. */
            pBlock->lCommand = lFinal;
            WaitForSingleObject(pState->hExecEvent, KIV_AGENT_QUIT_SIGNAL_MS);
            end = 1;
        }
        HoldAgent("KIV_TEST_DONE_DELAY_MS");
        SetEvent(pState->hDoneEvent);
    }
}

/*
 * Stop mode: the quit is sent as a client sends a request, under the
 * client mutex, and waits until the serving copy took it; one not taken
 * in time is withdrawn, or the next agent to start would take it.  Written
 * without the mutex, it could land in the middle of a request of an agent
 * that does not mark (which would answer the request and serve its result
 * as the next code) or be overwritten by the next request.  When the mutex
 * does not come in time, a request is being served: the quit is written
 * over that agent's mark only, and the agent ends after the request.
 */
static void SendQuit(AGENTSTATE *pState)
{
    AGENTBLOCK *pBlock = pState->pBlock;
    KIVAGENTREQUEST quit;
    HANDLE hServer;
    DWORD dwWait;
    int bOwned, bPut = 0;
    LONG lSeen;

    ZeroMemory(&quit, sizeof(quit));
    quit.lCommand = KIV_CMD_QUIT;
    dwWait = WaitForSingleObject(pState->hFreeMutex, KIV_STOP_MUTEX_WAIT_MS);
    bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    if (bOwned)
        bPut = KivAgentPutRequest(pBlock, pState->hExecEvent, pState->hDoneEvent,
                                  dwWait == WAIT_ABANDONED || pState->bFreshMutex, KIV_STOP_DONE_WAIT_MS, &quit);
    if (bPut) {
        SetEvent(pState->hExecEvent);
        if (WaitForSingleObject(pState->hDoneEvent, KIV_STOP_DONE_WAIT_MS) != WAIT_OBJECT_0)
            KivAgentWithdraw(pBlock, pState->hExecEvent, KIV_CMD_QUIT);
    } else {
        lSeen = KivAgentReadCommand(pBlock);
        hServer = KivAgentOpenServer(lSeen);
        if (hServer != NULL) {
            if (InterlockedCompareExchange(&pBlock->lCommand, KIV_CMD_QUIT, lSeen) == lSeen)
                SetEvent(pState->hExecEvent);
            CloseHandle(hServer);
        }
    }
    if (bOwned)
        ReleaseMutex(pState->hFreeMutex);
}

/*
 * A serving mark with this process's id is not this agent's: an agent
 * ended while it served, and Windows gave its process id to this one.  A
 * client that waits for that request waits for the done signal or for the
 * end of the process the mark names, which is now this one: the mark is
 * withdrawn and the done signal given, so that the client goes on.
 */
static void ClearInheritedMark(AGENTSTATE *pState)
{
    LONG lMark = KivAgentServingMark(GetCurrentProcessId());

    if (InterlockedCompareExchange(&pState->pBlock->lCommand, KIV_CMD_WITHDRAWN, lMark) == lMark)
        SetEvent(pState->hDoneEvent);
}

/* Start-up and the two modes; pszArgs is the argument text, leading
 * blanks removed.  The exit code is always 0. */
int AgentMain(char *pszArgs)
{
    AGENTSTATE state;
    int stopflag = 0;
    int another, bMutexExisted = 0;

    ZeroMemory(&state, sizeof(state));

    /* A text this short asks for nothing: touch no object and no key. */
    if (lstrlenA(pszArgs) <= KIV_AGENT_MIN_ARGS_LEN)
        return 0;
    ParseCmdLine(pszArgs, &stopflag);
    /* Without its own user it could make no object its user's. */
    if (!KivAgentMakeSecurity(&state.security))
        goto Exit;
    another = IsAnotherInstanceRunning(&state, stopflag);
    if (state.hInstanceMutex == NULL || another != stopflag)
        goto Exit;   /* not to be had, a serving copy exists, or there is none to stop */
    if (stopflag) {
        /* A stop is no agent: held while it waits, the instance mutex
         * would keep a new agent from starting and count as one to the
         * clients and to the next stop. */
        CloseHandle(state.hInstanceMutex);
        state.hInstanceMutex = NULL;
    }

    if (!IsInAutoRun(KIV_AGENT_RUN_VALUE))
        AddToAutoRun(KIV_AGENT_RUN_VALUE);

    state.hMapping = MakeOwnObject(&state, KIV_MAKE_BLOCK, KIV_AGENT_MEM_NAME, NULL);
    if (!state.hMapping)
        goto Exit;
    state.pBlock = MapAgentBlock(state.hMapping);
    if (!state.pBlock)
        goto Exit;
    state.hExecEvent = MakeOwnObject(&state, KIV_MAKE_EVENT, KIV_AGENT_EXEC_NAME, NULL);
    state.hDoneEvent = MakeOwnObject(&state, KIV_MAKE_EVENT, KIV_AGENT_DONE_NAME, NULL);
    state.hSyncEvent = MakeOwnObject(&state, KIV_MAKE_EVENT, KIV_AGENT_SYNC_NAME, NULL);
    state.hFreeMutex = MakeOwnObject(&state, KIV_MAKE_MUTEX, KIV_AGENT_FREE_NAME, &bMutexExisted);
    state.bFreshMutex = !bMutexExisted;
    if (!state.hExecEvent || !state.hDoneEvent || !state.hSyncEvent || !state.hFreeMutex)
        goto Exit;

    if (stopflag)
        SendQuit(&state);
    else
        ClearInheritedMark(&state);
    SetEvent(state.hSyncEvent);
    if (!stopflag)
        ServeRequests(&state);

Exit:
    if (state.hFreeMutex)
        CloseHandle(state.hFreeMutex);
    if (state.hSyncEvent)
        CloseHandle(state.hSyncEvent);
    if (state.hDoneEvent)
        CloseHandle(state.hDoneEvent);
    if (state.hExecEvent)
        CloseHandle(state.hExecEvent);
    if (state.pBlock)
        UnmapViewOfFile(state.pBlock);
    if (state.hMapping)
        CloseHandle(state.hMapping);
    /* The instance mutex stays held until the process ends. */
    return 0;
}
