/*
 * Helpers for the tray tests; see traytest.h.
 */
#include "traytest.h"

#include <shlobj.h>
#include <stddef.h>
#include <string.h>
#include <winspool.h>
#include <set>

#include "kivarch.h"
#include "standin.h"

/* ---- Files and folders ------------------------------------------------ */

std::wstring TrayExePath()
{
    return InstallDir() + L"\\kivtray.exe";
}

bool InstallTray(bool withResources, TrayBuild build)
{
    std::wstring dir = InstallDir();
    std::wstring source = build == TRAY_WITH_SEAMS ? BinPath(L"seams\\kivtray.exe") : BinPath(L"kivtray.exe");

    if (dir.empty())
        return false;
    if (!CreateDirectoryW(dir.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (!CopyFileW(source.c_str(), TrayExePath().c_str(), FALSE))
        return false;
    if (withResources && !CopyFileW(BinPath(L"kivres.dll").c_str(), (dir + L"\\kivres.dll").c_str(), FALSE))
        return false;
    return true;
}

/* ---- The running tray ------------------------------------------------- */

UINT TrayQuitMessage()
{
    return RegisterWindowMessageA(TRAY_QUIT_MSG_A);
}

static BOOL CALLBACK CollectTrayWindow(HWND hwnd, LPARAM lParam)
{
    char szClass[64];
    if (GetClassNameA(hwnd, szClass, sizeof(szClass)) && strcmp(szClass, TRAY_CLASS_A) == 0)
        ((std::vector<HWND> *)lParam)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> TrayWindows()
{
    std::vector<HWND> windows;
    EnumWindows(CollectTrayWindow, (LPARAM)&windows);
    return windows;
}

bool TrayProcess::Start(const std::wstring &exe)
{
    hProcess = Launch(L"\"" + exe + L"\"");
    if (!hProcess)
        return false;
    processId = GetProcessId(hProcess);
    return WaitFor([this] {
        for (HWND h : TrayWindows()) {
            DWORD pid = 0;
            DWORD tid = GetWindowThreadProcessId(h, &pid);
            if (pid == processId) {
                hwnd = h;
                threadId = tid;
                return true;
            }
        }
        return false;
    });
}

bool TrayProcess::WaitEnd(DWORD *pExitCode, DWORD ms)
{
    return WaitExit(hProcess, ms, pExitCode);
}

bool TrayProcess::Running() const
{
    return hProcess && WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT;
}

void TrayProcess::Notify(UINT mouseMessage) const
{
    PostMessageW(hwnd, TRAY_NOTIFY_MSG, 100, mouseMessage);
}

void TrayProcess::Command(WORD id) const
{
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

bool TrayProcess::Sync() const
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, KIV_TEST_DEADLINE_MS, &result) != 0;
}

bool TrayProcess::Quit(DWORD *pExitCode)
{
    PostMessageW(hwnd, TrayQuitMessage(), 0, 0);
    return WaitEnd(pExitCode);
}

TrayProcess::~TrayProcess()
{
    if (hProcess) {
        if (WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(hProcess, 99);
        CloseHandle(hProcess);
    }
}

/* ---- The task bar ----------------------------------------------------- */

/*
 * Wine hands the shell a platform-independent copy of the record:
 * hWnd, uID, uFlags, uCallbackMessage, szTip[128] (UTF-16), dwState,
 * dwStateMask, szInfo[256], uTimeout, szInfoTitle[64], dwInfoFlags,
 * guidItem, then the image's width, height, planes and bits per pixel,
 * then its mask bits and colour bits.
 */
#define NOTIFY_TIP_OFFSET    16
#define NOTIFY_TIP_UNITS     128
#define NOTIFY_IMAGE_OFFSET  944
#define NOTIFY_HEADER_BYTES  960

struct TaskbarState {
    CRITICAL_SECTION lock;
    std::vector<IconCall> calls;
    std::set<std::pair<HWND, UINT>> shown;
    HANDLE hReady;
    HWND hwnd;
};

static TaskbarState *g_pTaskbar;

static IconCall DecodeIconCall(DWORD message, const BYTE *p, DWORD cb)
{
    IconCall call;
    call.message = message;
    if (cb < NOTIFY_IMAGE_OFFSET)
        return call;
    call.hwnd = (HWND)(ULONG_PTR)(DWORD) * (const LONG *)p;
    call.uID = *(const UINT *)(p + 4);
    call.uFlags = *(const UINT *)(p + 8);
    call.uCallbackMessage = *(const UINT *)(p + 12);
    const WCHAR *pTip = (const WCHAR *)(p + NOTIFY_TIP_OFFSET);
    size_t n = 0;
    while (n < NOTIFY_TIP_UNITS && pTip[n])
        n++;
    call.tip.assign(pTip, n);
    if (cb <= NOTIFY_HEADER_BYTES)
        return call;
    UINT width = *(const UINT *)(p + NOTIFY_IMAGE_OFFSET);
    UINT height = *(const UINT *)(p + NOTIFY_IMAGE_OFFSET + 4);
    UINT planes = *(const UINT *)(p + NOTIFY_IMAGE_OFFSET + 8);
    UINT bpp = *(const UINT *)(p + NOTIFY_IMAGE_OFFSET + 12);
    call.hasImage = true;
    call.width = width;
    call.height = height;
    /* Mask: one bit per pixel in rows of whole words; colour follows. */
    DWORD cbMask = (width * height + 15) / 16 * 2;
    DWORD cbColour = (planes * width * height * bpp + 15) / 16 * 2;
    if (bpp != 32 || (size_t)NOTIFY_HEADER_BYTES + cbMask + cbColour > cb)
        return call;
    const BYTE *pMask = p + NOTIFY_HEADER_BYTES;
    const DWORD *pColour = (const DWORD *)(pMask + cbMask);
    DWORD rowMaskBytes = (width + 15) / 16 * 2;
    std::set<DWORD> colours;
    for (UINT y = 0; y < height; y++)
        for (UINT x = 0; x < width; x++) {
            bool transparent = (pMask[y * rowMaskBytes + x / 8] >> (7 - x % 8)) & 1;
            if (!transparent)
                colours.insert(pColour[y * width + x] & 0xFFFFFF);
        }
    colours.erase(0);
    call.imageHasColour = colours.size() >= 3;
    return call;
}

static LRESULT CALLBACK TaskbarProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COPYDATA && g_pTaskbar) {
        const COPYDATASTRUCT *pcds = (const COPYDATASTRUCT *)lParam;
        IconCall call = DecodeIconCall((DWORD)pcds->dwData, (const BYTE *)pcds->lpData, pcds->cbData);
        std::pair<HWND, UINT> icon(call.hwnd, call.uID);
        EnterCriticalSection(&g_pTaskbar->lock);
        g_pTaskbar->calls.push_back(call);
        /* As Windows: only an icon that is there can be modified. */
        BOOL ok = call.message != NIM_MODIFY || g_pTaskbar->shown.count(icon);
        if (call.message == NIM_ADD)
            g_pTaskbar->shown.insert(icon);
        else if (call.message == NIM_DELETE)
            g_pTaskbar->shown.erase(icon);
        LeaveCriticalSection(&g_pTaskbar->lock);
        return ok;
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

static DWORD WINAPI TaskbarThread(LPVOID)
{
    WNDCLASSW wc;
    MSG msg;

    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = TaskbarProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"Shell_TrayWnd";
    RegisterClassW(&wc);
    g_pTaskbar->hwnd = CreateWindowExW(0, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                                       wc.hInstance, NULL);
    SetEvent(g_pTaskbar->hReady);
    if (!g_pTaskbar->hwnd)
        return 1;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

bool FakeTaskbar::Start()
{
    g_pTaskbar = new TaskbarState();
    InitializeCriticalSection(&g_pTaskbar->lock);
    g_pTaskbar->hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    g_pTaskbar->hwnd = NULL;
    hThread = CreateThread(NULL, 0, TaskbarThread, NULL, 0, NULL);
    if (!hThread || WaitForSingleObject(g_pTaskbar->hReady, KIV_TEST_DEADLINE_MS) != WAIT_OBJECT_0)
        return false;
    hwnd = g_pTaskbar->hwnd;
    return hwnd != NULL;
}

std::vector<IconCall> FakeTaskbar::Calls() const
{
    std::vector<IconCall> calls;
    if (!g_pTaskbar)
        return calls;
    EnterCriticalSection(&g_pTaskbar->lock);
    calls = g_pTaskbar->calls;
    LeaveCriticalSection(&g_pTaskbar->lock);
    return calls;
}

bool FakeTaskbar::WaitForCalls(size_t count)
{
    return WaitFor([&] { return Calls().size() >= count; });
}

FakeTaskbar::~FakeTaskbar()
{
    if (hThread) {
        if (hwnd)
            PostMessageW(hwnd, WM_QUIT, 0, 0);
        WaitForSingleObject(hThread, KIV_TEST_DEADLINE_MS);
        CloseHandle(hThread);
    }
    /* The state stays: a late call from a dying tray must find it. */
}

/* ---- Menu and dialogs --------------------------------------------------- */

struct WindowSearch {
    DWORD processId;
    const char *pszClass;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectWindowOf(HWND hwnd, LPARAM lParam)
{
    WindowSearch *pSearch = (WindowSearch *)lParam;
    char szClass[64];
    DWORD pid = 0;

    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != pSearch->processId || !IsWindowVisible(hwnd))
        return TRUE;
    if (GetClassNameA(hwnd, szClass, sizeof(szClass)) && strcmp(szClass, pSearch->pszClass) == 0)
        pSearch->found.push_back(hwnd);
    return TRUE;
}

static std::vector<HWND> VisibleWindowsOf(DWORD processId, const char *pszClass)
{
    WindowSearch search = { processId, pszClass, {} };
    EnumWindows(CollectWindowOf, (LPARAM)&search);
    return search.found;
}

HWND OpenMenuOf(DWORD processId)
{
    std::vector<HWND> menus = VisibleWindowsOf(processId, "#32768");
    return menus.empty() ? NULL : menus[0];
}

void PressMenuKeys(HWND hMenu, const std::vector<WORD> &keys)
{
    for (WORD vk : keys)
        PostMessageW(hMenu, WM_KEYDOWN, vk, 0);
}

std::vector<TopDialog> DialogsOf(DWORD processId)
{
    std::vector<TopDialog> dialogs;
    for (HWND h : VisibleWindowsOf(processId, "#32770")) {
        wchar_t szCaption[256] = L"";
        InternalGetWindowText(h, szCaption, 256);
        dialogs.push_back({ h, Narrow(szCaption) });
    }
    return dialogs;
}

int CountDialogsOf(DWORD processId, const std::string &caption)
{
    int n = 0;
    for (const TopDialog &d : DialogsOf(processId))
        if (d.caption == caption)
            n++;
    return n;
}

HWND WaitForDialogOf(DWORD processId, const std::string &caption)
{
    HWND found = NULL;
    WaitFor([&] {
        for (const TopDialog &d : DialogsOf(processId))
            if (d.caption == caption) {
                found = d.hwnd;
                return true;
            }
        return false;
    });
    return found;
}

void PressDialogButton(HWND hDialog, int id)
{
    PostMessageW(hDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(hDialog, id));
}

/* ---- Registry ------------------------------------------------------- */

bool SetMachineDword(const char *pszKey, const char *pszName, DWORD value, HKEY hRoot)
{
    HKEY hKey;
    bool ok;
    if (RegCreateKeyExA(hRoot, pszKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS)
        return false;
    ok = RegSetValueExA(hKey, pszName, 0, REG_DWORD, (const BYTE *)&value, sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return ok;
}

bool DeleteMachineValue(const char *pszKey, const char *pszName)
{
    return RegDeleteValueIn(HKEY_LOCAL_MACHINE, pszKey, pszName);
}

/* ---- Associations --------------------------------------------------- */

static std::string RecorderCommand(const std::wstring &logPath)
{
    return "\"" + Narrow(BinPath(L"recorder.exe")) + "\" \"" + Narrow(logPath) + "\" \"%1\" %*";
}

bool AssociateWithRecorder(const std::string &extension, const std::wstring &logPath)
{
    std::string cls = "KivTestFile" + extension.substr(1);
    return RegSetString(HKEY_CLASSES_ROOT, extension.c_str(), "", cls) &&
           RegSetString(HKEY_CLASSES_ROOT, (cls + "\\shell\\open\\command").c_str(), "", RecorderCommand(logPath));
}

bool AssociateHttpWithRecorder(const std::wstring &logPath)
{
    return RegSetString(HKEY_CLASSES_ROOT, "http\\shell\\open\\command", "", RecorderCommand(logPath));
}

/* ---- Printers on the stand-in driver ------------------------------------ */

static std::wstring StandInFile(const wchar_t *pszName)
{
    return BinDir() + L"\\..\\standin\\" + pszName;
}

bool InstallStandInDriver()
{
    /* As setup does: the files in the printer-driver folder under their
     * bare names; the spooler takes its own copies from there. */
    wchar_t szDriverDir[MAX_PATH];
    DWORD cbNeeded = 0;
    DRIVER_INFO_3W di;

    if (!GetPrinterDriverDirectoryW(NULL, NULL, 1, (BYTE *)szDriverDir, sizeof(szDriverDir), &cbNeeded))
        return false;
    for (const wchar_t *pszName : { L"unidrvui.dll", L"kiv.gpd" }) {
        std::wstring target = std::wstring(szDriverDir) + L"\\" + pszName;
        if (!CopyFileW(StandInFile(pszName).c_str(), target.c_str(), FALSE))
            return false;
    }
    ZeroMemory(&di, sizeof(di));
    di.cVersion = 3;
    di.pName = (LPWSTR)TRAY_PRINTER_W;
    di.pEnvironment = (LPWSTR)KIV_DRIVER_ENVIRONMENT;
    di.pDriverPath = (LPWSTR)L"unidrvui.dll";
    di.pDataFile = (LPWSTR)L"kiv.gpd";
    di.pConfigFile = (LPWSTR)L"unidrvui.dll";
    di.pDefaultDataType = (LPWSTR)L"RAW";
    return AddPrinterDriverExW(NULL, 3, (BYTE *)&di, APD_COPY_ALL_FILES) != FALSE;
}

bool AddTestPrinter(const std::wstring &name, const std::wstring &port, bool openable)
{
    PRINTER_INFO_2W pi;
    HANDLE hPrinter;

    ZeroMemory(&pi, sizeof(pi));
    pi.pPrinterName = (LPWSTR)name.c_str();
    pi.pPortName = (LPWSTR)port.c_str();
    pi.pDriverName = (LPWSTR)TRAY_PRINTER_W;
    pi.pComment = (LPWSTR)L"";
    pi.pLocation = (LPWSTR)L"http://www.kivimageprinter.example/";
    pi.pPrintProcessor = (LPWSTR)L"WinPrint";
    pi.pDatatype = openable ? (LPWSTR)L"RAW" : NULL;
    hPrinter = AddPrinterW(NULL, 2, (BYTE *)&pi);
    if (!hPrinter)
        return false;
    ClosePrinter(hPrinter);
    return true;
}

bool InstallKivPrinter()
{
    return InstallStandInDriver() && AddLocalPort(L"kiv") && AddTestPrinter(TRAY_PRINTER_W, L"kiv");
}

bool SetDistinctLevel2Fields(const std::wstring &name)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE hPrinter = NULL;
    DWORD cbNeeded = 0;
    bool ok = false;

    if (!OpenPrinterW((LPWSTR)name.c_str(), &hPrinter, &defaults))
        return false;
    GetPrinterW(hPrinter, 2, NULL, 0, &cbNeeded);
    std::vector<BYTE> buffer(cbNeeded ? cbNeeded : 1);
    if (cbNeeded && GetPrinterW(hPrinter, 2, buffer.data(), cbNeeded, &cbNeeded)) {
        PRINTER_INFO_2W *pi2 = (PRINTER_INFO_2W *)buffer.data();
        pi2->pComment = (LPWSTR)L"Images for the archive";
        pi2->pLocation = (LPWSTR)L"Second floor, room 12";
        pi2->pParameters = (LPWSTR)L"quality=best";
        pi2->Priority = 7;
        pi2->DefaultPriority = 3;
        pi2->StartTime = 60;
        pi2->UntilTime = 1380;
        ok = SetPrinterW(hPrinter, 2, buffer.data(), 0) != FALSE;
    }
    ClosePrinter(hPrinter);
    return ok;
}

bool StoreDefaultDevMode(const std::wstring &name, const std::string &bytes)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    PRINTER_INFO_8W pi8;
    HANDLE hPrinter = NULL;
    std::string copy = bytes;
    bool ok;

    if (bytes.size() < sizeof(DEVMODEW) || !OpenPrinterW((LPWSTR)name.c_str(), &hPrinter, &defaults))
        return false;
    pi8.pDevMode = (DEVMODEW *)&copy[0];
    ok = SetPrinterW(hPrinter, 8, (BYTE *)&pi8, 0) != FALSE;
    ClosePrinter(hPrinter);
    return ok;
}

static std::wstring Text(const wchar_t *psz)
{
    return psz ? psz : L"<null>";
}

/* The DEVMODE's bytes, public and private parts.  The device and form
 * names' room after their terminator is zeroed: the spooler's conversions
 * between the ANSI and the wide form do not keep what lies there. */
static std::string DevModeBytes(const DEVMODEW *pdm)
{
    if (!pdm)
        return "";
    std::string bytes((const char *)pdm, pdm->dmSize + pdm->dmDriverExtra);
    DEVMODEW *p = (DEVMODEW *)&bytes[0];
    size_t n = 0;
    while (n < CCHDEVICENAME && p->dmDeviceName[n])
        n++;
    for (; n < CCHDEVICENAME; n++)
        p->dmDeviceName[n] = 0;
    if (p->dmSize >= offsetof(DEVMODEW, dmFormName) + sizeof(p->dmFormName)) {
        n = 0;
        while (n < CCHFORMNAME && p->dmFormName[n])
            n++;
        for (; n < CCHFORMNAME; n++)
            p->dmFormName[n] = 0;
    }
    return bytes;
}

static void FillFromInfo2(PrinterState *pState, const PRINTER_INFO_2W *pi2)
{
    pState->printerName = Text(pi2->pPrinterName);
    pState->shareName = Text(pi2->pShareName);
    pState->portName = Text(pi2->pPortName);
    pState->driverName = Text(pi2->pDriverName);
    pState->comment = Text(pi2->pComment);
    pState->location = Text(pi2->pLocation);
    pState->sepFile = Text(pi2->pSepFile);
    pState->printProcessor = Text(pi2->pPrintProcessor);
    pState->datatype = Text(pi2->pDatatype);
    pState->parameters = Text(pi2->pParameters);
    pState->attributes = pi2->Attributes;
    pState->priority = pi2->Priority;
    pState->defaultPriority = pi2->DefaultPriority;
    pState->startTime = pi2->StartTime;
    pState->untilTime = pi2->UntilTime;
    pState->hasSecurity = pi2->pSecurityDescriptor != NULL;
    pState->devMode2 = DevModeBytes(pi2->pDevMode);
}

static std::vector<BYTE> GetPrinterLevel(HANDLE hPrinter, DWORD level)
{
    DWORD cbNeeded = 0;
    std::vector<BYTE> buffer;
    SetLastError(0xdeadbeef);
    GetPrinterW(hPrinter, level, NULL, 0, &cbNeeded);
    if (cbNeeded == 0)
        return buffer;
    buffer.resize(cbNeeded);
    if (!GetPrinterW(hPrinter, level, buffer.data(), cbNeeded, &cbNeeded))
        buffer.clear();
    return buffer;
}

PrinterState ReadPrinterState(const std::wstring &name)
{
    PrinterState state;
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ACCESS_USE };
    HANDLE hPrinter = NULL;

    if (!OpenPrinterW((LPWSTR)name.c_str(), &hPrinter, &defaults))
        return state;
    std::vector<BYTE> level2 = GetPrinterLevel(hPrinter, 2);
    std::vector<BYTE> level8 = GetPrinterLevel(hPrinter, 8);
    ClosePrinter(hPrinter);
    if (level2.empty() || level8.empty())
        return state;
    FillFromInfo2(&state, (const PRINTER_INFO_2W *)level2.data());
    state.devMode8 = DevModeBytes(((const PRINTER_INFO_8W *)level8.data())->pDevMode);
    state.read = true;
    return state;
}

PrinterState EnumeratedPrinterState(const std::wstring &name)
{
    PrinterState state;
    DWORD cbNeeded = 0, cReturned = 0;
    std::vector<BYTE> buffer;

    EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &cbNeeded, &cReturned);
    if (cbNeeded == 0)
        return state;
    buffer.resize(cbNeeded);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, buffer.data(), cbNeeded, &cbNeeded, &cReturned))
        return state;
    for (DWORD i = 0; i < cReturned; i++) {
        const PRINTER_INFO_2W *pi2 = (const PRINTER_INFO_2W *)buffer.data() + i;
        if (pi2->pPrinterName && name == pi2->pPrinterName) {
            FillFromInfo2(&state, pi2);
            state.read = true;
            break;
        }
    }
    return state;
}

std::vector<std::wstring> PrinterNamesInOrder()
{
    std::vector<std::wstring> names;
    DWORD cbNeeded = 0, cReturned = 0;
    std::vector<BYTE> buffer;

    /* The flags the tray enumerates with: local printers and connections. */
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, NULL, 0, &cbNeeded, &cReturned);
    if (cbNeeded == 0)
        return names;
    buffer.resize(cbNeeded);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, buffer.data(), cbNeeded,
                       &cbNeeded, &cReturned))
        return names;
    for (DWORD i = 0; i < cReturned; i++)
        names.push_back(Text(((const PRINTER_INFO_2W *)buffer.data() + i)->pPrinterName));
    return names;
}

StandInDevMode DecodeStandInDevMode(const std::string &bytes)
{
    StandInDevMode dm;
    if (bytes.size() < sizeof(DEVMODEW))
        return dm;
    const DEVMODEW *pdm = (const DEVMODEW *)bytes.data();
    if (pdm->dmDriverExtra != sizeof(KIVSTANDINPRIVATE) ||
        bytes.size() < (size_t)pdm->dmSize + sizeof(KIVSTANDINPRIVATE))
        return dm;
    const KIVSTANDINPRIVATE *pPrivate = (const KIVSTANDINPRIVATE *)(bytes.data() + pdm->dmSize);
    if (pPrivate->dwSignature != KIV_STANDIN_SIGNATURE)
        return dm;
    dm.valid = true;
    dm.orientation = pdm->dmOrientation;
    dm.applied = pPrivate->cApplied;
    return dm;
}
