/*
 * kivbench's helpers: the table's rows, clocks, what the system reports
 * of another process, and the servers of the agent protocol.
 */
#include "bench.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <stdarg.h>
#include <stdio.h>
#include <algorithm>

#include "agentproto.h"

/* Column widths; tools/bench.sh prints the header with the same. */
#define BENCH_WHAT_WIDTH   54
#define BENCH_RESULT_WIDTH 34
#define BENCH_GOAL_WIDTH   10

static int g_failedRows;

void Row(const std::string &what, const std::string &result, const std::string &goal, const std::string &verdict)
{
    printf("%-*s %-*s %-*s %s\n", BENCH_WHAT_WIDTH, what.c_str(), BENCH_RESULT_WIDTH, result.c_str(),
           BENCH_GOAL_WIDTH, goal.c_str(), verdict.c_str());
    fflush(stdout);
}

void FailedRow(const std::string &what, const std::string &why)
{
    Row(what, "not measured: " + why, "", "FAILED");
    g_failedRows++;
}

int FailedRows()
{
    return g_failedRows;
}

std::string Format(const char *pszFormat, ...)
{
    char sz[512];
    va_list args;

    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

std::string Verdict(bool met)
{
    return met ? "met" : "NOT MET";
}

double NowSeconds()
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return (double)now.QuadPart / (double)freq.QuadPart;
}

double Median(std::vector<double> values)
{
    size_t n = values.size();
    if (n == 0)
        return 0;
    std::sort(values.begin(), values.end());
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Lowest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Highest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

static ULONGLONG Ticks(const FILETIME &ft)
{
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

/*
 * Wine 8 answers GetProcessTimes on another process with the caller's own
 * times, so the process's CPU time is added up from its threads' times,
 * which are its own.  A thread that ended takes its time with it; the
 * programs measured here run one thread.
 */
ULONGLONG ProcessCpu(HANDLE hProcess)
{
    DWORD pid = GetProcessId(hProcess);
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te;
    ULONGLONG total = 0;

    if (hSnapshot == INVALID_HANDLE_VALUE)
        return 0;
    te.dwSize = sizeof(te);
    for (BOOL more = Thread32First(hSnapshot, &te); more; more = Thread32Next(hSnapshot, &te)) {
        if (te.th32OwnerProcessID != pid)
            continue;
        HANDLE hThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID);
        FILETIME created, exited, kernel, user;
        if (hThread && GetThreadTimes(hThread, &created, &exited, &kernel, &user))
            total += Ticks(kernel) + Ticks(user);
        if (hThread)
            CloseHandle(hThread);
    }
    CloseHandle(hSnapshot);
    return total;
}

/*
 * GetProcessHandleCount answers 0 under Wine, so the handles are counted
 * in the system's handle table (NtQuerySystemInformation, class 16), whose
 * entries name their owner's process id.  Where that class is refused,
 * every handle value of the process's table is tried with DuplicateHandle:
 * a value that duplicates is an open handle.
 */
#define BENCH_SYSTEM_HANDLE_INFORMATION 16
#define BENCH_STATUS_INFO_LENGTH_MISMATCH ((LONG)0xC0000004)
#define BENCH_MAX_HANDLE_VALUE 0x10000

typedef struct {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ACCESS_MASK AccessMask;
} BENCH_HANDLE_ENTRY;

typedef struct {
    ULONG Count;
    BENCH_HANDLE_ENTRY Handle[1];
} BENCH_HANDLE_TABLE;

typedef LONG(WINAPI *NTQUERYSYSTEMINFORMATION)(ULONG, PVOID, ULONG, PULONG);

static long HandlesInSystemTable(DWORD pid)
{
    NTQUERYSYSTEMINFORMATION pfnQuery =
        (NTQUERYSYSTEMINFORMATION)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    std::vector<BYTE> buffer(1 << 16);
    ULONG cbNeeded = 0;
    LONG status;

    if (!pfnQuery)
        return -1;
    for (;;) {
        status = pfnQuery(BENCH_SYSTEM_HANDLE_INFORMATION, buffer.data(), (ULONG)buffer.size(), &cbNeeded);
        if (status != BENCH_STATUS_INFO_LENGTH_MISMATCH || buffer.size() >= (1u << 26))
            break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, cbNeeded + 4096));
    }
    if (status != 0)
        return -1;
    const BENCH_HANDLE_TABLE *pTable = (const BENCH_HANDLE_TABLE *)buffer.data();
    size_t room = (buffer.size() - offsetof(BENCH_HANDLE_TABLE, Handle)) / sizeof(BENCH_HANDLE_ENTRY);
    long count = 0;
    for (ULONG i = 0; i < pTable->Count && i < room; i++)
        if (pTable->Handle[i].OwnerPid == pid)
            count++;
    return count;
}

static long HandlesByDuplicating(HANDLE hProcess)
{
    long count = 0;
    for (ULONG_PTR value = 4; value < BENCH_MAX_HANDLE_VALUE; value += 4) {
        HANDLE hCopy = NULL;
        if (DuplicateHandle(hProcess, (HANDLE)value, GetCurrentProcess(), &hCopy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(hCopy);
            count++;
        }
    }
    return count;
}

long ProcessHandles(HANDLE hProcess, const char **ppMethod)
{
    DWORD count = 0;
    long counted;

    if (GetProcessHandleCount(hProcess, &count) && count != 0) {
        *ppMethod = "GetProcessHandleCount";
        return (long)count;
    }
    counted = HandlesInSystemTable(GetProcessId(hProcess));
    if (counted > 0) {
        *ppMethod = "system handle table";
        return counted;
    }
    *ppMethod = "handle values that duplicate";
    return HandlesByDuplicating(hProcess);
}

SIZE_T ProcessPrivateBytes(HANDLE hProcess)
{
    PROCESS_MEMORY_COUNTERS_EX pmc;

    ZeroMemory(&pmc, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(hProcess, (PROCESS_MEMORY_COUNTERS *)&pmc, sizeof(pmc)))
        return 0;
    return pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage;
}

HANDLE StartServer(const std::wstring &cmdline)
{
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    HANDLE hProcess;
    bool ready;

    if (!hReady)
        return NULL;
    hProcess = Launch(cmdline);
    ready = hProcess && WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS) == WAIT_OBJECT_0;
    CloseHandle(hReady);
    if (!ready && hProcess) {
        EndServer(hProcess);
        hProcess = NULL;
    }
    return hProcess;
}

void EndServer(HANDLE hServer)
{
    TerminateProcess(hServer, 0);
    WaitForSingleObject(hServer, KIV_TEST_DEADLINE_MS);
    CloseHandle(hServer);
    /* The next server refuses to serve while the instance mutex of this
     * one is still there: wait until the system has let go of it. */
    WaitFor([] {
        HANDLE hMutex = OpenMutexW(SYNCHRONIZE, FALSE, KIV_AGENT_INSTANCE_NAME);
        if (hMutex)
            CloseHandle(hMutex);
        return hMutex == NULL;
    });
}

std::wstring OurAgentCommand()
{
    return L"\"" + BinPath(L"kivprt.exe") + L"\"" KIV_AGENT_LAUNCH_ARGS;
}

std::wstring ReferenceCommand()
{
    return L"\"" + BinPath(L"ref\\kivprt.exe") + L"\"";
}

bool MakeFile(const std::wstring &path, ULONGLONG cb)
{
    std::vector<BYTE> chunk(1 << 20);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ULONGLONG done = 0;
    bool ok = h != INVALID_HANDLE_VALUE;

    for (DWORD n = 0; ok && done < cb; n++) {
        DWORD cbChunk = (DWORD)std::min<ULONGLONG>(chunk.size(), cb - done), written = 0;
        for (size_t i = 0; i < chunk.size(); i++)
            chunk[i] = (BYTE)(i * 31 + n * 7);
        ok = WriteFile(h, chunk.data(), cbChunk, &written, NULL) && written == cbChunk;
        done += written;
    }
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

ULONGLONG FileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}
