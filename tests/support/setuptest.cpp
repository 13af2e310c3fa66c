/*
 * Helpers for the setup tests; see setuptest.h.
 */
#include "setuptest.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <winspool.h>

/* After kivsetup ended, the dialog helper has answered every message box
 * it showed; this is only the time the helper needs to notice and end. */
#define KIV_HELPER_END_MS 10000

std::wstring StageDir()
{
    return BinDir() + L"\\..\\stage";
}

std::wstring StandInTrayPath()
{
    return BinDir() + L"\\..\\standin\\kivtray.exe";
}

bool PrepareSetupFolder(const std::wstring &dir, const std::vector<std::wstring> &skip)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind;
    int copied = 0;
    bool ok = true;

    CreateDirectoryW(dir.c_str(), NULL);
    hFind = FindFirstFileW((StageDir() + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        bool skipped = false;
        for (const std::wstring &s : skip)
            if (lstrcmpiW(s.c_str(), fd.cFileName) == 0)
                skipped = true;
        if (skipped)
            continue;
        if (!CopyFileW((StageDir() + L"\\" + fd.cFileName).c_str(), (dir + L"\\" + fd.cFileName).c_str(), FALSE))
            ok = false;
        copied++;
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return ok && copied > 0;
}

bool WriteOptionsFile(const std::string &content, const std::wstring &dir)
{
    return WriteWholeFile(dir + L"\\qprinter.ini", content);
}

struct DialogSearch {
    DWORD processId;
    std::vector<WindowSnapshot> found;
};

static std::string WindowText(HWND hwnd)
{
    WCHAR sz[2048];
    sz[0] = 0;
    InternalGetWindowText(hwnd, sz, 2048);
    return Narrow(sz);
}

static BOOL CALLBACK CollectProcessDialog(HWND hwnd, LPARAM lParam)
{
    DialogSearch *pSearch = (DialogSearch *)lParam;
    DWORD pid = 0;
    WCHAR szClass[64];

    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != pSearch->processId)
        return TRUE;
    if (!GetClassNameW(hwnd, szClass, 64) || lstrcmpW(szClass, L"#32770") != 0)
        return TRUE;
    WindowSnapshot w;
    w.caption = WindowText(hwnd);
    HWND hStatic = GetDlgItem(hwnd, 0xFFFF);
    if (hStatic)
        w.staticText = WindowText(hStatic);
    w.style = GetWindowLongW(hwnd, GWL_STYLE);
    w.exStyle = GetWindowLongW(hwnd, GWL_EXSTYLE);
    w.visible = IsWindowVisible(hwnd) != FALSE;
    pSearch->found.push_back(w);
    return TRUE;
}

std::vector<WindowSnapshot> DialogsOfProcess(DWORD processId)
{
    DialogSearch search;
    search.processId = processId;
    EnumWindows(CollectProcessDialog, (LPARAM)&search);
    return search.found;
}

static void CaptureForm(DebugRun &run, const DWORD *args, SetupRunResult *pResult)
{
    FormCall f;
    DWORD form[8] = { 0 };   /* FORM_INFO_1W: Flags, pName, Size, ImageableArea */

    f.hPrinter = args[0];
    f.level = args[1];
    if (run.Read(args[2], form, sizeof(form))) {
        f.flags = form[0];
        f.name = run.ReadWString(form[1]);
        f.cx = (LONG)form[2];
        f.cy = (LONG)form[3];
        f.left = (LONG)form[4];
        f.top = (LONG)form[5];
        f.right = (LONG)form[6];
        f.bottom = (LONG)form[7];
    }
    pResult->forms.push_back(f);
}

static void CaptureDriver(DebugRun &run, const DWORD *args, SetupRunResult *pResult)
{
    DriverCall &d = pResult->driver;
    DWORD info[10] = { 0 };  /* DRIVER_INFO_3W */

    d.made = true;
    d.serverName = args[0];
    d.level = args[1];
    d.copyFlags = args[3];
    if (!run.Read(args[2], info, sizeof(info)))
        return;
    d.cVersion = info[0];
    d.name = run.ReadWString(info[1]);
    d.environment = run.ReadWString(info[2]);
    d.driverPath = run.ReadWString(info[3]);
    d.dataFile = run.ReadWString(info[4]);
    d.configFile = run.ReadWString(info[5]);
    d.helpFile = run.ReadWString(info[6]);
    d.dependentFiles = run.ReadMultiString(info[7]);
    d.monitorName = run.ReadWString(info[8]);
    d.defaultDataType = run.ReadWString(info[9]);
}

static void CapturePrinter(DebugRun &run, const DWORD *args, SetupRunResult *pResult)
{
    PrinterCall &p = pResult->printer;
    DWORD info[21] = { 0 };  /* PRINTER_INFO_2W */

    p.made = true;
    p.serverName = args[0];
    p.level = args[1];
    if (!run.Read(args[2], info, sizeof(info)))
        return;
    p.serverField = run.ReadWString(info[0]);
    p.printerName = run.ReadWString(info[1]);
    p.shareName = run.ReadWString(info[2]);
    p.portName = run.ReadWString(info[3]);
    p.driverName = run.ReadWString(info[4]);
    p.comment = run.ReadWString(info[5]);
    p.location = run.ReadWString(info[6]);
    p.devMode = info[7];
    p.sepFile = run.ReadWString(info[8]);
    p.printProcessor = run.ReadWString(info[9]);
    p.datatype = run.ReadWString(info[10]);
    p.parameters = run.ReadWString(info[11]);
    p.securityDescriptor = info[12];
    p.attributes = info[13];
    p.priority = info[14];
    p.defaultPriority = info[15];
    p.startTime = info[16];
    p.untilTime = info[17];
    p.status = info[18];
    p.cJobs = info[19];
    p.averagePPM = info[20];
}

static void CaptureXcv(DebugRun &run, const DWORD *args, SetupRunResult *pResult)
{
    XcvCall &x = pResult->xcv;

    x.made = true;
    x.dataName = run.ReadWString(args[1]);
    x.cbInput = args[3];
    x.input = run.ReadWString(args[2], args[3] / sizeof(WCHAR));
    x.cbOutput = args[5];
}

static void CaptureOpenPrinter(DebugRun &run, const DWORD *args, SetupRunResult *pResult)
{
    OpenPrinterCall o;
    DWORD defaults[3] = { 0 };   /* PRINTER_DEFAULTSW: pDatatype, pDevMode, DesiredAccess */

    o.name = run.ReadWString(args[0]);
    if (args[2] && run.Read(args[2], defaults, sizeof(defaults))) {
        o.defaults = true;
        o.datatype = defaults[0];
        o.devMode = defaults[1];
        o.access = defaults[2];
    }
    pResult->openPrinters.push_back(o);
}

static CallHook MakeHook(const char *pszFunction, int cArgs,
                         std::function<void(DebugRun &, const DWORD *)> onCall)
{
    CallHook h;
    h.dll = "winspool.drv";
    h.function = pszFunction;
    h.cArgs = cArgs;
    h.onCall = onCall;
    return h;
}

SetupRunResult RunSetup(const SetupRunOptions &opt)
{
    SetupRunResult result;
    SetupRunResult *pResult = &result;
    DialogHelper helper;
    DebugRun run;
    bool firstTrace = true;

    if (!helper.Start(opt.press, opt.dialogs > 0 ? opt.dialogs : 1, KIV_SETUP_RUN_MS)) {
        result.failure = "the dialog helper did not start";
        return result;
    }

    run.hooks.push_back(MakeHook("AddFormW", 3, [pResult](DebugRun &r, const DWORD *a) { CaptureForm(r, a, pResult); }));
    run.hooks.push_back(MakeHook("AddPrinterDriverExW", 4, [pResult](DebugRun &r, const DWORD *a) { CaptureDriver(r, a, pResult); }));
    run.hooks.push_back(MakeHook("AddPrinterW", 3, [pResult](DebugRun &r, const DWORD *a) { CapturePrinter(r, a, pResult); }));
    run.hooks.push_back(MakeHook("XcvDataW", 8, [pResult](DebugRun &r, const DWORD *a) { CaptureXcv(r, a, pResult); }));
    run.hooks.push_back(MakeHook("DeletePrinter", 1, nullptr));
    run.hooks.push_back(MakeHook("OpenPrinterW", 3, [pResult](DebugRun &r, const DWORD *a) { CaptureOpenPrinter(r, a, pResult); }));
    for (const SetupRunOptions::Failure &f : opt.fail) {
        CallHook *pHook = run.Hook(f.function);
        if (!pHook) {
            result.failure = "no hook for " + f.function;
            return result;
        }
        pHook->fail = true;
        pHook->dwError = f.error;
        pHook->failIf = f.when;
    }
    run.onDebugString = [&](DebugRun &r, const std::string &line) {
        if (firstTrace) {
            firstTrace = false;
            result.dialogsAtStart = DialogsOfProcess(r.processId);
        }
        if (opt.onTrace)
            opt.onTrace(line, r.processId);
    };

    result.ran = run.Run(L"\"" + opt.dir + L"\\kivsetup.exe\"", opt.dir, KIV_SETUP_RUN_MS);
    result.failure = run.failure;
    result.exitCode = run.exitCode;
    result.trace = run.debugLines;
    result.deletePrinterCalls = run.Hook("DeletePrinter")->cCalls;

    /* Every message box kivsetup showed was answered before it could end,
     * so the helper is done (or, when none was expected, idle). */
    if (opt.dialogs > 0) {
        DWORD code = 1;
        if (!WaitExit(helper.hProcess, KIV_HELPER_END_MS, &code) || code != 0)
            result.failure += (result.failure.empty() ? "" : "; ") + std::string("the dialog helper answered fewer than ") +
                              std::to_string(opt.dialogs) + " message boxes";
    }
    if (WaitForSingleObject(helper.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(helper.hProcess, 0);
        WaitForSingleObject(helper.hProcess, KIV_HELPER_END_MS);
    }
    for (const DialogRecord &d : helper.Records())
        if (!d.buttons.empty())
            result.dialogs.push_back(d);
    return result;
}

std::wstring DriverDir()
{
    WCHAR sz[MAX_PATH] = L"";
    DWORD cb = 0;
    GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)sz, sizeof(sz), &cb);
    return sz;
}

/* The two-call protocol, for the test's own reading of the spooler. */
static bool EnumBlock(const std::function<BOOL(BYTE *, DWORD, DWORD *, DWORD *)> &call,
                      std::vector<BYTE> *pBlock, DWORD *pCount)
{
    DWORD cbNeeded = 0, count = 0;
    if (call(NULL, 0, &cbNeeded, &count)) {
        pBlock->assign(1, 0);
        *pCount = count;
        return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    pBlock->assign(cbNeeded, 0);
    if (!call(pBlock->data(), cbNeeded, &cbNeeded, &count))
        return false;
    *pCount = count;
    return true;
}

std::vector<std::wstring> LocalPrinterNames()
{
    std::vector<std::wstring> names;
    std::vector<BYTE> block;
    DWORD count = 0;
    if (!EnumBlock([](BYTE *p, DWORD cb, DWORD *pNeeded, DWORD *pCount) {
            return EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 4, p, cb, pNeeded, pCount);
        }, &block, &count))
        return names;
    const PRINTER_INFO_4W *pInfo = (const PRINTER_INFO_4W *)block.data();
    for (DWORD i = 0; i < count; i++)
        names.push_back(pInfo[i].pPrinterName ? pInfo[i].pPrinterName : L"");
    return names;
}

std::vector<std::wstring> LocalPortNames()
{
    std::vector<std::wstring> names;
    std::vector<BYTE> block;
    DWORD count = 0;
    if (!EnumBlock([](BYTE *p, DWORD cb, DWORD *pNeeded, DWORD *pCount) {
            return EnumPortsW(NULL, 1, p, cb, pNeeded, pCount);
        }, &block, &count))
        return names;
    const PORT_INFO_1W *pInfo = (const PORT_INFO_1W *)block.data();
    for (DWORD i = 0; i < count; i++)
        names.push_back(pInfo[i].pName ? pInfo[i].pName : L"");
    return names;
}

bool GetKivDriver(DRIVER_INFO_3W **ppInfo, std::vector<BYTE> *pBlock)
{
    DWORD count = 0;
    *ppInfo = NULL;
    if (!EnumBlock([](BYTE *p, DWORD cb, DWORD *pNeeded, DWORD *pCount) {
            WCHAR szEnv[] = L"Windows NT x86";
            return EnumPrinterDriversW(NULL, szEnv, 3, p, cb, pNeeded, pCount);
        }, pBlock, &count))
        return false;
    DRIVER_INFO_3W *pInfo = (DRIVER_INFO_3W *)pBlock->data();
    for (DWORD i = 0; i < count; i++)
        if (pInfo[i].pName && lstrcmpW(pInfo[i].pName, L"Kiv Image Printer") == 0)
            *ppInfo = &pInfo[i];
    return *ppInfo != NULL;
}

bool GetPrinterInfo2(const std::wstring &name, std::vector<BYTE> *pBlock)
{
    std::vector<WCHAR> szName(name.begin(), name.end());
    HANDLE hPrinter = NULL;
    DWORD cbNeeded = 0;
    bool ok = false;

    szName.push_back(0);
    if (!OpenPrinterW(szName.data(), &hPrinter, NULL))
        return false;
    GetPrinterW(hPrinter, 2, NULL, 0, &cbNeeded);
    if (cbNeeded) {
        pBlock->assign(cbNeeded, 0);
        ok = GetPrinterW(hPrinter, 2, pBlock->data(), cbNeeded, &cbNeeded) != FALSE;
    }
    ClosePrinter(hPrinter);
    return ok;
}

bool RegGetRaw(HKEY hRoot, const char *pszKey, const char *pszName, std::string *pData, DWORD *pType)
{
    HKEY hKey;
    BYTE buf[4096];
    DWORD cb = sizeof(buf), type = 0;
    bool ok;

    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    ok = RegQueryValueExA(hKey, pszName, NULL, &type, buf, &cb) == ERROR_SUCCESS;
    if (ok) {
        pData->assign((const char *)buf, cb);
        *pType = type;
    }
    RegCloseKey(hKey);
    return ok;
}

bool RegSetRaw(HKEY hRoot, const char *pszKey, const char *pszName, DWORD type, const std::string &data)
{
    HKEY hKey;
    bool ok;
    if (RegCreateKeyExA(hRoot, pszKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS)
        return false;
    ok = RegSetValueExA(hKey, pszName, 0, type, (const BYTE *)data.data(), (DWORD)data.size()) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return ok;
}

bool RegValueExists(HKEY hRoot, const char *pszKey, const char *pszName)
{
    std::string data;
    DWORD type;
    return RegGetRaw(hRoot, pszKey, pszName, &data, &type);
}

bool RegKeyDelete(HKEY hRoot, const char *pszKey)
{
    return SHDeleteKeyA(hRoot, pszKey) == ERROR_SUCCESS;
}

bool SetSetupWindowsVersion(const char *pszVersion)
{
    return RegSetString(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\kivsetup.exe", "Version", pszVersion);
}
