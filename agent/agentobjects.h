/*
 * Where the agent's objects are, and whose they are.
 *
 * Plain object names live in the namespace of the session of the process
 * that uses them, whatever user its thread impersonates.  An application,
 * the tray or the settings sheet runs in its user's session and finds that
 * user's agent by the plain names.  The print spooler runs in session 0
 * and renders a job on a thread that impersonates the job's owner: there
 * the plain names would find session 0's agent, or none.  So a thread that
 * impersonates, and a process of a service account, work for the user and
 * session of the token in force: the objects are opened in that session's
 * namespace by their full names, never made, and used only when that user
 * owns each of them.
 *
 * The agent gives each of its objects one security descriptor: owner its
 * own user, full access for that user and LocalSystem, nobody else.
 *
 * Usable from C and C++.
 */
#ifndef KIV_AGENTOBJECTS_H
#define KIV_AGENTOBJECTS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where a client finds the agent's objects. */
typedef struct {
    /* 0: by their plain names, in this process's own session; 1: in the
     * session of the token in force, owned by its user. */
    int bForToken;
    DWORD dwSessionId;
    DWORD adwUserSid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
} KIVAGENTPLACE;

/* The objects a client opens. */
typedef enum {
    KIV_AGENT_OBJ_BLOCK,      /* the shared block */
    KIV_AGENT_OBJ_EXEC,       /* the request event */
    KIV_AGENT_OBJ_DONE,       /* the done event */
    KIV_AGENT_OBJ_FREE,       /* the client mutex */
    KIV_AGENT_OBJ_INSTANCE,   /* the agent's instance mutex */
    KIV_AGENT_OBJ_COUNT
} KIVAGENTOBJECT;

/*
 * Where the agent's objects are for the calling thread: its impersonation
 * token, else, in a process of a service account, the process token.  1
 * when found; 0 when a token the answer depends on cannot be read, and
 * then no agent is to be used at all.
 */
int KivAgentFindPlace(KIVAGENTPLACE *pPlace);

/*
 * Opens one of the agent's objects.  By plain name as a client always
 * has: the block with OpenFileMappingW, the events and the client mutex
 * with CreateEventW and CreateMutexW (which make them when missing:
 * *pbMade, when not NULL, tells), the instance mutex with OpenMutexW for
 * SYNCHRONIZE.  For a token: only opened, in the session's namespace,
 * with the same access and READ_CONTROL, and only when the token's user
 * owns it.  NULL when it cannot be had.
 */
HANDLE KivAgentOpenObject(const KIVAGENTPLACE *pPlace, KIVAGENTOBJECT object, int *pbMade);

/* 1 when the shared block exists there (the client's probe). */
int KivAgentBlockPresent(const KIVAGENTPLACE *pPlace);

/* 1 while an agent runs there (its instance mutex exists).  By plain name
 * a mutex this process may not open counts as one. */
int KivAgentIsRunning(const KIVAGENTPLACE *pPlace);

/* The agent's security: owner its user, full access for that user and
 * LocalSystem.  Fixed in place once made: it points into itself. */
#define KIV_AGENT_ACL_BYTES (sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE))
typedef struct {
    SECURITY_ATTRIBUTES sa;   /* for the Create calls */
    SECURITY_DESCRIPTOR sd;
    DWORD adwUserSid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD adwAcl[(KIV_AGENT_ACL_BYTES + sizeof(DWORD) - 1) / sizeof(DWORD)];
} KIVAGENTSECURITY;

/* Makes the descriptor for the process's own user: 1, or 0 when that
 * user cannot be read. */
int KivAgentMakeSecurity(KIVAGENTSECURITY *pSecurity);

/*
 * After a Create call with pSecurity->sa that returned h: an object that
 * existed already (bExisted: the call reported ERROR_ALREADY_EXISTS) is
 * given the owner and the access of pSecurity.  1 when the object is the
 * agent's user's; 0 when h is NULL or that could not be done.
 */
int KivAgentClaimObject(const KIVAGENTSECURITY *pSecurity, HANDLE h, int bExisted);

#ifdef __cplusplus
}
#endif

#endif /* KIV_AGENTOBJECTS_H */
