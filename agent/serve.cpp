/*
 * The agent's two modes: serving the requests of the shared block, and
 * telling a serving copy to quit.
 *
 * The shared block is written by other processes at any time, so every
 * path the agent hands to the system is first copied into a buffer of its
 * own and terminated there: nothing is read from the block twice, and no
 * read goes past a field, whatever a client wrote.
 */
#include "kivprt.h"
#include <shellapi.h>

/* Pause after starting a program, and between quit and ready in stop mode. */
#define KIV_AGENT_PAUSE_MS 100

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

/* Carries out the command in the block and writes its result, if any. */
void ExecAgentCommand(AGENTBLOCK *pBlock)
{
    WCHAR szPath1[KIV_AGENT_PATH_UNITS];
    WCHAR szPath2[KIV_AGENT_PATH_UNITS];
    LONG lCommand = pBlock->lCommand;

    if (lCommand < KIV_CMD_COPY || lCommand > KIV_CMD_RUN)
        return;

    CopyPathField(szPath1, pBlock->szPath1);
    switch (lCommand) {
    case KIV_CMD_COPY:
        CopyPathField(szPath2, pBlock->szPath2);
        pBlock->lCommand = CopyFileW(szPath1, szPath2, FALSE);
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
    int end = 0;

    while (!end) {
        /* A wait that fails would fail again at once: stop rather than spin. */
        if (WaitForSingleObject(pState->hExecEvent, INFINITE) != WAIT_OBJECT_0)
            break;
        if (pState->pBlock->lCommand == KIV_CMD_QUIT)
            end = 1;
        else
            ExecAgentCommand(pState->pBlock);
        SetEvent(pState->hDoneEvent);
    }
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

    if (stopflag) {
        /* The quit goes straight into the block: a stopping copy neither
         * takes the client mutex nor waits for the done event. */
        state.pBlock->lCommand = KIV_CMD_QUIT;
        SetEvent(state.hExecEvent);
        Sleep(KIV_AGENT_PAUSE_MS);
    }
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
