/*
 * Helpers for the tests of the setup program: a setup source folder in the
 * test's prefix, a run of the real kivsetup.exe under the test's debugger
 * with the dialog helper answering its messages, and read-back of what the
 * spooler and the registry hold afterwards.
 */
#ifndef KIV_SETUPTEST_H
#define KIV_SETUPTEST_H

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "debugrun.h"
#include "testsupport.h"

/* Where the tests put the setup source folder in their prefix. */
#define KIV_TEST_SETUP_DIR L"C:\\setupsrc"

/* How long one setup run may take before the test gives up on it. */
#define KIV_SETUP_RUN_MS 60000

/* The staged setup source folder of the build (target kivstage). */
std::wstring StageDir();
/* The stand-in tray: a process named kivtray.exe that only runs. */
std::wstring StandInTrayPath();
/* Copies the staged folder to dir, leaving out the names in skip. */
bool PrepareSetupFolder(const std::wstring &dir = KIV_TEST_SETUP_DIR,
                        const std::vector<std::wstring> &skip = {});

/* One AddFormW call as kivsetup made it. */
struct FormCall {
    ULONG_PTR hPrinter = 0;
    DWORD level = 0;
    DWORD flags = 0xdeadbeef;
    std::wstring name;
    LONG cx = 0, cy = 0;
    LONG left = -1, top = -1, right = -1, bottom = -1;
};

/* The AddPrinterDriverExW call. */
struct DriverCall {
    bool made = false;
    DWORD level = 0, copyFlags = 0;
    ULONG_PTR serverName = 0xdeadbeef;
    DWORD cVersion = 0;
    std::wstring name, environment, driverPath, dataFile, configFile, helpFile, monitorName,
        defaultDataType;
    std::vector<std::wstring> dependentFiles;
};

/* The AddPrinterW call. */
struct PrinterCall {
    bool made = false;
    DWORD level = 0;
    ULONG_PTR serverName = 0xdeadbeef;
    std::wstring serverField, printerName, shareName, portName, driverName, comment, location,
        sepFile, printProcessor, datatype, parameters;
    ULONG_PTR devMode = 0xdeadbeef, securityDescriptor = 0xdeadbeef;
    DWORD attributes = 0xdeadbeef, priority = 0xdeadbeef, defaultPriority = 0xdeadbeef,
          startTime = 0xdeadbeef, untilTime = 0xdeadbeef, status = 0xdeadbeef, cJobs = 0xdeadbeef,
          averagePPM = 0xdeadbeef;
};

/* The XcvDataW call. */
struct XcvCall {
    bool made = false;
    std::wstring dataName;
    std::wstring input;
    DWORD cbInput = 0, cbOutput = 0;
};

/* An OpenPrinterW call. */
struct OpenPrinterCall {
    std::wstring name;
    bool defaults = false;    /* a PRINTER_DEFAULTS was passed */
    ULONG_PTR datatype = 0xdeadbeef, devMode = 0xdeadbeef;
    DWORD access = 0;
};

/* A dialog of kivsetup's process as it stood at a moment. */
struct WindowSnapshot {
    std::string caption;
    std::string staticText;   /* control 0xFFFF */
    LONG style = 0, exStyle = 0;
    bool visible = false;
};
std::vector<WindowSnapshot> DialogsOfProcess(DWORD processId);

struct SetupRunOptions {
    std::wstring dir = KIV_TEST_SETUP_DIR;  /* current folder of kivsetup */
    /* The whole command line; empty: dir's kivsetup.exe, no arguments. */
    std::wstring commandLine;
    std::string press;                      /* dialog helper's button list */
    int dialogs = 0;                        /* message boxes expected */
    /* Platform calls made to fail, for failures the platform under test
     * cannot produce: kivsetup's call returns 0 with the error. */
    struct Failure {
        std::string function;    /* a hooked function kivsetup calls (RunSetup) */
        DWORD error;
        /* When set, only the calls for which it returns true fail. */
        std::function<bool(DebugRun &, const ULONG_PTR *args)> when;
    };
    std::vector<Failure> fail;
    /* Further calls to stop at (emulated ones, say). */
    std::vector<CallHook> hooks;
    /* Called at each trace line while kivsetup stands still. */
    std::function<void(const std::string &line, DWORD processId)> onTrace;
};

struct SetupRunResult {
    bool ran = false;
    std::string failure;
    DWORD exitCode = 0xdeadbeef;
    std::vector<std::string> trace;
    std::vector<DialogRecord> dialogs;   /* the message boxes, in order */
    std::vector<FormCall> forms;
    std::vector<std::wstring> deletedForms;   /* DeleteFormW's form names */
    DriverCall driver;
    PrinterCall printer;
    XcvCall xcv;
    std::vector<OpenPrinterCall> openPrinters;
    int deletePrinterCalls = 0;
    /* kivsetup's dialogs at its first trace line ("(starts)"). */
    std::vector<WindowSnapshot> dialogsAtStart;
};

/* For failure messages: trace lines, and the dialogs a run showed. */
std::string Join(const std::vector<std::string> &lines);
std::string DescribeDialogs(const std::vector<DialogRecord> &dialogs);

/* Runs kivsetup.exe from the staged copy in opt.dir. */
SetupRunResult RunSetup(const SetupRunOptions &opt);

/* Writes qprinter.ini (the exact bytes) into the setup folder. */
bool WriteOptionsFile(const std::string &content, const std::wstring &dir = KIV_TEST_SETUP_DIR);

/* The prefix's folders. */
std::wstring DriverDir();     /* GetPrinterDriverDirectoryW of the local machine */

/* The spooler's view. */
std::vector<std::wstring> LocalPrinterNames();
std::vector<std::wstring> LocalPortNames();
bool GetKivDriver(DRIVER_INFO_3W **ppInfo, std::vector<BYTE> *pBlock);
bool GetPrinterInfo2(const std::wstring &name, std::vector<BYTE> *pBlock);

/* Registry: a value's raw bytes and type. */
bool RegGetRaw(HKEY hRoot, const char *pszKey, const char *pszName, std::string *pData, DWORD *pType);
bool RegSetRaw(HKEY hRoot, const char *pszKey, const char *pszName, DWORD type, const std::string &data);
bool RegValueExists(HKEY hRoot, const char *pszKey, const char *pszName);
bool RegKeyDelete(HKEY hRoot, const char *pszKey);
/* The machine's autostart value "kivprt" (empty when there is none). */
std::string AgentRunValue();
/* What setup writes there: the installed agent's quoted path, "  -start". */
std::string InstalledAgentRunValue();

/* Wine's per-program Windows version for kivsetup.exe: "win2k", "winxp",
 * "nt40". */
bool SetSetupWindowsVersion(const char *pszVersion);

#endif /* KIV_SETUPTEST_H */
