/*
 * The client side of the path agent (see kivclient.h and agentproto.h).
 *
 * The state is one record per process.  A request owns the shared block
 * from its wait for the client mutex until it releases the mutex, and
 * reads its result before that release, so no other client can overwrite
 * it in between.  What a dead previous owner or an agent that ended may
 * have left in the block is dealt with by the exchange of agentsync.h.
 */
#include "kivclient.h"
#include "kivpath.h"
#include "agentproto.h"
#include "agentsync.h"

#include <string.h>
#include <wchar.h>

typedef struct {
    int bKivAttached;           /* 1 only while all five objects below are held */
    AGENTBLOCK *pKivSharedMem;  /* view of the shared block */
    HANDLE hKivFileMapping;     /* the shared block, opened by name */
    HANDLE hKivExecEvent;       /* request event */
    HANDLE hKivDoneEvent;       /* done event */
    HANDLE hKivFreeMutex;       /* client mutex */
    HANDLE hKivSyncEvent;       /* ready event, only while LaunchKivShelllApp waits */
    int bKivFreshMutex;         /* this client made the client mutex; no request sent yet */
    KIVAGENTPLACE place;        /* where the attached agent's objects are */
} KIVCLIENTSTATE;

static KIVCLIENTSTATE g_client;

/* Room for the parameter text handed to the agent ("  -launch"). */
#define KIV_AGENT_PARAMS_UNITS 32

/* Which field of the block holds a request's result. */
typedef enum {
    KIV_RESULT_NONE,
    KIV_RESULT_COMMAND_WORD,   /* the copy */
    KIV_RESULT_TEST            /* the folder and file tests */
} KIVRESULTFIELD;

/* 1 when the path fits a path field with its terminator. */
static int FitsPathField(const WCHAR *pszPath, size_t *pcch)
{
    size_t cch;

    if (pszPath == NULL)
        return 0;
    for (cch = 0; cch <= KIV_AGENT_MAX_PATH_LEN && pszPath[cch] != L'\0'; cch++)
        ;
    *pcch = cch;
    return cch <= KIV_AGENT_MAX_PATH_LEN;
}

/*
 * One request.  pszPath2 may be NULL (field not written).  Returns the
 * result field, or 0 when detached, a path does not fit (nothing is sent)
 * or the objects fail.
 */
static LONG SendRequest(LONG lRequest, const WCHAR *pszPath1, const WCHAR *pszPath2,
                        KIVRESULTFIELD resultField)
{
    AGENTBLOCK *pBlock = g_client.pKivSharedMem;
    KIVAGENTREQUEST request;
    DWORD dwWait;
    LONG lResult = 0;

    if (!g_client.bKivAttached)
        return 0;
    ZeroMemory(&request, sizeof(request));
    request.lCommand = lRequest;
    request.pszPath1 = pszPath1;
    request.pszPath2 = pszPath2;
    if (!FitsPathField(pszPath1, &request.cchPath1) ||
        (pszPath2 != NULL && !FitsPathField(pszPath2, &request.cchPath2)))
        return 0;

    dwWait = WaitForSingleObject(g_client.hKivFreeMutex, INFINITE);
    if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED)
        return 0;
    /* An abandoned mutex is owned all the same, but its owner died in the
     * middle of a request, which an agent may still be serving; so may a
     * mutex this client made anew, when the dead owner held it alone. */
    if (KivAgentPutRequest(pBlock, g_client.hKivExecEvent, g_client.hKivDoneEvent,
                           dwWait == WAIT_ABANDONED || g_client.bKivFreshMutex, INFINITE, &request) &&
        KivAgentSendAndAwait(pBlock, g_client.hKivExecEvent, g_client.hKivDoneEvent, &request,
                             &g_client.place)) {
        LONG lCommand = KivAgentReadCommand(pBlock);

        /* A request withdrawn while it was waited for was not answered:
         * its agent ended, and a new one with its process id cleared its
         * mark. */
        if (resultField == KIV_RESULT_COMMAND_WORD)
            lResult = lCommand != KIV_CMD_WITHDRAWN ? lCommand : 0;
        else if (resultField == KIV_RESULT_TEST && lCommand == lRequest)
            lResult = KivAgentGetTestResult(pBlock);
        /* else a stop's quit took the test's place before an agent took
         * it: nothing was tested. */
    }
    g_client.bKivFreshMutex = 0;
    ReleaseMutex(g_client.hKivFreeMutex);
    return lResult;
}

/*
 * The agent runs only as the logged-on user, in that user's session.  A
 * program started here gets this process's account and session, whatever
 * user its thread impersonates: so where the agent's objects are found
 * for a token (a service, an impersonating thread) nothing is started.
 * The user's own agent comes with the user's logon (its autostart value).
 */
int StartAgentProgram(const WCHAR *pszProgram, const WCHAR *pszParams)
{
    WCHAR szFolder[KIV_PATH_UNITS];
    WCHAR szProgram[KIV_PATH_UNITS];
    /* The program's path in quotes, then the parameter text. */
    WCHAR szCmdLine[KIV_PATH_UNITS + 2 + KIV_AGENT_PARAMS_UNITS];
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    size_t cchProgram, cchParams;
    KIVAGENTPLACE place;

    if (pszProgram == NULL || pszParams == NULL || !KivAgentFindPlace(&place) || place.bForToken)
        return 0;
    if (!KivImagePrinterFolderExist(szFolder) || !BuildFullPath(szFolder, pszProgram, szProgram))
        return 0;
    if (!FileExists(szProgram))
        return 0;
    cchProgram = wcslen(szProgram);
    cchParams = wcslen(pszParams);
    if (cchParams >= KIV_AGENT_PARAMS_UNITS)
        return 0;
    szCmdLine[0] = L'"';
    CopyMemory(szCmdLine + 1, szProgram, cchProgram * sizeof(WCHAR));
    szCmdLine[cchProgram + 1] = L'"';
    CopyMemory(szCmdLine + cchProgram + 2, pszParams, (cchParams + 1) * sizeof(WCHAR));

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    ZeroMemory(&pi, sizeof(pi));
    /* The agent runs on its own: nothing waits for it, and it gets no
     * console window of its own. */
    if (!CreateProcessW(szProgram, szCmdLine, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                        szFolder, &si, &pi))
        return 0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 1;
}

int LaunchKivShelllApp(void)
{
    KIVAGENTPLACE place;
    int result = 0;

    /* For a token nothing can be started, and nobody may be kept waiting:
     * a rendering thread of the spooler gives up at once. */
    if (!KivAgentFindPlace(&place) || place.bForToken || KivAgentBlockPresent(&place))
        return 0;
    /* Made before the launch step, so that an agent's signal given before
     * the wait begins is not lost. */
    g_client.hKivSyncEvent = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    if (g_client.hKivSyncEvent == NULL)
        return 0;
    StartAgentProgram(KIV_AGENT_EXE_NAME, KIV_AGENT_LAUNCH_ARGS);
    if (WaitForSingleObject(g_client.hKivSyncEvent, KIV_LAUNCH_WAIT_MS) == WAIT_OBJECT_0) {
        /* The agent signals before it enters its serve loop. */
        Sleep(KIV_LAUNCH_PAUSE_MS);
        result = 1;
    }
    CloseHandle(g_client.hKivSyncEvent);
    g_client.hKivSyncEvent = NULL;
    return result;
}

int UnLaunchKivShelll(void)
{
    KIVAGENTPLACE place;

    /* A stop started here would reach this process's own session only. */
    if (!KivAgentFindPlace(&place) || place.bForToken || !KivAgentBlockPresent(&place))
        return 0;
    StartAgentProgram(KIV_AGENT_EXE_NAME, KIV_AGENT_STOP_ARGS);
    Sleep(KIV_UNLAUNCH_PAUSE_MS);
    return 1;
}

int IsKivShelllAppRunning(void)
{
    KIVAGENTPLACE place;

    /* Where the calling thread finds its agent (agentobjects.h). */
    return KivAgentFindPlace(&place) && KivAgentBlockPresent(&place);
}

static int HoldsAnyObject(void)
{
    return g_client.hKivFileMapping != NULL || g_client.pKivSharedMem != NULL ||
           g_client.hKivExecEvent != NULL || g_client.hKivDoneEvent != NULL ||
           g_client.hKivFreeMutex != NULL;
}

int InitUNCShelllApp(void)
{
    if (g_client.bKivAttached)
        return 1;
    /* What a failed attempt obtained is let go, so that this attempt
     * starts clean and reports what it really gets. */
    if (HoldsAnyObject())
        ExitUNCShelllApp();

    if (!KivAgentFindPlace(&g_client.place))
        return 0;
    if (!KivAgentBlockPresent(&g_client.place)) {
        /* Nobody sees a message box on a service's desktop. */
        if (!g_client.place.bForToken)
            MessageBoxW(GetDesktopWindow(), KIV_NO_AGENT_TEXT, KIV_NO_AGENT_CAPTION, MB_OK);
        return 0;
    }

    g_client.hKivFileMapping = KivAgentOpenObject(&g_client.place, KIV_AGENT_OBJ_BLOCK, NULL);
    if (g_client.hKivFileMapping == NULL)
        return 0;
    /* A view of the block's full size: a mapping of that name too small
     * to hold the block gives none. */
    g_client.pKivSharedMem = (AGENTBLOCK *)MapViewOfFile(g_client.hKivFileMapping,
                                                        FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                        sizeof(AGENTBLOCK));
    /* Our agent makes the events and the mutex; by plain name a client
     * makes what an agent of another kind left to it. */
    g_client.hKivExecEvent = KivAgentOpenObject(&g_client.place, KIV_AGENT_OBJ_EXEC, NULL);
    g_client.hKivDoneEvent = KivAgentOpenObject(&g_client.place, KIV_AGENT_OBJ_DONE, NULL);
    g_client.hKivFreeMutex = KivAgentOpenObject(&g_client.place, KIV_AGENT_OBJ_FREE, &g_client.bKivFreshMutex);

    g_client.bKivAttached = g_client.pKivSharedMem != NULL && g_client.hKivExecEvent != NULL &&
                            g_client.hKivDoneEvent != NULL && g_client.hKivFreeMutex != NULL;
    /* For a token the client uses all of the user's objects or none. */
    if (!g_client.bKivAttached && g_client.place.bForToken)
        ExitUNCShelllApp();
    return g_client.bKivAttached;
}

void ExitUNCShelllApp(void)
{
    g_client.bKivAttached = 0;
    KivAgentForgetPrograms();
    if (g_client.hKivExecEvent != NULL)
        CloseHandle(g_client.hKivExecEvent);
    if (g_client.hKivDoneEvent != NULL)
        CloseHandle(g_client.hKivDoneEvent);
    if (g_client.hKivFreeMutex != NULL)
        CloseHandle(g_client.hKivFreeMutex);
    if (g_client.pKivSharedMem != NULL)
        UnmapViewOfFile(g_client.pKivSharedMem);
    if (g_client.hKivFileMapping != NULL)
        CloseHandle(g_client.hKivFileMapping);
    g_client.hKivExecEvent = NULL;
    g_client.hKivDoneEvent = NULL;
    g_client.hKivFreeMutex = NULL;
    g_client.pKivSharedMem = NULL;
    g_client.hKivFileMapping = NULL;
}

int UNCCopyFile(const WCHAR *pszExistingFile, const WCHAR *pszNewFile)
{
    if (pszNewFile == NULL)
        return 0;
    return (int)SendRequest(KIV_CMD_COPY, pszExistingFile, pszNewFile, KIV_RESULT_COMMAND_WORD);
}

void UNCShellExecute(const WCHAR *pszPath)
{
    SendRequest(KIV_CMD_OPEN, pszPath, NULL, KIV_RESULT_NONE);
}

void UNCAppExecute(const WCHAR *pszCmdLine)
{
    SendRequest(KIV_CMD_RUN, pszCmdLine, NULL, KIV_RESULT_NONE);
}

/* Local paths are tested here, UNC paths by the agent. */
static int TestPath(const WCHAR *pszPath, LONG lCommand, int bWantFolder)
{
    DWORD dwAttr;

    if (pszPath == NULL)
        return 0;
    if (!IsUNCPath(pszPath)) {
        dwAttr = KivQuietFileAttributes(pszPath);
        if (dwAttr == INVALID_FILE_ATTRIBUTES)
            return 0;
        return ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0) == (bWantFolder != 0);
    }
    return SendRequest(lCommand, pszPath, NULL, KIV_RESULT_TEST) != 0;
}

int FileExists(const WCHAR *pszPath)
{
    return TestPath(pszPath, KIV_CMD_FILE_EXISTS, 0);
}

int DirExists(const WCHAR *pszPath)
{
    return TestPath(pszPath, KIV_CMD_DIR_EXISTS, 1);
}
