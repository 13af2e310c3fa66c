/*
 * Helpers for the setup tests; see setuptest.h.
 */
#include "setuptest.h"
#include "kivarch.h"

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

/* The records are read as the program laid them out: the harness is built
 * for the program's own architecture. */
static void CaptureForm(DebugRun &run, const ULONG_PTR *args, SetupRunResult *pResult)
{
    FormCall f;
    FORM_INFO_1W form;

    f.hPrinter = args[0];
    f.level = (DWORD)args[1];
    if (run.Read(args[2], &form, sizeof(form))) {
        f.flags = form.Flags;
        f.name = run.ReadWString((ULONG_PTR)form.pName);
        f.cx = form.Size.cx;
        f.cy = form.Size.cy;
        f.left = form.ImageableArea.left;
        f.top = form.ImageableArea.top;
        f.right = form.ImageableArea.right;
        f.bottom = form.ImageableArea.bottom;
    }
    pResult->forms.push_back(f);
}

static void CaptureDriver(DebugRun &run, const ULONG_PTR *args, SetupRunResult *pResult)
{
    DriverCall &d = pResult->driver;
    DRIVER_INFO_3W info;

    d.made = true;
    d.serverName = args[0];
    d.level = (DWORD)args[1];
    d.copyFlags = (DWORD)args[3];
    if (!run.Read(args[2], &info, sizeof(info)))
        return;
    d.cVersion = info.cVersion;
    d.name = run.ReadWString((ULONG_PTR)info.pName);
    d.environment = run.ReadWString((ULONG_PTR)info.pEnvironment);
    d.driverPath = run.ReadWString((ULONG_PTR)info.pDriverPath);
    d.dataFile = run.ReadWString((ULONG_PTR)info.pDataFile);
    d.configFile = run.ReadWString((ULONG_PTR)info.pConfigFile);
    d.helpFile = run.ReadWString((ULONG_PTR)info.pHelpFile);
    d.dependentFiles = run.ReadMultiString((ULONG_PTR)info.pDependentFiles);
    d.monitorName = run.ReadWString((ULONG_PTR)info.pMonitorName);
    d.defaultDataType = run.ReadWString((ULONG_PTR)info.pDefaultDataType);
}

static void CapturePrinter(DebugRun &run, const ULONG_PTR *args, SetupRunResult *pResult)
{
    PrinterCall &p = pResult->printer;
    PRINTER_INFO_2W info;

    p.made = true;
    p.serverName = args[0];
    p.level = (DWORD)args[1];
    if (!run.Read(args[2], &info, sizeof(info)))
        return;
    p.serverField = run.ReadWString((ULONG_PTR)info.pServerName);
    p.printerName = run.ReadWString((ULONG_PTR)info.pPrinterName);
    p.shareName = run.ReadWString((ULONG_PTR)info.pShareName);
    p.portName = run.ReadWString((ULONG_PTR)info.pPortName);
    p.driverName = run.ReadWString((ULONG_PTR)info.pDriverName);
    p.comment = run.ReadWString((ULONG_PTR)info.pComment);
    p.location = run.ReadWString((ULONG_PTR)info.pLocation);
    p.devMode = (ULONG_PTR)info.pDevMode;
    p.sepFile = run.ReadWString((ULONG_PTR)info.pSepFile);
    p.printProcessor = run.ReadWString((ULONG_PTR)info.pPrintProcessor);
    p.datatype = run.ReadWString((ULONG_PTR)info.pDatatype);
    p.parameters = run.ReadWString((ULONG_PTR)info.pParameters);
    p.securityDescriptor = (ULONG_PTR)info.pSecurityDescriptor;
    p.attributes = info.Attributes;
    p.priority = info.Priority;
    p.defaultPriority = info.DefaultPriority;
    p.startTime = info.StartTime;
    p.untilTime = info.UntilTime;
    p.status = info.Status;
    p.cJobs = info.cJobs;
    p.averagePPM = info.AveragePPM;
}

static void CaptureXcv(DebugRun &run, const ULONG_PTR *args, SetupRunResult *pResult)
{
    XcvCall &x = pResult->xcv;

    x.made = true;
    x.dataName = run.ReadWString(args[1]);
    x.cbInput = (DWORD)args[3];
    x.input = run.ReadWString(args[2], x.cbInput / sizeof(WCHAR));
    x.cbOutput = (DWORD)args[5];
}

static void CaptureOpenPrinter(DebugRun &run, const ULONG_PTR *args, SetupRunResult *pResult)
{
    OpenPrinterCall o;
    PRINTER_DEFAULTSW defaults;

    o.name = run.ReadWString(args[0]);
    if (args[2] && run.Read(args[2], &defaults, sizeof(defaults))) {
        o.defaults = true;
        o.datatype = (ULONG_PTR)defaults.pDatatype;
        o.devMode = (ULONG_PTR)defaults.pDevMode;
        o.access = defaults.DesiredAccess;
    }
    pResult->openPrinters.push_back(o);
}

static CallHook MakeHook(const char *pszFunction, int cArgs,
                         std::function<void(DebugRun &, const ULONG_PTR *)> onCall)
{
    CallHook h;
    h.dll = "winspool.drv";
    h.function = pszFunction;
    h.cArgs = cArgs;
    h.onCall = onCall;
    return h;
}

std::string Join(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += "  " + l + "\n";
    return s;
}

std::string DescribeDialogs(const std::vector<DialogRecord> &dialogs)
{
    std::string s;
    for (const DialogRecord &d : dialogs)
        s += "  [" + d.caption + "] " + d.text + " (pressed " + std::to_string(d.pressed) + ")\n";
    return s;
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

    run.hooks.push_back(MakeHook("AddFormW", 3, [pResult](DebugRun &r, const ULONG_PTR *a) { CaptureForm(r, a, pResult); }));
    run.hooks.push_back(MakeHook("AddPrinterDriverExW", 4, [pResult](DebugRun &r, const ULONG_PTR *a) { CaptureDriver(r, a, pResult); }));
    run.hooks.push_back(MakeHook("AddPrinterW", 3, [pResult](DebugRun &r, const ULONG_PTR *a) { CapturePrinter(r, a, pResult); }));
    run.hooks.push_back(MakeHook("XcvDataW", 8, [pResult](DebugRun &r, const ULONG_PTR *a) { CaptureXcv(r, a, pResult); }));
    run.hooks.push_back(MakeHook("DeletePrinter", 1, nullptr));
    run.hooks.push_back(MakeHook("OpenPrinterW", 3, [pResult](DebugRun &r, const ULONG_PTR *a) { CaptureOpenPrinter(r, a, pResult); }));
    /* Only to fail them, as a stopped spooler does. */
    run.hooks.push_back(MakeHook("EnumPrintersW", 7, nullptr));
    run.hooks.push_back(MakeHook("EnumPrinterDriversW", 7, nullptr));
    run.hooks.push_back(MakeHook("EnumPortsW", 6, nullptr));
    run.hooks.push_back(MakeHook("GetPrinterDriverDirectoryW", 6, nullptr));
    run.hooks.push_back(MakeHook("DeleteFormW", 2, [pResult](DebugRun &r, const ULONG_PTR *a) {
        pResult->deletedForms.push_back(r.ReadWString(a[1]));
    }));
    /* No capture: there so that a test can answer for a spooler that
     * keeps forms (Wine's keeps none). */
    run.hooks.push_back(MakeHook("GetFormW", 6, nullptr));
    /* Also no capture: a test can make ending a process fail. */
    CallHook terminate = MakeHook("TerminateProcess", 2, nullptr);
    terminate.dll = "kernel32.dll";
    run.hooks.push_back(terminate);
    run.hooks.insert(run.hooks.end(), opt.hooks.begin(), opt.hooks.end());
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

    std::wstring cmdline = opt.commandLine.empty() ? L"\"" + opt.dir + L"\\kivsetup.exe\"" : opt.commandLine;
    result.ran = run.Run(cmdline, opt.dir, KIV_SETUP_RUN_MS);
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
            WCHAR szEnv[] = KIV_DRIVER_ENVIRONMENT;
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

std::string AgentRunValue()
{
    std::string value;
    RegGetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "kivprt", &value);
    return value;
}

std::string InstalledAgentRunValue()
{
    return "\"" + Narrow(InstallDir()) + "\\kivprt.exe\"  -start";
}

bool RegKeyDelete(HKEY hRoot, const char *pszKey)
{
    return SHDeleteKeyA(hRoot, pszKey) == ERROR_SUCCESS;
}

bool SetSetupWindowsVersion(const char *pszVersion)
{
    return RegSetString(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\kivsetup.exe", "Version", pszVersion);
}
