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

/* Pause after starting a program, and between quit and ready in stop mode. */
#define KIV_AGENT_PAUSE_MS 100
/* How long a stopping copy waits for the client mutex, so that its quit
 * does not land in the middle of a request, and then for the quit to be
 * taken.  A request served for longer than this gets the quit after it. */
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
    HANDLE hInstanceMutex;  /* kept to process end: marks a running agent */
    HANDLE hMapping;
    AGENTBLOCK *pBlock;
    HANDLE hExecEvent;
    HANDLE hDoneEvent;
    HANDLE hSyncEvent;
} AGENTSTATE;

/* Sets the last-error code to 0 first, so that a stale 183 cannot count. */
static int IsAnotherInstanceRunning(AGENTSTATE *pState)
{
    SetLastError(0);
    pState->hInstanceMutex = CreateMutexW(NULL, FALSE, KIV_AGENT_INSTANCE_NAME);
    return GetLastError() == ERROR_ALREADY_EXISTS;
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

static void ServeRequests(AGENTSTATE *pState)
{
    AGENTBLOCK *pBlock = pState->pBlock;
    LONG lMark = KivAgentServingMark(GetCurrentProcessId());
    LONG lFound = KivAgentReadCommand(pBlock);
    int end = 0;

    /* Only one agent serves at a time, so a mark found now was left by an
     * agent that ended while serving; its process id may already be
     * somebody else's (this agent's too).  Marked as lost, the request is
     * sent again by its client. */
    if (KivAgentIsServingMark(lFound))
        InterlockedCompareExchange(&pBlock->lCommand, KIV_AGENT_LOST_MARK, lFound);

    while (!end) {
        LONG lCommand, lFinal;

        /* A wait that fails would fail again at once: stop rather than spin. */
        if (WaitForSingleObject(pState->hExecEvent, INFINITE) != WAIT_OBJECT_0)
            break;
        /* Taken whole or not at all; until done the word holds the mark. */
        lCommand = InterlockedExchange(&pBlock->lCommand, lMark);
        if (lCommand == KIV_CMD_QUIT) {
            end = 1;
            lFinal = KIV_CMD_QUIT;
        } else {
            lFinal = ExecAgentCommand(pBlock, lCommand);
        }
        lFound = InterlockedCompareExchange(&pBlock->lCommand, lFinal, lMark);
        if (lFound == KIV_CMD_QUIT && !end) {
            /* A stop that could not wait for the client mutex wrote its
             * quit while this request was served: the request's client
             * still gets its own result, and the quit is kept after it.
             * Its request signal, given just after the quit, is taken so
             * that no later agent serves the result as a code. */
            pBlock->lCommand = lFinal;
            WaitForSingleObject(pState->hExecEvent, KIV_AGENT_POLL_MS * KIV_AGENT_LOST_POLLS);
            end = 1;
        }
        SetEvent(pState->hDoneEvent);
    }
}

/*
 * Stop mode: the quit is sent as a client sends a request, under the
 * client mutex, and waits until the serving copy took it.  Written without
 * the mutex, it could land in the middle of a request (the agent would
 * then answer the request and serve its result as the next code) or be
 * overwritten by the next request and lost.  When the mutex does not come
 * in time, the quit is written all the same: the serving copy keeps it
 * until the request it serves is done.
 */
static void SendQuit(AGENTSTATE *pState)
{
    HANDLE hFreeMutex;
    DWORD dwWait;
    int bFresh, bOwned;

    SetLastError(0);
    hFreeMutex = CreateMutexW(NULL, FALSE, KIV_AGENT_FREE_NAME);
    bFresh = hFreeMutex != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
    dwWait = hFreeMutex ? WaitForSingleObject(hFreeMutex, KIV_STOP_MUTEX_WAIT_MS) : WAIT_FAILED;
    bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    if (bOwned) {
        KivAgentSettleBlock(pState->pBlock, pState->hExecEvent, pState->hDoneEvent,
                            dwWait == WAIT_ABANDONED || bFresh);
        WaitForSingleObject(pState->hDoneEvent, 0);   /* left over, not this quit's */
    }
    InterlockedExchange(&pState->pBlock->lCommand, KIV_CMD_QUIT);
    SetEvent(pState->hExecEvent);
    if (bOwned) {
        WaitForSingleObject(pState->hDoneEvent, KIV_STOP_DONE_WAIT_MS);
        ReleaseMutex(hFreeMutex);
    } else {
        Sleep(KIV_AGENT_PAUSE_MS);
    }
    if (hFreeMutex)
        CloseHandle(hFreeMutex);
}

/* Start-up and the two modes; pszArgs is the argument text, leading
 * blanks removed.  The exit code is always 0. */
int AgentMain(char *pszArgs)
{
    AGENTSTATE state;
    int stopflag = 0;
    int another;

    ZeroMemory(&state, sizeof(state));

    /* A text this short asks for nothing: touch no object and no key. */
    if (lstrlenA(pszArgs) <= KIV_AGENT_MIN_ARGS_LEN)
        return 0;
    ParseCmdLine(pszArgs, &stopflag);
    another = IsAnotherInstanceRunning(&state);
    if (another != stopflag)
        goto Exit;   /* a serving copy exists, or there is none to stop */

    if (!IsInAutoRun(KIV_AGENT_RUN_VALUE))
        AddToAutoRun(KIV_AGENT_RUN_VALUE);

    state.hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE,
                                        0, sizeof(AGENTBLOCK), KIV_AGENT_MEM_NAME);
    if (!state.hMapping)
        goto Exit;
    state.pBlock = MapAgentBlock(state.hMapping);
    if (!state.pBlock)
        goto Exit;
    state.hExecEvent = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_EXEC_NAME);
    state.hDoneEvent = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_DONE_NAME);
    state.hSyncEvent = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    if (!state.hExecEvent || !state.hDoneEvent || !state.hSyncEvent)
        goto Exit;

    if (stopflag)
        SendQuit(&state);
    SetEvent(state.hSyncEvent);
    if (!stopflag)
        ServeRequests(&state);

Exit:
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
