/*
 * The exchange with the agent kept safe from what happens on a busy
 * machine: a client that dies in the middle of a request, an agent that
 * ends while it serves one, a stop that arrives during one.  Shared by the
 * agent client (common library) and the agent program; what it guarantees
 * is written at the top of agentsync.cpp.
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
#include "agentobjects.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How often a waiting client looks at the block and the agent. */
#define KIV_AGENT_POLL_MS        100
/* How long a request waits without any agent before it gives up (the same
 * time a launching client gives an agent to get ready). */
#define KIV_AGENT_GIVE_UP_MS     60000
/* How long an agent that found a stop's quit over its mark waits for the
 * stop's request signal, which follows the quit. */
#define KIV_AGENT_QUIT_SIGNAL_MS 1000

/* What a request or quit that nobody will wait for is turned into: a code
 * above the protocol's, which every agent, also one that knows nothing of
 * it, answers without doing anything. */
#define KIV_CMD_WITHDRAWN ((LONG)0x7FFFFFFF)

/*
 * The note of a request signalled once.  An agent takes a request signal
 * that came while it served (a repeat of the request it served) only for a
 * request without this note: our client writes it into the last unit of
 * the first path field, beyond the terminator of any path shorter than the
 * field, when nothing came before its request that can leave an agent
 * woken for another one (a dead owner, a quit, a withdrawal, a request
 * being served, an agent that took the word meanwhile), and takes it away
 * before it signals the request again or withdraws it.  The agent takes
 * it away with the request, so that a request of a client that knows
 * nothing of it, or with a path that fills the field, never has it.  The
 * unit is a noncharacter, in no path.
 */
#define KIV_AGENT_ONCE_UNIT      (KIV_AGENT_PATH_UNITS - 1)
#define KIV_AGENT_SIGNALLED_ONCE ((WCHAR)0xFDD0)

/* One request as the client keeps it, to write it again when needed. */
typedef struct {
    LONG lCommand;
    const WCHAR *pszPath1;    /* NULL: the field is not written (the quit) */
    size_t cchPath1;          /* written with its terminator */
    const WCHAR *pszPath2;    /* NULL: the field is not written */
    size_t cchPath2;
} KIVAGENTREQUEST;

LONG KivAgentServingMark(DWORD dwProcessId);
int KivAgentIsServingMark(LONG lCommand);
/* The process that serves under the mark (SYNCHRONIZE access), when it is
 * a running agent program; NULL when the mark names none: its agent ended
 * and its process id is free, or already another program's. */
HANDLE KivAgentOpenServer(LONG lMark);
/* 1 when an agent program other than this process runs. */
int KivAgentOtherProgramRuns(void);

/* The command word, read once from memory other processes write. */
LONG KivAgentReadCommand(const AGENTBLOCK *pBlock);

/*
 * For the owner of the client mutex, before it writes: a request an agent
 * is serving for the previous owner runs to its end, and its done signal
 * is taken.  bUnknownPast: the previous owner died (the mutex came
 * abandoned) or this owner made the mutex anew; then a request of that
 * owner that no agent has taken is withdrawn.  dwMaxWaitMs bounds the wait
 * for a request being served (INFINITE: as long as its agent runs).  1
 * with the command word as it is left in *plSeen, 0 when the wait ran out.
 */
int KivAgentSettleBlock(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast,
                        DWORD dwMaxWaitMs, LONG *plSeen);

/* Settles the block as above and writes the request into it (not yet
 * signalled).  1 when written, 0 when the wait ran out. */
int KivAgentPutRequest(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent, int bUnknownPast,
                       DWORD dwMaxWaitMs, const KIVAGENTREQUEST *pRequest);

/*
 * Signals the request that KivAgentPutRequest wrote and waits for its done
 * signal.  The request is written and signalled again only when the agent
 * that had it is gone: the process whose mark it shows ended, every agent
 * program that ran when it was signalled ended, or no agent runs at all.
 * One that no agent takes within KIV_AGENT_GIVE_UP_MS without any agent
 * running is withdrawn.  pPlace says where the agent's instance mutex
 * is looked for.  1 when the request was answered, 0 when it was given up
 * or could not be signalled.
 */
int KivAgentSendAndAwait(AGENTBLOCK *pBlock, HANDLE hExecEvent, HANDLE hDoneEvent,
                         const KIVAGENTREQUEST *pRequest, const KIVAGENTPLACE *pPlace);

/* For the agent, after it took a request of a protocol code (not the
 * quit): 1 when the request has the note above, which is taken away. */
int KivAgentTakeOnceNote(AGENTBLOCK *pBlock);

/* Closes the handles of the agent programs that waiting clients of this
 * process watch (a client that detaches). */
void KivAgentForgetPrograms(void);

/* Takes back a signalled request that nobody will wait for, unless an
 * agent took it already: its signal is taken, and the command word, when
 * it still holds lCommand, becomes KIV_CMD_WITHDRAWN. */
void KivAgentWithdraw(AGENTBLOCK *pBlock, HANDLE hExecEvent, LONG lCommand);

#ifdef __cplusplus
}
#endif

#endif /* KIV_AGENTSYNC_H */
