/*
 * The exchange with the agent on a busy machine (see agentsync.h).
 *
 * Every wait here ends: on the done signal, when the process that serves
 * is gone, or when no agent has run for KIV_AGENT_GIVE_UP_MS.  The one
 * wait that lasts as long as an agent works is the wait for a request an
 * agent is serving (a long copy takes long).
 */
#include "agentsync.h"

#define KIV_AGENT_MARK_FLAG 0x80000000UL

LONG KivAgentServingMark(DWORD dwProcessId)
{
    return (LONG)(KIV_AGENT_MARK_FLAG | (dwProcessId & ~KIV_AGENT_MARK_FLAG));
}

int KivAgentIsServingMark(LONG lCommand)
{
    return ((DWORD)lCommand & KIV_AGENT_MARK_FLAG) != 0;
}

int KivAgentMarkAlive(LONG lMark)
{
    DWORD dwProcessId = (DWORD)lMark & ~KIV_AGENT_MARK_FLAG;
    HANDLE hProcess;
    int bAlive;

    if (dwProcessId == 0)
        return 0;   /* KIV_AGENT_LOST_MARK */
    hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
    if (hProcess == NULL) {
        /* A process of another account that may not be opened is there
         * all the same; an identifier that names nothing is not. */
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bAlive = WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT;
    CloseHandle(hProcess);
    return bAlive;
}

int KivAgentIsRunning(void)
{
    HANDLE hMutex = OpenMutexW(SYNCHRONIZE, FALSE, KIV_AGENT_INSTANCE_NAME);

    if (hMutex == NULL)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(hMutex);
    return 1;
}

LONG KivAgentReadCommand(const AGENTBLOCK *pBlock)
{
    return *(const volatile LONG *)&pBlock->lCommand;
}

void KivAgentWriteRequest(AGENTBLOCK *pBlock, const KIVAGENTREQUEST *pRequest)
{
    /* The code is written last: an agent that takes the request early
     * then finds its paths in place. */
    CopyMemory(pBlock->szPath1, pRequest->pszPath1, (pRequest->cchPath1 + 1) * sizeof(WCHAR));
    if (pRequest->pszPath2 != NULL)
        CopyMemory(pBlock->szPath2, pRequest->pszPath2, (pRequest->cchPath2 + 1) * sizeof(WCHAR));
    InterlockedExchange(&pBlock->lCommand, pRequest->lCommand);
}

/* Takes a pending request signal; 1 when there was one. */
static int TakeExecSignal(HANDLE hExecEvent)
{
    return WaitForSingleObject(hExecEvent, 0) == WAIT_OBJECT_0;
}

void KivAgentSettleBlock(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast)
{
    int bSawMark = 0;

    /* After an owner that released the mutex nothing can be pending or
     * served: it had its answer, or withdrew its request. */
    if (bUnknownPast) {
        /* Signalled and not taken: withdrawn, nobody waits for it.  None
         * pending: an agent woken for it a moment ago may not have taken
         * it yet.  This pause is the protocol's one window: an agent that
         * stays between its wake-up and its next step for longer takes the
         * dead owner's request after the new owner wrote its own paths. */
        if (!TakeExecSignal(hExecEvent))
            Sleep(KIV_AGENT_SETTLE_MS);
    }
    for (;;) {
        LONG lCommand = KivAgentReadCommand(pBlock);

        if (!KivAgentIsServingMark(lCommand)) {
            /* Finished a moment ago: its done signal follows its result. */
            if (bSawMark)
                WaitForSingleObject(hDoneEvent, KIV_AGENT_POLL_MS * KIV_AGENT_LOST_POLLS);
            break;
        }
        if (!KivAgentMarkAlive(lCommand) || !KivAgentIsRunning())
            break;   /* its agent ended: nothing more will come of it */
        bSawMark = 1;
        if (WaitForSingleObject(hDoneEvent, KIV_AGENT_POLL_MS) == WAIT_OBJECT_0)
            break;
    }
}

int KivAgentAwaitDone(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent,
                      const KIVAGENTREQUEST *pRequest)
{
    DWORD dwNoAgentMs = 0;
    int cQuietPolls = 0;

    for (;;) {
        DWORD dwWait = WaitForSingleObject(hDoneEvent, KIV_AGENT_POLL_MS);
        LONG lCommand;
        int bPending;

        if (dwWait == WAIT_OBJECT_0)
            return 1;
        if (dwWait != WAIT_TIMEOUT)
            return 0;

        lCommand = KivAgentReadCommand(pBlock);
        if (KivAgentIsServingMark(lCommand)) {
            cQuietPolls = 0;
            dwNoAgentMs = 0;
            /* No agent runs: the mark's process id may already be another
             * process's. */
            if (KivAgentMarkAlive(lCommand) && KivAgentIsRunning())
                continue;
            /* The agent that took it ended before it was done: the next
             * agent gets it again, whole. */
            KivAgentWriteRequest(pBlock, pRequest);
            SetEvent(hExecEvent);
            continue;
        }

        bPending = TakeExecSignal(hExecEvent);
        if (KivAgentIsRunning())
            dwNoAgentMs = 0;
        else
            dwNoAgentMs += KIV_AGENT_POLL_MS;
        if (dwNoAgentMs >= KIV_AGENT_GIVE_UP_MS)
            return 0;   /* the signal just taken stays taken: withdrawn */
        if (bPending) {
            SetEvent(hExecEvent);
            cQuietPolls = 0;
            continue;
        }
        /* Neither waiting to be taken nor being served, and not answered:
         * an agent ended between its result and its done signal. */
        if (++cQuietPolls >= KIV_AGENT_LOST_POLLS) {
            KivAgentWriteRequest(pBlock, pRequest);
            SetEvent(hExecEvent);
            cQuietPolls = 0;
        }
    }
}
