/*
 * The test as a debugger of the program under test; see debugrun.h.
 *
 * The harness is built for the same architecture as the program it
 * debugs, so the two share pointer size and record layouts.  A breakpoint
 * is an int3 written over the first byte of the function.  To let the call
 * run, the original byte goes back, the thread single-steps over it, and
 * the int3 is written again.  To make the call fail, the thread returns to
 * its caller at once, as the function would with result 0, and the
 * thread's last-error value is set; an emulated call returns the same way
 * with the result the test chose.  Where the arguments are and how a
 * function returns is the calling convention, below.
 */
#include "debugrun.h"
#include "testsupport.h"

#include <string.h>

#define INT3                   0xCC
#define EFLAGS_TRAP            0x100
#define DEBUG_WAIT_SLICE_MS    100
#define DEBUG_DRAIN_MS         10000

/* ---- The calling convention: all that differs between the builds ----- */

#ifdef _WIN64
/* x64: the first four arguments in RCX, RDX, R8 and R9, the others on the
 * stack above the return address and 32 bytes of shadow space; the result
 * in RAX; the caller cleans the stack. */
#define TEB_LAST_ERROR_OFFSET  0x68

static void ReadCallArgs(DebugRun &run, const CONTEXT &ctx, ULONG_PTR *args, int cArgs)
{
    const DWORD64 regs[4] = { ctx.Rcx, ctx.Rdx, ctx.R8, ctx.R9 };
    for (int i = 0; i < cArgs; i++)
        args[i] = i < 4 ? regs[i] : run.ReadPointer(ctx.Rsp + 8 + 8 * i);
}

static ULONG_PTR StackPointer(const CONTEXT &ctx) { return ctx.Rsp; }
static void ResumeAt(CONTEXT &ctx, ULONG_PTR addr) { ctx.Rip = addr; }

/* Back to the caller as if the function had returned the value. */
static void ReturnFromCall(CONTEXT &ctx, ULONG_PTR retAddr, int, ULONG_PTR value)
{
    ctx.Rax = value;
    ctx.Rip = retAddr;
    ctx.Rsp += 8;
}
#else
/* x86 stdcall: the arguments on the stack above the return address, the
 * result in EAX; the function pops its arguments. */
#define TEB_LAST_ERROR_OFFSET  0x34

static void ReadCallArgs(DebugRun &run, const CONTEXT &ctx, ULONG_PTR *args, int cArgs)
{
    run.Read(ctx.Esp + 4, args, sizeof(ULONG_PTR) * cArgs);
}

static ULONG_PTR StackPointer(const CONTEXT &ctx) { return ctx.Esp; }
static void ResumeAt(CONTEXT &ctx, ULONG_PTR addr) { ctx.Eip = addr; }

static void ReturnFromCall(CONTEXT &ctx, ULONG_PTR retAddr, int cArgs, ULONG_PTR value)
{
    ctx.Eax = value;
    ctx.Eip = retAddr;
    ctx.Esp += 4 + 4 * cArgs;
}
#endif

/* ---------------------------------------------------------------------- */

static std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

bool DebugRun::Read(ULONG_PTR addr, void *p, size_t cb)
{
    SIZE_T got = 0;
    return addr && ReadProcessMemory(m_hProcess, (LPCVOID)addr, p, cb, &got) && got == cb;
}

bool DebugRun::Write(ULONG_PTR addr, const void *p, size_t cb)
{
    SIZE_T done = 0;
    DWORD oldProtect = 0;
    bool ok;

    VirtualProtectEx(m_hProcess, (LPVOID)addr, cb, PAGE_EXECUTE_READWRITE, &oldProtect);
    ok = WriteProcessMemory(m_hProcess, (LPVOID)addr, p, cb, &done) && done == cb;
    if (oldProtect)
        VirtualProtectEx(m_hProcess, (LPVOID)addr, cb, oldProtect, &oldProtect);
    FlushInstructionCache(m_hProcess, (LPCVOID)addr, cb);
    return ok;
}

DWORD DebugRun::ReadDword(ULONG_PTR addr)
{
    DWORD v = 0;
    Read(addr, &v, sizeof(v));
    return v;
}

ULONG_PTR DebugRun::ReadPointer(ULONG_PTR addr)
{
    ULONG_PTR v = 0;
    Read(addr, &v, sizeof(v));
    return v;
}

std::wstring DebugRun::ReadWString(ULONG_PTR addr, size_t maxUnits)
{
    std::wstring s;
    if (!addr)
        return L"(null)";
    for (size_t i = 0; i < maxUnits; i++) {
        WCHAR c = 0;
        if (!Read(addr + i * sizeof(WCHAR), &c, sizeof(c)) || !c)
            break;
        s += c;
    }
    return s;
}

std::vector<std::wstring> DebugRun::ReadMultiString(ULONG_PTR addr, size_t maxUnits)
{
    std::vector<std::wstring> list;
    std::wstring cur;
    if (!addr)
        return list;
    for (size_t i = 0; i < maxUnits; i++) {
        WCHAR c = 0;
        if (!Read(addr + i * sizeof(WCHAR), &c, sizeof(c)))
            break;
        if (c) {
            cur += c;
            continue;
        }
        if (cur.empty())
            break;
        list.push_back(cur);
        cur.clear();
    }
    return list;
}

CallHook *DebugRun::Hook(const std::string &function)
{
    for (CallHook &h : hooks)
        if (h.function == function)
            return &h;
    return NULL;
}

/* SizeOfImage from the module's PE header (of the harness's own kind). */
DWORD DebugRun::ImageSize(ULONG_PTR base)
{
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;

    if (!Read(base, &dos, sizeof(dos)) || !Read(base + dos.e_lfanew, &nt, sizeof(nt)))
        return 0;
    return nt.OptionalHeader.SizeOfImage;
}

/* Places the breakpoints of the hooks whose DLL this module is, found
 * through the module's export directory. */
void DebugRun::OnLoadDll(ULONG_PTR base)
{
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;
    IMAGE_EXPORT_DIRECTORY exports;
    char szName[64] = "";

    if (!Read(base, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return;
    if (!Read(base + dos.e_lfanew, &nt, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE)
        return;
    const IMAGE_DATA_DIRECTORY &dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress || !Read(base + dir.VirtualAddress, &exports, sizeof(exports)))
        return;
    Read(base + exports.Name, szName, sizeof(szName) - 1);
    std::string dll = Lower(szName);

    for (size_t h = 0; h < hooks.size(); h++) {
        if (Lower(hooks[h].dll) != dll)
            continue;
        for (DWORD i = 0; i < exports.NumberOfNames; i++) {
            char szFunc[128] = "";
            WORD ordinal = 0;
            DWORD nameRva = ReadDword(base + exports.AddressOfNames + i * 4);
            Read(base + nameRva, szFunc, sizeof(szFunc) - 1);
            if (hooks[h].function != szFunc)
                continue;
            Read(base + exports.AddressOfNameOrdinals + i * 2, &ordinal, sizeof(ordinal));
            DWORD rva = ReadDword(base + exports.AddressOfFunctions + ordinal * 4);
            if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size) {
                failure = "export " + hooks[h].function + " is forwarded; hook its target instead";
                return;
            }
            Breakpoint bp;
            bp.addr = base + rva;
            bp.hook = h;
            BYTE int3 = INT3;
            if (!Read(bp.addr, &bp.original, 1) || !Write(bp.addr, &int3, 1)) {
                failure = "cannot place a breakpoint on " + hooks[h].function;
                return;
            }
            m_breakpoints.push_back(bp);
        }
    }
}

DWORD DebugRun::OnException(const DEBUG_EVENT &ev)
{
    const EXCEPTION_RECORD &rec = ev.u.Exception.ExceptionRecord;
    ULONG_PTR addr = (ULONG_PTR)rec.ExceptionAddress;
    Thread &thread = m_threads[ev.dwThreadId];
    CONTEXT ctx;

    if (rec.ExceptionCode == EXCEPTION_SINGLE_STEP && thread.rearm) {
        BYTE int3 = INT3;
        Write(thread.rearm, &int3, 1);
        thread.rearm = 0;
        return DBG_CONTINUE;
    }
    if (rec.ExceptionCode != EXCEPTION_BREAKPOINT)
        return DBG_EXCEPTION_NOT_HANDLED;

    for (Breakpoint &bp : m_breakpoints) {
        if (bp.addr != addr)
            continue;
        CallHook &hook = hooks[bp.hook];
        ZeroMemory(&ctx, sizeof(ctx));
        ctx.ContextFlags = CONTEXT_FULL;
        if (!thread.hThread || !GetThreadContext(thread.hThread, &ctx)) {
            failure = "cannot read the thread context at " + hook.function;
            return DBG_CONTINUE;
        }
        ULONG_PTR args[16] = { 0 };
        ULONG_PTR retAddr = ReadPointer(StackPointer(ctx));
        bool fromMain = retAddr >= m_mainBase && retAddr - m_mainBase < m_mainSize;
        bool fail = false, emulate = false;
        ReadCallArgs(*this, ctx, args, hook.cArgs < 16 ? hook.cArgs : 16);
        if (fromMain || !hook.fromMainOnly) {
            hook.cCalls++;
            if (hook.onCall)
                hook.onCall(*this, args);
            fail = hook.fail && (!hook.failIf || hook.failIf(*this, args));
            emulate = !fail && hook.emulate && (!hook.failIf || hook.failIf(*this, args));
        }
        if (fail) {
            DWORD dwError = hook.dwError;
            ReturnFromCall(ctx, retAddr, hook.cArgs, 0);
            if (thread.teb)
                Write(thread.teb + TEB_LAST_ERROR_OFFSET, &dwError, sizeof(dwError));
        } else if (emulate) {
            ReturnFromCall(ctx, retAddr, hook.cArgs, hook.emulate(*this, args));
        } else {
            /* Run the real first instruction, then put the int3 back. */
            Write(bp.addr, &bp.original, 1);
            ResumeAt(ctx, bp.addr);
            ctx.EFlags |= EFLAGS_TRAP;
            thread.rearm = bp.addr;
        }
        SetThreadContext(thread.hThread, &ctx);
        return DBG_CONTINUE;
    }
    /* The loader's own breakpoint at the start, or any other int3. */
    return DBG_CONTINUE;
}

bool DebugRun::Run(const std::wstring &cmdline, const std::wstring &curDir, DWORD ms)
{
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    bool exited = false, timedOut = false;
    DWORD start = GetTickCount(), limit = ms;

    buf.push_back(0);
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    if (!CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | (sessionId != KIV_OWN_SESSION ? CREATE_SUSPENDED : 0), NULL,
                        curDir.empty() ? NULL : curDir.c_str(), &si, &pi)) {
        failure = "cannot start the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (sessionId != KIV_OWN_SESSION && (!SetProcessSession(pi.hProcess, sessionId) ||
                                         ResumeThread(pi.hThread) == (DWORD)-1)) {
        failure = "cannot put the program into session " + std::to_string(sessionId);
        TerminateProcess(pi.hProcess, 99);
    }
    processId = pi.dwProcessId;

    while (!exited) {
        DEBUG_EVENT ev;
        DWORD status = DBG_CONTINUE;

        if (GetTickCount() - start > limit) {
            if (timedOut)
                break;
            timedOut = true;
            TerminateProcess(pi.hProcess, 99);
            start = GetTickCount();
            limit = DEBUG_DRAIN_MS;
        }
        if (!WaitForDebugEvent(&ev, DEBUG_WAIT_SLICE_MS))
            continue;
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            m_hProcess = ev.u.CreateProcessInfo.hProcess;
            m_threads[ev.dwThreadId].hThread = ev.u.CreateProcessInfo.hThread;
            m_threads[ev.dwThreadId].teb = (ULONG_PTR)ev.u.CreateProcessInfo.lpThreadLocalBase;
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
            m_mainBase = (ULONG_PTR)ev.u.CreateProcessInfo.lpBaseOfImage;
            m_mainSize = ImageSize(m_mainBase);
            OnLoadDll(m_mainBase);
            break;
        case CREATE_THREAD_DEBUG_EVENT:
            m_threads[ev.dwThreadId].hThread = ev.u.CreateThread.hThread;
            m_threads[ev.dwThreadId].teb = (ULONG_PTR)ev.u.CreateThread.lpThreadLocalBase;
            break;
        case EXIT_THREAD_DEBUG_EVENT:
            m_threads.erase(ev.dwThreadId);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
            OnLoadDll((ULONG_PTR)ev.u.LoadDll.lpBaseOfDll);
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO &info = ev.u.DebugString;
            std::string line;
            if (info.fUnicode) {
                std::wstring w = ReadWString((ULONG_PTR)info.lpDebugStringData, info.nDebugStringLength);
                for (wchar_t c : w)
                    line += (char)(c < 0x80 ? c : '?');
            } else {
                std::vector<char> text(info.nDebugStringLength + 1, 0);
                Read((ULONG_PTR)info.lpDebugStringData, text.data(), info.nDebugStringLength);
                line = text.data();
            }
            debugLines.push_back(line);
            if (onDebugString)
                onDebugString(*this, line);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            status = OnException(ev);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = ev.u.ExitProcess.dwExitCode;
            exited = true;
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
    }

    if (!exited)
        failure = "the program did not end after it was terminated";
    else if (timedOut)
        failure = "the program did not end within " + std::to_string(ms) + " ms and was terminated";
    if (exited)
        GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    m_hProcess = NULL;
    return exited && !timedOut && failure.empty();
}
