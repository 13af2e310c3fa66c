/*
 * Helpers for the tests of the tray utility kivtray: the tray's files in
 * the install folder of the test's prefix, a running tray and its hidden
 * window, a task bar stand-in that sees the notification icon calls, the
 * tray's menu and dialogs as another process sees them, and printers made
 * through the spooler on the stand-in printer driver.
 */
#ifndef KIV_TRAYTEST_H
#define KIV_TRAYTEST_H

#include <windows.h>
#include <string>
#include <vector>

#include "testsupport.h"

#define TRAY_CLASS_A        "Kiv Image Printer"
#define TRAY_QUIT_MSG_A     "KivPrinterTrayMsg30"
#define TRAY_MUTEX_W        L"KivPrinterTrayMutex30"
#define TRAY_RUN_KEY_A      "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define TRAY_RUN_VALUE_A    "kivtray"
#define TRAY_NOTIFY_MSG     (WM_USER + 1)
#define TRAY_CMD_HELP       40001
#define TRAY_CMD_EXIT       40002
#define TRAY_CMD_AUTOLAUNCH 40003
#define TRAY_CMD_HOMEPAGE   40004

/* Switches of the tray's test build (tests/tray_seams.cpp). */
#define TRAY_SEAM_KEY_A          "Software\\KivTest\\Tray"
#define TRAY_SEAM_SHEET_RESULT_A "SheetResult"
#define TRAY_SEAM_KEEP_INPUT_A   "SheetKeepsInput"
#define TRAY_SEAM_HIDE_DEFAULT_A "HideStoredDefault"
#define TRAY_SEAM_FAIL_STORE_A   "FailStore"
/* Sets (under HKEY_LOCAL_MACHINE unless hRoot says otherwise) or removes a
 * DWORD value. */
bool SetMachineDword(const char *pszKey, const char *pszName, DWORD value, HKEY hRoot = HKEY_LOCAL_MACHINE);
bool DeleteMachineValue(const char *pszKey, const char *pszName);

/* ---- Files and folders ------------------------------------------------ */

/* InstallDir() and SystemDir() are in testsupport.h. */
/* The tray program in the install folder, as the tests start it. */
std::wstring TrayExePath();

enum TrayBuild { TRAY_DELIVERED, TRAY_WITH_SEAMS };
/* Creates the install folder and copies kivtray.exe into it (the
 * delivered program or its test build), with kivres.dll beside it when
 * withResources is set. */
bool InstallTray(bool withResources = true, TrayBuild build = TRAY_DELIVERED);

/* ---- The running tray ------------------------------------------------- */

UINT TrayQuitMessage();
/* Top-level windows of the tray's class, of any process. */
std::vector<HWND> TrayWindows();

struct TrayProcess {
    HANDLE hProcess = NULL;
    DWORD processId = 0;
    DWORD threadId = 0;
    HWND hwnd = NULL;

    /* Starts the program and waits for its window. */
    bool Start(const std::wstring &exe = TrayExePath());
    /* Waits for the process to end; true with its exit code when it did. */
    bool WaitEnd(DWORD *pExitCode, DWORD ms = KIV_TEST_DEADLINE_MS);
    bool Running() const;
    /* Posts the icon's callback message with a mouse message. */
    void Notify(UINT mouseMessage) const;
    void Command(WORD id) const;
    /* Returns once the tray's thread has taken a sent message: it is then
     * waiting for messages in its own loop or a modal one. */
    bool Sync() const;
    /* Posts the quit message and waits for the end; exit code 0 wanted. */
    bool Quit(DWORD *pExitCode = NULL);
    ~TrayProcess();
};

/* ---- The task bar ----------------------------------------------------- */

/* One Shell_NotifyIcon call as the task bar received it. */
struct IconCall {
    DWORD message = 0xdeadbeef;     /* NIM_ADD 0, NIM_DELETE 2 */
    HWND hwnd = NULL;               /* the record's window */
    UINT uID = 0, uFlags = 0, uCallbackMessage = 0;
    std::wstring tip;
    bool hasImage = false;
    UINT width = 0, height = 0;
    bool imageHasColour = false;    /* some pixel is neither black nor transparent */
};

/* A top-level window of class "Shell_TrayWnd" on a thread of its own:
 * Wine's shell hands every notification icon call to it as WM_COPYDATA. */
struct FakeTaskbar {
    HANDLE hThread = NULL;
    HWND hwnd = NULL;
    bool Start();
    std::vector<IconCall> Calls() const;
    bool WaitForCalls(size_t count);
    ~FakeTaskbar();
};

/* ---- Menu and dialogs --------------------------------------------------- */

/* The tray's open pop-up menu (visible "#32768" of the process), or NULL. */
HWND OpenMenuOf(DWORD processId);
/* Presses keys in the open menu: the menu's own loop takes them. */
void PressMenuKeys(HWND hMenu, const std::vector<WORD> &keys);

struct TopDialog {
    HWND hwnd;
    std::string caption;
};
/* Visible top-level dialogs (#32770) of a process. */
std::vector<TopDialog> DialogsOf(DWORD processId);
int CountDialogsOf(DWORD processId, const std::string &caption);
/* Waits for a visible dialog of that caption; NULL at the deadline. */
HWND WaitForDialogOf(DWORD processId, const std::string &caption);
/* Presses a button by posting its command, as the dialog helper does. */
void PressDialogButton(HWND hDialog, int id);

/* The caption of the driver's settings sheet under Wine's compstui. */
#define TRAY_SHEET_CAPTION "Options"

/* ---- Associations --------------------------------------------------- */

/* Opening files of this extension (".chm") starts recorder.exe, which
 * writes "path" parameters into logPath. */
bool AssociateWithRecorder(const std::string &extension, const std::wstring &logPath);
/* Web addresses (http) likewise. */
bool AssociateHttpWithRecorder(const std::wstring &logPath);

/* ---- Printers on the stand-in driver ------------------------------------ */

#define TRAY_PRINTER_W L"Kiv Image Printer"

/* Registers the driver "Kiv Image Printer" with the stand-in
 * configuration DLL. */
bool InstallStandInDriver();
/* A printer on the driver; with openable false it has no data type, which
 * Wine's spooler then refuses to open. */
bool AddTestPrinter(const std::wstring &name, const std::wstring &port, bool openable = true);
/* Driver, port "kiv" and the printer "Kiv Image Printer", as setup leaves
 * them. */
bool InstallKivPrinter();
/* Gives a printer level-2 fields that differ from the defaults: a
 * comment, a location, parameters, priorities and times. */
bool SetDistinctLevel2Fields(const std::wstring &name);

/* What the spooler holds for a printer. */
struct PrinterState {
    bool read = false;
    std::wstring printerName, shareName, portName, driverName, comment, location, sepFile,
        printProcessor, datatype, parameters;
    DWORD attributes = 0, priority = 0, defaultPriority = 0, startTime = 0, untilTime = 0;
    bool hasSecurity = false;
    std::string devMode2;   /* the level-2 DEVMODE bytes, public and private parts */
    std::string devMode8;   /* the level-8 (global default) DEVMODE bytes, "" when none */
};
PrinterState ReadPrinterState(const std::wstring &name);
/* The same, read without opening the printer (EnumPrinters, level 2). */
PrinterState EnumeratedPrinterState(const std::wstring &name);
/* Printer names in the spooler's enumeration order. */
std::vector<std::wstring> PrinterNamesInOrder();

/* Fields of a stand-in DEVMODE (DEVMODEW followed by its private part). */
struct StandInDevMode {
    bool valid = false;
    short orientation = 0;
    DWORD applied = 0;
};
StandInDevMode DecodeStandInDevMode(const std::string &bytes);
/* Writes a printer's global default DEVMODE (level 8) from the test. */
bool StoreDefaultDevMode(const std::wstring &name, const std::string &bytes);

#endif /* KIV_TRAYTEST_H */
