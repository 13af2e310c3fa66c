/*
 * Runs a program under the test as its debugger, to see what only a
 * debugger sees of a real, unchanged program:
 *
 *  - every OutputDebugString line, in order, read at the moment it is
 *    written (the program stands still until the test has looked at the
 *    machine);
 *  - the arguments of chosen system calls, read at the call (a breakpoint
 *    on the function's first instruction in the DLL that exports it);
 *  - a failure of a chosen system call, where the platform under test
 *    cannot produce it for real: the call is skipped and returns 0 with
 *    the given last-error value, as a failing call of that function does;
 *  - an answer of a chosen system call that the machine cannot give
 *    (thousands of processes): the call is skipped, the test writes its
 *    output into the program's memory and chooses its result.
 *
 * The program itself carries no test hooks; the breakpoints live only in
 * the debugged process's memory.
 */
#ifndef KIV_DEBUGRUN_H
#define KIV_DEBUGRUN_H

#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <vector>

class DebugRun;

/* A function of a DLL to stop at.  Its arguments are handed over as
 * pointer-sized values, whatever the build: DWORD arguments in their low
 * 32 bits. */
struct CallHook {
    std::string dll;        /* export name of the DLL, e.g. "winspool.drv" */
    std::string function;   /* e.g. "AddFormW" */
    int cArgs = 0;          /* its arguments */
    bool fail = false;      /* skip the call: return 0 with dwError */
    DWORD dwError = 0;
    /* When set, only the calls for which it returns true fail (or, with
     * emulate, are emulated). */
    std::function<bool(DebugRun &, const ULONG_PTR *args)> failIf;
    /* Only calls made by the program's own module count; calls that
     * system DLLs make internally run untouched and unseen. */
    bool fromMainOnly = true;
    /* Called at the call with its arguments, before it runs (or fails). */
    std::function<void(DebugRun &, const ULONG_PTR *args)> onCall;
    /* When set (and the call does not fail), the call is skipped: this
     * writes its output (DebugRun::Write) and returns its result. */
    std::function<ULONG_PTR(DebugRun &, const ULONG_PTR *args)> emulate;
    /* How many times it was called. */
    int cCalls = 0;
};

class DebugRun {
public:
    std::vector<CallHook> hooks;
    /* The session to start the program in (KIV_OWN_SESSION: this one's). */
    DWORD sessionId = 0xFFFFFFFFu;
    /* Called for each debug output line while the program stands still. */
    std::function<void(DebugRun &, const std::string &line)> onDebugString;

    /* Results. */
    std::vector<std::string> debugLines;
    DWORD exitCode = 0xdeadbeef;
    DWORD processId = 0;
    /* Why Run failed (empty when it did not). */
    std::string failure;

    /* Starts the command line in the folder and debugs it until it ends.
     * False when it could not start, a hook could not be placed, or it did
     * not end within ms (then it is ended). */
    bool Run(const std::wstring &cmdline, const std::wstring &curDir, DWORD ms);

    /* Reading and writing the debugged program's memory (only during
     * callbacks). */
    bool Read(ULONG_PTR addr, void *p, size_t cb);
    bool Write(ULONG_PTR addr, const void *p, size_t cb);
    DWORD ReadDword(ULONG_PTR addr);
    ULONG_PTR ReadPointer(ULONG_PTR addr);
    /* A NULL pointer reads as "(null)". */
    std::wstring ReadWString(ULONG_PTR addr, size_t maxUnits = 2048);
    /* A zero-terminated list of zero-terminated strings. */
    std::vector<std::wstring> ReadMultiString(ULONG_PTR addr, size_t maxUnits = 4096);

    CallHook *Hook(const std::string &function);

private:
    struct Breakpoint {
        ULONG_PTR addr = 0;
        BYTE original = 0;
        size_t hook = 0;
    };
    struct Thread {
        HANDLE hThread = NULL;
        ULONG_PTR teb = 0;
        ULONG_PTR rearm = 0;   /* breakpoint to put back after a single step */
    };
    HANDLE m_hProcess = NULL;
    ULONG_PTR m_mainBase = 0;
    DWORD m_mainSize = 0;
    std::vector<Breakpoint> m_breakpoints;
    std::map<DWORD, Thread> m_threads;

    DWORD ImageSize(ULONG_PTR base);
    void OnLoadDll(ULONG_PTR base);
    DWORD OnException(const DEBUG_EVENT &ev);
};

#endif /* KIV_DEBUGRUN_H */
