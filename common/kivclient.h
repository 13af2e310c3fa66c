/*
 * The client side of the path agent (kivprt): make sure an agent runs,
 * attach to it, send it requests, detach, ask it to stop.
 *
 * The client state is process-wide.  InitUNCShelllApp, ExitUNCShelllApp
 * and LaunchKivShelllApp must not run at the same time as each other or as
 * a request in the same process; requests from any number of threads and
 * processes are serialised by the client mutex.  A request waits as long
 * as an agent serves it; one that an agent could not finish (it ended) is
 * sent again to the next agent; one that no agent takes while none has
 * run for 60 s is given up and returns 0.  A client that died in the
 * middle of a request never makes the next one return its result.
 *
 * Where the agent is: a thread that impersonates (the spooler rendering
 * a job) and a process of a service account work for the user and
 * session of the token in force, and use only objects that user owns;
 * there no message is shown and nothing is started or waited for (see
 * agentobjects.h).  Every other program finds the agent of its own
 * session by the plain names.
 *
 * Paths are UTF-16; a path sent to the agent has at most 255 characters
 * (KIV_AGENT_MAX_PATH_LEN).  A request with a longer path is refused: it
 * returns 0 and sends nothing.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVCLIENT_H
#define KIV_KIVCLIENT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Shown when InitUNCShelllApp finds no agent. */
#define KIV_NO_AGENT_TEXT     L"Please use Kiv Image Printer property sheet to specify/respecify UNC folder first"
#define KIV_NO_AGENT_CAPTION  L"UNC folder Error"

/* How long LaunchKivShelllApp waits for an agent to get ready, and pauses
 * after it did; the pause after handing on a stop. */
#define KIV_LAUNCH_WAIT_MS    60000
#define KIV_LAUNCH_PAUSE_MS   1000
#define KIV_UNLAUNCH_PAUSE_MS 100

/*
 * 1 when no agent was present and one got ready within 60 s (the
 * installed agent, started by StartAgentProgram, or one started by other
 * means); 0 when the shared block was present already (no ready event is
 * made) or no agent got ready in time.
 */
int LaunchKivShelllApp(void);

/* 1 when the shared block was present and the stop was handed on (the
 * installed agent started in stop mode, which ends the serving copy once
 * its current request is done); 0 at once when it was absent. */
int UnLaunchKivShelll(void);

/* 1 when the shared block exists: an agent runs or any client anywhere is
 * attached (this one included). */
int IsKivShelllAppRunning(void);

/*
 * Attaches to the agent: 1 when attached (or attached already), else 0.
 * With no shared block at all it shows the message KIV_NO_AGENT_TEXT,
 * caption KIV_NO_AGENT_CAPTION, and returns 0 once the user closed it.
 * What an attempt that failed half-way obtained stays held until
 * ExitUNCShelllApp or the next attempt, which lets it go first: a failed
 * attempt never makes a later one report 1 without attaching.
 */
int InitUNCShelllApp(void);

/* Detaches and releases every object the client holds. */
void ExitUNCShelllApp(void);

/* Copies a file through the agent, replacing pszNewFile: the agent's copy
 * result (non-zero when copied); 0 when not attached or a path is too
 * long. */
int UNCCopyFile(const WCHAR *pszExistingFile, const WCHAR *pszNewFile);

/* Has the agent open the path with the shell verb "open". */
void UNCShellExecute(const WCHAR *pszPath);

/* Has the agent run a command line (program and arguments). */
void UNCAppExecute(const WCHAR *pszCmdLine);

/* 1 when the path names an existing item that is not a folder.  Paths
 * that do not begin with two backslashes are tested here; UNC paths by
 * the agent (0 when not attached). */
int FileExists(const WCHAR *pszPath);

/* 1 when the path names an existing folder; as FileExists. */
int DirExists(const WCHAR *pszPath);

/*
 * The client's launch step, handed the agent's program file name and the
 * argument text of its mode ("  -launch", "  -stop").  It starts that
 * program from the install folder (KivImagePrinterFolderExist) with the
 * argument text, hidden, and does not wait for it: 1 when it was started,
 * 0 when there is no installed program or it could not be started, and
 * for a token (see above): the agent would get this process's account
 * and session, not the user's, so there the user's logon starts it.
 */
int StartAgentProgram(const WCHAR *pszProgram, const WCHAR *pszParams);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVCLIENT_H */
