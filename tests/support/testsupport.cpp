/*
 * Helpers for the tests; see testsupport.h.
 */
#include "testsupport.h"
#include <winternl.h>

#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <winspool.h>

std::wstring BinDir()
{
    wchar_t szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameW(NULL, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return L"";
    std::wstring path(szPath, cch);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring BinPath(const std::wstring &name)
{
    return BinDir() + L"\\" + name;
}

bool SetProcessSession(HANDLE hProcess, DWORD sessionId)
{
    typedef LONG(NTAPI * QUERYPROC)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QUERYPROC query = (QUERYPROC)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                        "NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION info;
    /* Wine keeps the session id in the PEB, where Windows has it too. */
    const SIZE_T offset = sizeof(void *) == 8 ? 0x2C0 : 0x1D4;

    return query && query(hProcess, ProcessBasicInformation, &info, sizeof(info), NULL) >= 0 &&
           WriteProcessMemory(hProcess, (BYTE *)info.PebBaseAddress + offset, &sessionId, sizeof(sessionId),
                              NULL);
}

HANDLE Launch(const std::wstring &cmdline, DWORD sessionId)
{
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    DWORD flags = sessionId == KIV_OWN_SESSION ? 0 : CREATE_SUSPENDED;
    buf.push_back(0);

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    /* Wine now and then refuses a start with ERROR_INTERNAL_ERROR, once. */
    bool started = CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE, flags, NULL, NULL, &si, &pi) ||
                   (GetLastError() == ERROR_INTERNAL_ERROR &&
                    CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE, flags, NULL, NULL, &si, &pi));
    if (!started)
        return NULL;
    if (flags && (!SetProcessSession(pi.hProcess, sessionId) || ResumeThread(pi.hThread) == (DWORD)-1)) {
        TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hProcess);
        pi.hProcess = NULL;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool WaitExit(HANDLE hProcess, DWORD ms, DWORD *pExitCode)
{
    if (!hProcess || WaitForSingleObject(hProcess, ms) != WAIT_OBJECT_0)
        return false;
    if (pExitCode && !GetExitCodeProcess(hProcess, pExitCode))
        return false;
    return true;
}

bool WaitFor(const std::function<bool()> &pred, DWORD ms, DWORD pollMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (pred())
            return true;
        if (GetTickCount() - start > ms)
            return pred();
        Sleep(pollMs);
    }
}

bool RegGetString(HKEY hRoot, const char *pszKey, const char *pszName, std::string *pOut, DWORD *pType)
{
    HKEY hKey;
    char buf[4096];
    DWORD cb = sizeof(buf) - 1, type = 0;
    bool ok = false;

    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    if (RegQueryValueExA(hKey, pszName, NULL, &type, (BYTE *)buf, &cb) == ERROR_SUCCESS) {
        buf[cb] = 0;
        if (pOut)
            *pOut = std::string(buf, (type == REG_SZ && cb && !buf[cb - 1]) ? cb - 1 : cb);
        if (pType)
            *pType = type;
        ok = true;
    }
    RegCloseKey(hKey);
    return ok;
}

bool RegSetString(HKEY hRoot, const char *pszKey, const char *pszName, const std::string &value)
{
    HKEY hKey;
    bool ok;
    if (RegCreateKeyExA(hRoot, pszKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS)
        return false;
    ok = RegSetValueExA(hKey, pszName, 0, REG_SZ, (const BYTE *)value.c_str(), (DWORD)value.size() + 1) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return ok;
}

bool RegDeleteValueIn(HKEY hRoot, const char *pszKey, const char *pszName)
{
    HKEY hKey;
    bool ok;
    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    ok = RegDeleteValueA(hKey, pszName) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return ok;
}

bool WriteWholeFile(const std::wstring &path, const std::string &data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    bool ok;
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ok = WriteFile(h, data.data(), (DWORD)data.size(), &written, NULL) && written == data.size();
    CloseHandle(h);
    return ok;
}

bool ReadWholeFile(const std::wstring &path, std::string *pData)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    char buf[65536];
    DWORD got;
    if (h == INVALID_HANDLE_VALUE)
        return false;
    pData->clear();
    while (ReadFile(h, buf, sizeof(buf), &got, NULL) && got)
        pData->append(buf, got);
    CloseHandle(h);
    return true;
}

bool PathIsFile(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathIsFolder(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Widen(const std::string &s)
{
    if (s.empty())
        return L"";
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0);
    std::wstring w(n, 0);
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

std::string Narrow(const std::wstring &w)
{
    if (w.empty())
        return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string s(n, 0);
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, NULL, NULL);
    return s;
}

std::wstring SystemDir()
{
    wchar_t szFolder[MAX_PATH];
    UINT cch = GetSystemDirectoryW(szFolder, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return L"";
    return szFolder;
}

std::wstring InstallDir()
{
    wchar_t szFolder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_PROGRAM_FILES, FALSE))
        return L"";
    return std::wstring(szFolder) + L"\\KivImagePrinter30";
}

bool AddLocalPort(const std::wstring &port)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, SERVER_ACCESS_ADMINISTER };
    HANDLE hXcv = NULL;
    BYTE output[100];
    DWORD cbNeeded = 0, status = 0xdeadbeef;
    BOOL ok;

    if (!OpenPrinterW((LPWSTR)L",XcvMonitor Local Port", &hXcv, &defaults))
        return false;
    ok = XcvDataW(hXcv, L"AddPort", (BYTE *)port.c_str(), (DWORD)(port.size() + 1) * sizeof(WCHAR), output,
                  sizeof(output), &cbNeeded, &status);
    ClosePrinter(hXcv);
    return ok && (status == ERROR_SUCCESS || status == ERROR_ALREADY_EXISTS);
}

bool EventExists(const wchar_t *pszName)
{
    HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pszName);
    if (!h)
        return false;
    CloseHandle(h);
    return true;
}

bool MutexExists(const wchar_t *pszName)
{
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, pszName);
    if (!h)
        return false;
    CloseHandle(h);
    return true;
}

bool EventSignalled(const wchar_t *pszName)
{
    HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pszName);
    bool signalled;
    if (!h)
        return false;
    signalled = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return signalled;
}

bool RawAgentClient::Attach()
{
    hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                  sizeof(AGENTBLOCK), KIV_AGENT_MEM_NAME);
    if (!hMapping)
        return false;
    pBlock = (AGENTBLOCK *)MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(AGENTBLOCK));
    hExec = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_EXEC_NAME);
    hDone = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_DONE_NAME);
    return pBlock && hExec && hDone;
}

void RawAgentClient::Detach()
{
    if (hDone)
        CloseHandle(hDone);
    if (hExec)
        CloseHandle(hExec);
    if (pBlock)
        UnmapViewOfFile(pBlock);
    if (hMapping)
        CloseHandle(hMapping);
    hDone = hExec = hMapping = NULL;
    pBlock = NULL;
}

static void PutPath(WCHAR *pField, const wchar_t *pszPath)
{
    size_t cch = wcslen(pszPath);
    if (cch > KIV_AGENT_MAX_PATH_LEN)
        cch = KIV_AGENT_MAX_PATH_LEN;
    memcpy(pField, pszPath, cch * sizeof(WCHAR));
    pField[cch] = 0;
}

bool RawAgentClient::Send(LONG lCommand, const wchar_t *pszPath1, const wchar_t *pszPath2, DWORD ms)
{
    pBlock->lCommand = lCommand;
    if (pszPath1)
        PutPath(pBlock->szPath1, pszPath1);
    if (pszPath2)
        PutPath(pBlock->szPath2, pszPath2);
    SetEvent(hExec);
    return WaitForSingleObject(hDone, ms) == WAIT_OBJECT_0;
}

bool AgentProcess::Start(const std::wstring &args, bool waitReady, const std::wstring &program)
{
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_SYNC_NAME);
    bool ok = false;

    hProcess = Launch(L"\"" + BinPath(program) + L"\"" + args);
    if (hProcess && hReady)
        ok = !waitReady || WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS) == WAIT_OBJECT_0;
    if (hReady)
        CloseHandle(hReady);
    return ok;
}

bool AgentProcess::Stop(DWORD *pExitCode)
{
    DWORD code;
    if (!RunAgentToEnd(L"  -stop", &code))
        return false;
    return WaitExit(hProcess, KIV_TEST_DEADLINE_MS, pExitCode);
}

AgentProcess::~AgentProcess()
{
    if (hProcess) {
        if (WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(hProcess, 99);
        CloseHandle(hProcess);
    }
}

bool RunAgentToEnd(const std::wstring &args, DWORD *pExitCode)
{
    HANDLE h = Launch(L"\"" + BinPath(L"kivprt.exe") + L"\"" + args);
    bool ended = WaitExit(h, KIV_TEST_DEADLINE_MS, pExitCode);
    if (h) {
        if (!ended)
            TerminateProcess(h, 99);
        CloseHandle(h);
    }
    return ended;
}

bool DialogHelper::Start(const std::string &press, int count, DWORD timeoutMs)
{
    wchar_t szTemp[MAX_PATH], szFile[MAX_PATH];
    wchar_t szEvent[64];
    HANDLE hReady;
    bool ok;

    GetTempPathW(MAX_PATH, szTemp);
    GetTempFileNameW(szTemp, L"dlg", 0, szFile);
    logPath = szFile;
    DeleteFileW(szFile);
    swprintf(szEvent, 64, L"KivDlgHelperReady%lu", GetCurrentProcessId());
    hReady = CreateEventW(NULL, TRUE, FALSE, szEvent);
    std::wstring cmd = L"\"" + BinPath(L"dlghelper.exe") + L"\" \"" + logPath + L"\" --count " +
                       std::to_wstring(count) + L" --timeout " + std::to_wstring(timeoutMs) +
                       L" --ready " + szEvent;
    if (!press.empty())
        cmd += L" --press " + Widen(press);
    hProcess = Launch(cmd);
    ok = hProcess && WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS) == WAIT_OBJECT_0;
    CloseHandle(hReady);
    return ok;
}

bool DialogHelper::Finish()
{
    DWORD code = 1;
    bool ended = WaitExit(hProcess, KIV_TEST_DEADLINE_MS * 3, &code);
    return ended && code == 0;
}

static std::string Unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

static std::vector<std::string> Split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::vector<DialogRecord> DialogHelper::Records() const
{
    std::vector<DialogRecord> records;
    std::string data;
    if (!ReadWholeFile(logPath, &data))
        return records;
    for (const std::string &line : Split(data, '\n')) {
        if (line.empty())
            continue;
        std::vector<std::string> f = Split(line, '\t');
        if (f.size() != 4)
            continue;
        DialogRecord r;
        r.caption = Unescape(f[0]);
        r.text = Unescape(f[1]);
        if (!f[2].empty()) {
            for (const std::string &b : Split(f[2], ';')) {
                size_t eq = b.find('=');
                if (eq == std::string::npos)
                    continue;
                std::string id = b.substr(0, eq);
                bool isDefault = !id.empty() && id[0] == '*';
                int n = atoi(id.c_str() + (isDefault ? 1 : 0));
                if (isDefault)
                    r.defaultId = n;
                r.buttons.push_back({n, Unescape(b.substr(eq + 1))});
            }
        }
        r.pressed = atoi(f[3].c_str());
        records.push_back(r);
    }
    return records;
}

DialogHelper::~DialogHelper()
{
    if (hProcess) {
        if (WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(hProcess, 99);
        CloseHandle(hProcess);
    }
    if (!logPath.empty())
        DeleteFileW(logPath.c_str());
}
