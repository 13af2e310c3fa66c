/*
 * Helpers for the tests, which run under Wine in a prefix of their own:
 * starting the real programs, waiting with deadlines, the registry, files,
 * the dialog helper, and a client of the agent that uses nothing but the
 * named objects.
 */
#ifndef KIV_TESTSUPPORT_H
#define KIV_TESTSUPPORT_H

#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "agentproto.h"

/* Deadlines: long enough for a loaded machine, never a fixed wait. */
#define KIV_TEST_DEADLINE_MS 20000

/* The folder of the test program, where the build puts every program. */
std::wstring BinDir();
std::wstring BinPath(const std::wstring &name);

/* The session a program starts in unless it is put into another. */
#define KIV_OWN_SESSION 0xFFFFFFFFu
/* Puts a program created suspended into another session: its plain object
 * names then go to that session's namespace (session 0: the spooler's). */
bool SetProcessSession(HANDLE hProcess, DWORD sessionId);
/* Starts a command line (in another session); returns the process handle
 * (or NULL). */
HANDLE Launch(const std::wstring &cmdline, DWORD sessionId = KIV_OWN_SESSION);
/* Waits for the process to end; true with its exit code when it did. */
bool WaitExit(HANDLE hProcess, DWORD ms, DWORD *pExitCode);
/* Polls pred every pollMs until it holds or ms have passed. */
bool WaitFor(const std::function<bool()> &pred, DWORD ms = KIV_TEST_DEADLINE_MS, DWORD pollMs = 10);

/* Registry (ANSI, as the programs under test use it). */
bool RegGetString(HKEY hRoot, const char *pszKey, const char *pszName, std::string *pOut, DWORD *pType = NULL);
bool RegSetString(HKEY hRoot, const char *pszKey, const char *pszName, const std::string &value);
bool RegDeleteValueIn(HKEY hRoot, const char *pszKey, const char *pszName);

/* Files. */
bool WriteWholeFile(const std::wstring &path, const std::string &data);
bool ReadWholeFile(const std::wstring &path, std::string *pData);
bool PathIsFile(const std::wstring &path);
bool PathIsFolder(const std::wstring &path);
std::wstring Widen(const std::string &s);
std::string Narrow(const std::wstring &s);

/* The prefix's folders: the system folder, and the install folder
 * "...\Program Files\KivImagePrinter30" (no trailing backslash). */
std::wstring SystemDir();
std::wstring InstallDir();

/* Adds a port of the local port monitor ("AddPort"); true when the port
 * is there afterwards. */
bool AddLocalPort(const std::wstring &port);

/* Named objects. */
bool EventExists(const wchar_t *pszName);
bool MutexExists(const wchar_t *pszName);
/* True when the named auto-reset event is signalled; consumes the signal. */
bool EventSignalled(const wchar_t *pszName);

/* A client of the agent that uses only the named objects. */
struct RawAgentClient {
    HANDLE hMapping = NULL;
    AGENTBLOCK *pBlock = NULL;
    HANDLE hExec = NULL;
    HANDLE hDone = NULL;

    /* Creates (or opens) the block and both events, as a client would. */
    bool Attach();
    void Detach();
    ~RawAgentClient() { Detach(); }

    /* Writes the request, signals it and waits for done (with a deadline).
     * Either path may be NULL (field left as it is). */
    bool Send(LONG lCommand, const wchar_t *pszPath1 = NULL, const wchar_t *pszPath2 = NULL,
              DWORD ms = KIV_TEST_DEADLINE_MS);
    LONG Command() const { return pBlock->lCommand; }
    LONG TestResult() const { return KivAgentGetTestResult(pBlock); }
};

/* The path agent under test. */
struct AgentProcess {
    HANDLE hProcess = NULL;
    /* Starts kivprt.exe (or another agent program of the bin folder) with
     * the argument text; with waitReady, waits for its ready event.
     * Returns false when it did not get ready. */
    bool Start(const std::wstring &args, bool waitReady = true, const std::wstring &program = L"kivprt.exe");
    /* Sends a stop through a second copy and waits for this one to end. */
    bool Stop(DWORD *pExitCode = NULL);
    ~AgentProcess();
};

/* Runs kivprt.exe with the argument text and waits for it to end. */
bool RunAgentToEnd(const std::wstring &args, DWORD *pExitCode);

/* One dialog the dialog helper answered. */
struct DialogRecord {
    std::string caption;
    std::string text;
    std::vector<std::pair<int, std::string>> buttons;
    int defaultId = 0;
    int pressed = 0;
};

/* The dialog helper, running in this prefix while the test drives a
 * program that shows dialogs. */
struct DialogHelper {
    HANDLE hProcess = NULL;
    std::wstring logPath;
    /* press: comma-separated button ids ("" = default buttons). */
    bool Start(const std::string &press = "", int count = 1, DWORD timeoutMs = KIV_TEST_DEADLINE_MS);
    /* Waits for the helper to end; true when it answered every dialog. */
    bool Finish();
    std::vector<DialogRecord> Records() const;
    ~DialogHelper();
};

#endif /* KIV_TESTSUPPORT_H */
