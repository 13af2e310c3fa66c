/*
 * Helpers shared by the common library's tests: the folders the library
 * uses, records as byte images, calls that may block run on a thread of
 * their own with a deadline, and the client helper program.
 */
#ifndef KIV_TEST_COMMON_UTIL_H
#define KIV_TEST_COMMON_UTIL_H

#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <functional>
#include <string>
#include <vector>
#include <string.h>

#include "testsupport.h"
#include "kivcfg.h"

/* What a set pointer slot of the record holds (kivarch.h): its text's
 * address in 32-bit code, the text's offset in the record in 64-bit code.
 * The one place where these tests ask which build they test. */
static inline DWORD SlotValue(WCHAR *, const KIVPRINTERCFG &, const WCHAR *pszText)
{
    return (DWORD)(UINT_PTR)pszText;
}

static inline DWORD SlotValue(DWORD, const KIVPRINTERCFG &cfg, const WCHAR *pszText)
{
    return (DWORD)((const BYTE *)pszText - (const BYTE *)&cfg);
}

/* The 4 bytes a set slot stores for the text. */
static inline DWORD ExpectedSlot(const KIVPRINTERCFG &cfg, const WCHAR *pszText)
{
    return SlotValue(cfg.pszInitialPath, cfg, pszText);
}

/* Both slots hold what the library sets them to. */
static inline bool SlotsSet(const KIVPRINTERCFG &cfg)
{
    DWORD dwInitialPath, dwFileName;
    memcpy(&dwInitialPath, (const BYTE *)&cfg + offsetof(KIVPRINTERCFG, pszInitialPath), 4);
    memcpy(&dwFileName, (const BYTE *)&cfg + offsetof(KIVPRINTERCFG, pszFileName), 4);
    return dwInitialPath == ExpectedSlot(cfg, cfg.szInitialPath) &&
           dwFileName == ExpectedSlot(cfg, cfg.szFileName);
}

/* Garbage in a slot, as a file written by another process holds it. */
#define GARBAGE_SLOT(v) ((KIVTEXTSLOT)(UINT_PTR)(v))

/* Program Files and the system folder, asked for in other ways than the
 * library asks. */
static inline std::wstring ProgramFilesFolder()
{
    wchar_t sz[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, sz)))
        return L"";
    return sz;
}

static inline std::wstring InstallFolder()
{
    std::wstring pf = ProgramFilesFolder();
    if (!pf.empty() && pf.back() != L'\\')
        pf += L'\\';
    return pf + L"KivImagePrinter30";
}

static inline std::wstring SystemFolder()
{
    wchar_t sz[MAX_PATH] = L"";
    UINT n = GetSystemDirectoryW(sz, MAX_PATH);
    std::wstring s(sz, n < MAX_PATH ? n : 0);
    if (!s.empty() && s.back() != L'\\')
        s += L'\\';
    return s;
}

/* Names of the files in a folder that match a pattern ("*.tmp"). */
static inline std::vector<std::wstring> ListFiles(const std::wstring &folder, const std::wstring &pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    std::wstring spec = folder;
    if (!spec.empty() && spec.back() != L'\\')
        spec += L'\\';
    HANDLE h = FindFirstFileW((spec + pattern).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

static inline std::string RecordBytes(const KIVPRINTERCFG &cfg)
{
    return std::string((const char *)&cfg, sizeof(cfg));
}

static inline KIVPRINTERCFG RecordFromBytes(const std::string &bytes)
{
    KIVPRINTERCFG cfg;
    memset(&cfg, 0, sizeof(cfg));
    memcpy(&cfg, bytes.data(), bytes.size() < sizeof(cfg) ? bytes.size() : sizeof(cfg));
    return cfg;
}

/* First offset where two records differ, -1 when none. */
static inline int FirstDifference(const void *a, const void *b, size_t cb)
{
    const unsigned char *pa = (const unsigned char *)a, *pb = (const unsigned char *)b;
    for (size_t i = 0; i < cb; i++) {
        if (pa[i] != pb[i])
            return (int)i;
    }
    return -1;
}

/* A well-formed record: the defaults over a pattern. */
static inline KIVPRINTERCFG DefaultRecord(unsigned char pattern = 0)
{
    KIVPRINTERCFG cfg;
    memset(&cfg, pattern, sizeof(cfg));
    SetDefaultCfgData(&cfg);
    return cfg;
}

/* A text area holds a terminator. */
static inline bool IsTerminated(const WCHAR *pszArea, size_t cUnits)
{
    for (size_t i = 0; i < cUnits; i++) {
        if (pszArea[i] == 0)
            return true;
    }
    return false;
}

/*
 * A call that may block, on a thread of its own.  Wait() waits for it with
 * a deadline; a call that never returns leaves its thread behind (the
 * process ends it).
 */
class AsyncCall {
public:
    explicit AsyncCall(std::function<int()> fn) : m_fn(fn), m_result(-12345), m_hThread(NULL)
    {
        m_hThread = CreateThread(NULL, 0, Run, this, 0, NULL);
    }
    ~AsyncCall()
    {
        if (m_hThread) {
            if (WaitForSingleObject(m_hThread, KIV_TEST_DEADLINE_MS) == WAIT_OBJECT_0)
                CloseHandle(m_hThread);
            /* else: still blocked; leave it (and this object's memory) to process end */
        }
    }
    bool Started() const { return m_hThread != NULL; }
    bool Wait(DWORD ms = KIV_TEST_DEADLINE_MS)
    {
        return m_hThread && WaitForSingleObject(m_hThread, ms) == WAIT_OBJECT_0;
    }
    bool Finished() const { return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_OBJECT_0; }
    int Result() const { return m_result; }

private:
    static DWORD WINAPI Run(void *p)
    {
        AsyncCall *self = (AsyncCall *)p;
        self->m_result = self->m_fn();
        return 0;
    }
    std::function<int()> m_fn;
    volatile int m_result;
    HANDLE m_hThread;
};

/* Number of running processes with this program file name. */
static inline int CountProcesses(const wchar_t *pszExe)
{
    int n = 0;
    PROCESSENTRY32W pe;
    HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    pe.dwSize = sizeof(pe);
    for (BOOL ok = Process32FirstW(h, &pe); ok; ok = Process32NextW(h, &pe)) {
        if (_wcsicmp(pe.szExeFile, pszExe) == 0)
            n++;
    }
    CloseHandle(h);
    return n;
}

/* Runs the client helper with the arguments and returns its exit code
 * (-1 when it did not end in time). */
static inline int RunClientHelper(const std::wstring &args, DWORD ms = KIV_TEST_DEADLINE_MS)
{
    DWORD code = (DWORD)-1;
    HANDLE h = Launch(L"\"" + BinPath(L"kivclienthelper.exe") + L"\" " + args);
    if (!h)
        return -1;
    if (!WaitExit(h, ms, &code)) {
        TerminateProcess(h, 99);
        code = (DWORD)-1;
    }
    CloseHandle(h);
    return (int)code;
}

#endif /* KIV_TEST_COMMON_UTIL_H */
