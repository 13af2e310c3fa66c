/*
 * The exchange with the agent on a busy machine (see agentsync.h).
 *
 * Peers.  Ours: the client of the common library, the agent kivprt, which
 * takes a request for its serving mark and takes a repeated request
 * signal before it signals done, and its stop, which sends the quit under
 * the client mutex.  Built from the protocol alone: a client that never
 * looks at the mark, an agent that reads the command word without a mark,
 * and a stop that writes the quit and signals it without the mutex.
 *
 * What holds:
 *  1. A request is signalled again only on evidence that the agent that
 *     had it is gone: the process its mark names ended, every agent
 *     program (kivprt.exe) that ran when it was signalled ended, or no
 *     agent runs at all.  Never on elapsed time, so a slow agent of either
 *     kind is never sent a request twice.  The agent programs that ran
 *     when it was signalled are those watched (g_watched) and, once one of
 *     those has ended, those that run and were started no later than the
 *     signal: one that takes it and ends before it marks the word is among
 *     them.  They are looked at only when the done wait's poll ends
 *     without an answer, so a request answered within it costs no look.
 *  2. Our agent serves each request once: taking the command word is one
 *     atomic step, and a request signal that arrives while it serves is
 *     its own client's repeat, taken before done.  Only something unusual
 *     before a request can make it signalled while an agent is already
 *     woken (for a request that was withdrawn, or signalled again); our
 *     client notes in the block each request after none of it, and the
 *     agent looks for a repeat only of a request without that note.
 *  3. A client gets its own request's answer.  Before it writes, a request
 *     being served for a dead owner runs to its end and its done signal is
 *     taken; a dead owner's request that no agent took is withdrawn, so an
 *     agent woken for it a moment ago does nothing; a done signal left
 *     over from a quit or a withdrawn request is taken; and the code is
 *     written only over the value the client saw, so an agent that took
 *     something in between is waited for first.  A folder or file test
 *     counts only when the command word still shows its code afterwards
 *     (a stop's quit written over it before any agent took it gives 0).
 *  4. A stop leaves nothing behind.  Its quit goes under the client
 *     mutex and is withdrawn when no agent takes it within its wait; one
 *     that cannot have the mutex goes only over the mark of an agent that
 *     serves, which answers its request and then ends.  A stop holds no
 *     object that counts as a running agent, and every wait of it ends.
 *  5. A client waits while an agent runs, however long its request takes;
 *     after KIV_AGENT_GIVE_UP_MS without any agent it withdraws its
 *     request and gives up.  A mark that names no running agent program
 *     (its process id reused) is not waited for; an agent that starts
 *     under the process id of an agent that ended while serving withdraws
 *     that agent's mark and gives the done signal its client waits for.
 *
 * What remains:
 *  - An agent that ends between writing its result and its done signal
 *    has its request served again by the next agent.
 *  - An agent that does not mark (built from the protocol alone) shows no
 *    sign of serving: after a dead owner the next client may take the
 *    done of the dead owner's request for its own.
 *  - An agent program of another name than kivprt.exe is not watched: one
 *    that ends while serving, with another agent started within one poll,
 *    leaves its client waiting until that agent ends.
 *  - A stop without the mutex may write its quit over a request that
 *    waits to be taken (the client gets 0, nothing is served), and over
 *    the request of an agent that does not mark (the protocol's fault).
 *  - A client without the settling above, after a dead owner, may
 *    overwrite the request being served and take its done.
 *  - A request signalled while no agent ran, taken by an agent that
 *    ends before the client's next poll with another started as quickly,
 *    leaves the client waiting until that agent ends; so does one taken
 *    by an agent that started between the list and the signal and ended
 *    at once.
 *  - An agent that started after the signal, and answers with a word equal
 *    to the request's code in the very moment its client, finding every
 *    watched agent ended, writes the request again, serves it twice.
 *  - An agent program started in the same tick of the system clock as
 *    the signal, but after it, counts as one that ran at the signal: when
 *    the one that took the signal ended without marking, the client waits
 *    until that one ends too.
 *  - A done signal is looked for before a request only after a dead
 *    owner, a quit or a withdrawal (the word or the mutex shows them): one
 *    that an agent built from the protocol alone gives for a request it
 *    was signalled for twice is taken by the next client for its answer.
 *  - A client held between writing its request and signalling it, while
 *    an agent woken for something unusual before (guarantee 2) takes and
 *    serves that request, leaves its signal pending after the agent
 *    looked for it: the agent serves the word again.  So does a stop's
 *    signal that comes more than KIV_AGENT_QUIT_SIGNAL_MS after its quit
 *    over a mark, to a new agent woken by it with the next noted request.
 *  - Process ids: a mark's process is recognised by its program name.
 *    A stop or a second copy of the agent that gets a dead agent's id is
 *    waited for until it ends, which it does at once.  A client whose
 *    own request's mark is withdrawn by a new agent (its agent ended, and
 *    the new one got its id, before the client's first look) gets 0 for
 *    it, whether or not the ended agent carried it out.
 */
#include "agentsync.h"
#include <tlhelp32.h>

#define KIV_AGENT_MARK_FLAG 0x80000000UL
/* Agent programs a waiting client keeps an eye on (the agent, and stops
 * or second copies that are about to end). */
#define KIV_AGENT_MAX_WATCHED 8

/* The running agent programs, as handles a wait can hold on to. */
typedef struct {
    HANDLE ahProcess[KIV_AGENT_MAX_WATCHED];
    DWORD adwProcessId[KIV_AGENT_MAX_WATCHED];
    int cProcess;
} KIVAGENTPROGRAMS;

/* The agent programs a waiting client watches, kept from one request to
 * the next: a list of processes takes milliseconds to make, so it is made
 * anew only when none is known or one of them has ended.  Used only under
 * the client mutex. */
static KIVAGENTPROGRAMS g_watched;
/* When the request was last signalled (system time). */
static FILETIME g_ftSignalled;

LONG KivAgentServingMark(DWORD dwProcessId)
{
    return (LONG)(KIV_AGENT_MARK_FLAG | (dwProcessId & ~KIV_AGENT_MARK_FLAG));
}

int KivAgentIsServingMark(LONG lCommand)
{
    return ((DWORD)lCommand & KIV_AGENT_MARK_FLAG) != 0;
}

static int IsAgentProgram(const WCHAR *pszExeFile)
{
    const WCHAR *pszName = pszExeFile;
    const WCHAR *p;

    for (p = pszExeFile; *p != L'\0'; p++) {
        if (*p == L'\\' || *p == L'/')
            pszName = p + 1;
    }
    return lstrcmpiW(pszName, KIV_AGENT_EXE_NAME) == 0;
}

/* Opens the running agent programs (only dwProcessId's, when not 0). */
static void OpenAgentPrograms(KIVAGENTPROGRAMS *pPrograms, DWORD dwProcessId)
{
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W pe;
    BOOL bMore;

    pPrograms->cProcess = 0;
    if (hSnapshot == INVALID_HANDLE_VALUE) {
        /* No list of processes now: a mark's process is taken for what it
         * says it is, and no other agent program is known. */
        HANDLE hProcess = dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, dwProcessId) : NULL;
        if (hProcess != NULL) {
            pPrograms->ahProcess[0] = hProcess;
            pPrograms->adwProcessId[0] = dwProcessId;
            pPrograms->cProcess = 1;
        }
        return;
    }
    ZeroMemory(&pe, sizeof(pe));
    pe.dwSize = sizeof(pe);
    for (bMore = Process32FirstW(hSnapshot, &pe); bMore && pPrograms->cProcess < KIV_AGENT_MAX_WATCHED;
         bMore = Process32NextW(hSnapshot, &pe)) {
        HANDLE hProcess;

        if ((dwProcessId != 0 && pe.th32ProcessID != dwProcessId) || !IsAgentProgram(pe.szExeFile))
            continue;
        /* Its start time too, where this user may ask for it. */
        hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pe.th32ProcessID);
        if (hProcess == NULL)
            hProcess = OpenProcess(SYNCHRONIZE, FALSE, pe.th32ProcessID);
        if (hProcess != NULL) {
            pPrograms->ahProcess[pPrograms->cProcess] = hProcess;
            pPrograms->adwProcessId[pPrograms->cProcess++] = pe.th32ProcessID;
        }
    }
    CloseHandle(hSnapshot);
}

static void CloseAgentPrograms(KIVAGENTPROGRAMS *pPrograms)
{
    int i;

    for (i = 0; i < pPrograms->cProcess; i++)
        CloseHandle(pPrograms->ahProcess[i]);
    pPrograms->cProcess = 0;
}

/* How many of the agent programs have ended. */
static int CountEnded(const KIVAGENTPROGRAMS *pPrograms)
{
    int i, cEnded = 0;

    for (i = 0; i < pPrograms->cProcess; i++) {
        if (WaitForSingleObject(pPrograms->ahProcess[i], 0) != WAIT_TIMEOUT)
            cEnded++;
    }
    return cEnded;
}

/* 1 when the process may have run at the last signal: started no later
 * than it, or of a start time this user may not ask for. */
static int RanAtSignal(HANDLE hProcess)
{
    FILETIME ftCreated, ftExit, ftKernel, ftUser;

    if (!GetProcessTimes(hProcess, &ftCreated, &ftExit, &ftKernel, &ftUser))
        return 1;
    return CompareFileTime(&ftCreated, &g_ftSignalled) <= 0;
}

/* One of the watched agent programs has ended: the agent programs that
 * ran at the last signal are those that run now and started no later
 * than it.  When none is left, the ended ones stay watched: every agent
 * program that ran at the signal has ended. */
static void WatchProgramsOfSignal(void)
{
    KIVAGENTPROGRAMS programs;
    int i, cKept = 0;

    OpenAgentPrograms(&programs, 0);
    for (i = 0; i < programs.cProcess; i++) {
        if (WaitForSingleObject(programs.ahProcess[i], 0) == WAIT_TIMEOUT && RanAtSignal(programs.ahProcess[i])) {
            programs.ahProcess[cKept] = programs.ahProcess[i];
            programs.adwProcessId[cKept++] = programs.adwProcessId[i];
        } else {
            CloseHandle(programs.ahProcess[i]);
        }
    }
    programs.cProcess = cKept;
    if (cKept > 0) {
        CloseAgentPrograms(&g_watched);
        g_watched = programs;
    }
}

void KivAgentForgetPrograms(void)
{
    CloseAgentPrograms(&g_watched);
}

HANDLE KivAgentOpenServer(LONG lMark)
{
    KIVAGENTPROGRAMS programs;
    DWORD dwProcessId = (DWORD)lMark & ~KIV_AGENT_MARK_FLAG;

    int i;

    if (!KivAgentIsServingMark(lMark) || dwProcessId == 0)
        return NULL;
    /* A watched agent program that still runs has its id to itself. */
    for (i = 0; i < g_watched.cProcess; i++) {
        if (g_watched.adwProcessId[i] == dwProcessId &&
            WaitForSingleObject(g_watched.ahProcess[i], 0) == WAIT_TIMEOUT)
            return OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
    }
    OpenAgentPrograms(&programs, dwProcessId);
    return programs.cProcess > 0 ? programs.ahProcess[0] : NULL;
}

int KivAgentOtherProgramRuns(void)
{
    KIVAGENTPROGRAMS programs;
    int i, bOther = 0;

    OpenAgentPrograms(&programs, 0);
    for (i = 0; i < programs.cProcess; i++) {
        if (programs.adwProcessId[i] != GetCurrentProcessId())
            bOther = 1;
    }
    CloseAgentPrograms(&programs);
    return bOther;
}

LONG KivAgentReadCommand(const AGENTBLOCK *pBlock)
{
    return *(const volatile LONG *)&pBlock->lCommand;
}

/* Writes or takes away the note of a request signalled once: written only
 * into a unit beyond the path's terminator, taken away from any (in a
 * field the path fills, that unit is its terminator, 0 already). */
static void NoteSignalledOnce(AGENTBLOCK *pBlock, const KIVAGENTREQUEST *pRequest, int bOnce)
{
    if (bOnce && (pRequest->pszPath1 == NULL || pRequest->cchPath1 >= KIV_AGENT_ONCE_UNIT))
        bOnce = 0;
    *(volatile WCHAR *)&pBlock->szPath1[KIV_AGENT_ONCE_UNIT] = bOnce ? KIV_AGENT_SIGNALLED_ONCE : 0;
}

static void TakeAwayOnceNote(AGENTBLOCK *pBlock)
{
    *(volatile WCHAR *)&pBlock->szPath1[KIV_AGENT_ONCE_UNIT] = 0;
}

int KivAgentTakeOnceNote(AGENTBLOCK *pBlock)
{
    volatile WCHAR *pNote = &pBlock->szPath1[KIV_AGENT_ONCE_UNIT];

    if (*pNote != KIV_AGENT_SIGNALLED_ONCE)
        return 0;
    *pNote = 0;
    return 1;
}

/* Milliseconds left of dwMaxMs since dwStart (INFINITE stays INFINITE). */
static DWORD TimeLeft(DWORD dwStart, DWORD dwMaxMs)
{
    DWORD dwSpent = GetTickCount() - dwStart;

    if (dwMaxMs == INFINITE)
        return INFINITE;
    return dwSpent >= dwMaxMs ? 0 : dwMaxMs - dwSpent;
}

int KivAgentSettleBlock(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast,
                        DWORD dwMaxWaitMs, LONG *plSeen)
{
    DWORD dwStart = GetTickCount();

    for (;;) {
        LONG lSeen = KivAgentReadCommand(pBlock);

        if (KivAgentIsServingMark(lSeen)) {
            /* Served for an owner that died: it runs to its end, unless
             * its agent ends first.  A mark that names no running agent
             * is left over, and written over. */
            HANDLE hServer = KivAgentOpenServer(lSeen);
            if (hServer != NULL) {
                HANDLE ahWait[2];
                DWORD dwWait;

                ahWait[0] = hDoneEvent;
                ahWait[1] = hServer;
                dwWait = WaitForMultipleObjects(2, ahWait, FALSE, TimeLeft(dwStart, dwMaxWaitMs));
                CloseHandle(hServer);
                if (dwWait == WAIT_TIMEOUT)
                    return 0;
                if (dwWait == WAIT_OBJECT_0)
                    continue;   /* answered: look again */
            }
        } else if (bUnknownPast && lSeen != KIV_CMD_WITHDRAWN) {
            /* Not taken: nobody waits for it.  An agent woken for it a
             * moment ago finds nothing to do, and the signal still
             * pending is taken. */
            TakeAwayOnceNote(pBlock);
            if (InterlockedCompareExchange(&pBlock->lCommand, KIV_CMD_WITHDRAWN, lSeen) != lSeen)
                continue;
            WaitForSingleObject(hExecEvent, 0);
            lSeen = KIV_CMD_WITHDRAWN;
        }
        *plSeen = lSeen;
        return 1;
    }
}

int KivAgentPutRequest(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast,
                       DWORD dwMaxWaitMs, const KIVAGENTREQUEST *pRequest)
{
    DWORD dwStart = GetTickCount();
    LONG lSeen = KivAgentReadCommand(pBlock);
    /* Nothing unusual came before it: no agent can be woken for another
     * request now, and this one will be signalled once. */
    int bOnce = !bUnknownPast && !KivAgentIsServingMark(lSeen);

    while (KivAgentSettleBlock(pBlock, hExecEvent, hDoneEvent, bUnknownPast, TimeLeft(dwStart, dwMaxWaitMs),
                               &lSeen)) {
        /* A done signal pending now is not this request's: it is left
         * over from a quit or a withdrawn request that nobody waited for,
         * or from a dead owner's request.  Only those leave it, and each
         * shows in the word or in the mutex: a request answered and waited
         * for leaves none, and costs no look. */
        if (bUnknownPast || lSeen == KIV_CMD_QUIT || lSeen == KIV_CMD_WITHDRAWN) {
            WaitForSingleObject(hDoneEvent, 0);
            bOnce = 0;
        }
        if (pRequest->pszPath1 != NULL)
            CopyMemory(pBlock->szPath1, pRequest->pszPath1, (pRequest->cchPath1 + 1) * sizeof(WCHAR));
        if (pRequest->pszPath2 != NULL)
            CopyMemory(pBlock->szPath2, pRequest->pszPath2, (pRequest->cchPath2 + 1) * sizeof(WCHAR));
        NoteSignalledOnce(pBlock, pRequest, bOnce);
        /* The code goes last, and only over what was seen: an agent that
         * took that a moment ago answers it first. */
        if (InterlockedCompareExchange(&pBlock->lCommand, pRequest->lCommand, lSeen) == lSeen)
            return 1;
        bOnce = 0;
    }
    return 0;
}

void KivAgentWithdraw(AGENTBLOCK *pBlock, HANDLE hExecEvent, LONG lCommand)
{
    WaitForSingleObject(hExecEvent, 0);
    TakeAwayOnceNote(pBlock);
    InterlockedCompareExchange(&pBlock->lCommand, KIV_CMD_WITHDRAWN, lCommand);
}

/*
 * Signals the request written in the block, noting when.  With no agent
 * program known, those that may take the signal are listed first: one
 * that takes it and ends before it marks the word must be among them, or
 * nothing would tell that the request was lost.  Whether a known one has
 * ended since is asked only when the answer is late (WatchProgramsOfSignal).
 * 1 when signalled.
 */
static int SignalRequest(HANDLE hExecEvent)
{
    if (g_watched.cProcess == 0)
        OpenAgentPrograms(&g_watched, 0);
    GetSystemTimeAsFileTime(&g_ftSignalled);
    return SetEvent(hExecEvent);
}

/*
 * Writes the request again and signals it, the agent that had it being
 * gone; lSeen is the command word it was found with.  The agents are
 * listed anew before the signal.  The new list is kept only when the
 * request is signalled again: otherwise the word changed meanwhile, and
 * the agents of the last signal are still the ones to watch.
 */
static void SendAgain(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent,
                      const KIVAGENTREQUEST *pRequest, LONG lSeen, int *pbDone)
{
    KIVAGENTPROGRAMS programs;

    OpenAgentPrograms(&programs, 0);
    /* Listing takes milliseconds: an agent that started meanwhile may have
     * answered, with a word that can look like the request's own code. */
    if (WaitForSingleObject(hDoneEvent, 0) == WAIT_OBJECT_0) {
        *pbDone = 1;
    } else {
        /* Taken away first: an agent that takes the request after the
         * compare below may be one woken by the earlier signal, with this
         * one still to come. */
        TakeAwayOnceNote(pBlock);
        if (InterlockedCompareExchange(&pBlock->lCommand, pRequest->lCommand, lSeen) == lSeen) {
            CloseAgentPrograms(&g_watched);
            g_watched = programs;
            programs.cProcess = 0;
            GetSystemTimeAsFileTime(&g_ftSignalled);
            SetEvent(hExecEvent);
        }
    }
    CloseAgentPrograms(&programs);
}

int KivAgentSendAndAwait(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent,
                         const KIVAGENTREQUEST *pRequest, const KIVAGENTPLACE *pPlace)
{
    HANDLE hServer = NULL;       /* the process of the mark lServerMark */
    LONG lServerMark = 0;
    DWORD dwNoAgentMs = 0;
    int result = -1;

    if (!SignalRequest(hExecEvent))
        return 0;
    while (result < 0) {
        DWORD dwWait = WaitForSingleObject(hDoneEvent, KIV_AGENT_POLL_MS);
        LONG lCommand;
        int bGone, bDone = 0;

        if (dwWait != WAIT_TIMEOUT) {
            result = dwWait == WAIT_OBJECT_0;
            break;
        }
        lCommand = KivAgentReadCommand(pBlock);
        if (KivAgentIsServingMark(lCommand)) {
            dwNoAgentMs = 0;
            if (lCommand != lServerMark) {
                if (hServer != NULL)
                    CloseHandle(hServer);
                hServer = KivAgentOpenServer(lCommand);
                lServerMark = lCommand;
            }
            bGone = hServer == NULL || WaitForSingleObject(hServer, 0) != WAIT_TIMEOUT;
        } else if (KivAgentIsRunning(pPlace)) {
            /* Waiting to be taken, or served by an agent that shows no
             * mark: only the end of every agent that ran when it was
             * signalled can tell. */
            dwNoAgentMs = 0;
            if (g_watched.cProcess == 0)
                OpenAgentPrograms(&g_watched, 0);   /* none ran when it was signalled */
            else if (CountEnded(&g_watched) > 0)
                WatchProgramsOfSignal();
            bGone = g_watched.cProcess > 0 && CountEnded(&g_watched) == g_watched.cProcess;
        } else {
            /* Whatever became of it, nobody serves it now: it is put in
             * place once for the next agent, and given up after a while. */
            bGone = dwNoAgentMs == 0;
            dwNoAgentMs += KIV_AGENT_POLL_MS;
            if (dwNoAgentMs >= KIV_AGENT_GIVE_UP_MS) {
                KivAgentWithdraw(pBlock, hExecEvent, lCommand);
                result = 0;
                bGone = 0;
            }
        }
        if (bGone) {
            /* The paths are still in place: only the client writes them. */
            SendAgain(pBlock, hExecEvent, hDoneEvent, pRequest, lCommand, &bDone);
            if (bDone)
                result = 1;
            if (hServer != NULL)
                CloseHandle(hServer);
            hServer = NULL;
            lServerMark = 0;
        }
    }
    if (hServer != NULL)
        CloseHandle(hServer);
    return result;
}
