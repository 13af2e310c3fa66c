/*
 * The exchange with the agent kept safe from what happens on a busy
 * machine: a client that dies in the middle of a request, an agent that
 * ends while it serves one, a stop that arrives during one.  Shared by the
 * agent client (common library) and the agent program.
 *
 * The serving mark.  The agent takes a request by exchanging the command
 * word for its serving mark (the high bit and the agent's process id) in
 * one atomic step, so a request is either taken whole or not at all, and
 * while it serves, everybody can see that it does and which process does.
 * Before it signals done it puts the result (a copy) or the code back.
 * Clients read the command word only after the done signal, so a peer
 * that knows nothing of the mark never sees it.
 *
 * Usable from C and C++.
 */
#ifndef KIV_AGENTSYNC_H
#define KIV_AGENTSYNC_H

#include <windows.h>
#include <stddef.h>
#include "agentproto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How often a waiting client looks at the block and the agent. */
#define KIV_AGENT_POLL_MS        100
/* How long a client that took the mutex from a dead owner lets an agent
 * that was just woken for the dead owner's request take it. */
#define KIV_AGENT_SETTLE_MS      50
/* How long a request waits without any agent before it gives up (the same
 * time a launching client gives an agent to get ready). */
#define KIV_AGENT_GIVE_UP_MS     60000
/* Polls after which a request that is neither waiting to be taken nor
 * being served, while an agent runs, counts as lost and is sent again. */
#define KIV_AGENT_LOST_POLLS     10

/* One request as the client keeps it, to write it again when needed. */
typedef struct {
    LONG lCommand;
    const WCHAR *pszPath1;    /* written with its terminator */
    size_t cchPath1;
    const WCHAR *pszPath2;    /* NULL: the field is not written */
    size_t cchPath2;
} KIVAGENTREQUEST;

/* The mark an agent that starts puts in place of a mark it finds: the
 * agent that left it ended while serving, and its process id may already
 * belong to another process (even to the new agent).  It names no
 * process, so the waiting client sends its request again. */
#define KIV_AGENT_LOST_MARK ((LONG)0x80000000UL)

LONG KivAgentServingMark(DWORD dwProcessId);
int KivAgentIsServingMark(LONG lCommand);
/* 1 while the process named by the mark runs. */
int KivAgentMarkAlive(LONG lMark);
/* 1 while an agent of this session runs (its instance mutex exists). */
int KivAgentIsRunning(void);

/* The command word, read once from memory other processes write. */
LONG KivAgentReadCommand(const AGENTBLOCK *pBlock);

/* Writes the request's code and paths into the block. */
void KivAgentWriteRequest(AGENTBLOCK *pBlock, const KIVAGENTREQUEST *pRequest);

/*
 * For a new owner of the client mutex, before it writes its request: a
 * request an agent is serving (its owner died, or the mutex itself went
 * with its only holder and was made anew) runs to its end, and its done
 * signal is taken.  bUnknownPast: the previous owner died (the mutex came
 * abandoned) or this owner made the mutex anew; then a request signalled
 * earlier that no agent took is withdrawn (nobody waits for it), and an
 * agent woken for it a moment ago is given a moment to take it.
 * Afterwards the block is the new owner's alone.
 */
void KivAgentSettleBlock(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast);

/*
 * Waits for the done signal of the request just signalled.  A request
 * that the agent serving it could not finish (it ended) is written and
 * signalled again for the next agent; one that no agent takes within
 * KIV_AGENT_GIVE_UP_MS without any agent running is withdrawn.  1 when
 * the request was served, 0 when it was given up.
 */
int KivAgentAwaitDone(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent,
                      const KIVAGENTREQUEST *pRequest);

#ifdef __cplusplus
}
#endif

#endif /* KIV_AGENTSYNC_H */
