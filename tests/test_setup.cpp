/*
 * The setup program kivsetup, end to end: the real kivsetup.exe runs in a
 * fresh Wine prefix of its own from a setup folder with the product's
 * files and the stand-in driver files, under the test's debugger (which
 * reads its trace lines and the records it hands the spooler) while the
 * dialog helper reads and answers its message boxes.  Afterwards the test
 * looks at what the spooler, the registry and the file system hold.
 */
#include <gtest/gtest.h>
#include <algorithm>
#include <map>

#include "kivarch.h"
#include "kivproduct.h"
#include "setuptest.h"
#include "standin.h"

#define CAPTION "Kiv Image Printer Setup"
#define TEXT_CONSENT "This will install Kiv Image Printer, do you wish to continue?"
#define TEXT_SUCCESS                                                                              \
    "Kiv Image Printer setup finished successfully. To use Kiv Image Printer, just print to Kiv " \
    "Image Printer from any Windows application that supports printing."
#define TEXT_FAILED_FILES "Kiv Image Printer setup failed!"
#define TEXT_FAILED_SPOOL "Kiv Image Printer setup failed, you may need to try the manual setup method instead!"
#define TEXT_CANCELLED "Kiv Image Printer Setup was cancelled!"
#define TEXT_WRONG_WINDOWS "Kiv Image Printer can only support Windows 2000/XP, setup has been cancelled!"

#define TRACE_STARTS "Kiv Image Printer(starts)"
#define TRACE_DELETE_KEY "Kiv Image Printer(delete key)"
#define TRACE_DELETE_PRINTER "Kiv Image Printer(delete old printer)"
#define TRACE_ADD_DRIVER "Kiv Image Printer(add driver)"
#define TRACE_ADD_PORT "Kiv Image Printer(add port)"
#define TRACE_ADD_PRINTER "Kiv Image Printer(add printer)"
#define TRACE_ADD_FORMS "Kiv Image Printer(add forms)"
#define TRACE_FINISHED "Kiv Image Printer setup finished"

#define RUN_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
/* The spooler's registration of the driver, under the environment of the
 * build under test. */
static std::string DriverKey()
{
    return "System\\CurrentControlSet\\Control\\Print\\Environments\\" + Narrow(KIV_DRIVER_ENVIRONMENT) +
           "\\Drivers\\Version-3\\Kiv Image Printer";
}

static const wchar_t *const kDriverFiles[] = {
    L"kiv.gpd", L"kivui.dll", L"kivuni.dll", L"kivuni.ini", L"unidrv.dll",
    L"unidrv.hlp", L"unidrvui.dll", L"unires.dll", L"stdnames.gpd",
};
static const wchar_t *const kInstallFiles[] = { L"kivtray.exe", L"kivres.dll", L"kivprt.exe", L"kivhlp.chm" };

struct ExpectedForm {
    const wchar_t *name;
    LONG width, height;   /* thousandths of a millimetre */
};
static const ExpectedForm kForms[16] = {
    { L"A0 (841 x 1189 mm)", 841000, 1189000 },
    { L"A1 (594 x 841 mm)", 594000, 841000 },
    { L"B0 ISO (1000 x 1414 mm)", 1000000, 1414000 },
    { L"B1 ISO (707 x 1000 mm)", 707000, 1000000 },
    { L"B2 ISO (500 x 707 mm)", 500000, 707000 },
    { L"B3 ISO (353 x 500 mm)", 353000, 500000 },
    { L"B0 JIS (1030 x 1456 mm)", 1030000, 1456000 },
    { L"B1 JIS (728 x 1030 mm)", 728000, 1030000 },
    { L"B2 JIS (515 x 728 mm)", 515000, 728000 },
    { L"B3 JIS (364 x 515 mm)", 364000, 515000 },
    { L"F size sheet", 710000, 1015000 },
    { L"Square 64 x  64 mm", 64000, 64000 },
    { L"Square 128 x 128 mm", 128000, 128000 },
    { L"Square 256 x 256 mm", 256000, 256000 },
    { L"Square 512 x 512 mm", 512000, 512000 },
    { L"Custom paper size", 216000, 279000 },
};

static bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

static bool ContainsW(const std::vector<std::wstring> &names, const std::wstring &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

static bool SameContent(const std::wstring &a, const std::wstring &b)
{
    std::string da, db;
    return ReadWholeFile(a, &da) && ReadWholeFile(b, &db) && !da.empty() && da == db;
}

/* The message boxes a run showed, compared caption, text and the button
 * pressed. */
static void ExpectDialogs(const SetupRunResult &r, const std::vector<std::pair<std::string, std::string>> &expected)
{
    ASSERT_EQ(r.dialogs.size(), expected.size()) << DescribeDialogs(r.dialogs);
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(r.dialogs[i].caption, expected[i].first) << "message " << i;
        EXPECT_EQ(r.dialogs[i].text, expected[i].second) << "message " << i;
    }
}

static void ExpectRanToEnd(const SetupRunResult &r)
{
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.exitCode, 0u);
}

/* ---- A fresh machine -------------------------------------------------- */

TEST(FreshMachine, InstallsDriverPortPrinterFormsAndFiles)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_FALSE(PathIsFile(KIV_TEST_SETUP_DIR L"\\qprinter.ini"));

    SetupRunOptions opt;
    opt.dialogs = 2;   /* the question (Yes, its default) and the success message */
    std::vector<std::wstring> stagedAtAddDriver;
    opt.onTrace = [&](const std::string &line, DWORD) {
        if (line != TRACE_ADD_DRIVER)
            return;
        for (const wchar_t *f : kDriverFiles)
            if (PathIsFile(DriverDir() + L"\\" + f))
                stagedAtAddDriver.push_back(f);
    };
    /* Wine's files have no streams: the deletions show what Windows does. */
    std::vector<std::wstring> deleted;
    CallHook deleteFile;
    deleteFile.dll = "kernel32.dll";
    deleteFile.function = "DeleteFileW";
    deleteFile.cArgs = 1;
    deleteFile.onCall = [&](DebugRun &run, const ULONG_PTR *args) { deleted.push_back(run.ReadWString(args[0])); };
    opt.hooks.push_back(deleteFile);
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);
    /* A downloaded help file's mark would make the help viewer refuse it. */
    EXPECT_NE(std::find(deleted.begin(), deleted.end(), InstallDir() + L"\\kivhlp.chm:Zone.Identifier"), deleted.end());

    /* What the user saw. */
    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    if (r.dialogs.size() == 2) {
        ASSERT_EQ(r.dialogs[0].buttons.size(), 2u);
        EXPECT_EQ(r.dialogs[0].buttons[0].first, IDYES);
        EXPECT_EQ(r.dialogs[0].buttons[1].first, IDNO);
        EXPECT_EQ(r.dialogs[0].pressed, IDYES);
        ASSERT_EQ(r.dialogs[1].buttons.size(), 1u);
        EXPECT_EQ(r.dialogs[1].buttons[0].first, IDOK);
    }
    /* The progress window stood while the installation ran. */
    ASSERT_EQ(r.dialogsAtStart.size(), 1u);
    EXPECT_TRUE(r.dialogsAtStart[0].visible);
    EXPECT_EQ(r.dialogsAtStart[0].caption, CAPTION);
    EXPECT_EQ(r.dialogsAtStart[0].staticText, "Please wait for the setup to complete...");
    EXPECT_EQ(r.dialogsAtStart[0].style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);

    /* The trace, in order. */
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER,
                                                  TRACE_ADD_PORT, TRACE_ADD_PRINTER, TRACE_ADD_FORMS,
                                                  TRACE_FINISHED }))
        << Join(r.trace);

    /* All nine driver files were staged for the registration. */
    EXPECT_EQ(stagedAtAddDriver.size(), 9u);

    /* The driver registration as it was handed over. */
    ASSERT_TRUE(r.driver.made);
    EXPECT_EQ(r.driver.serverName, 0u);
    EXPECT_EQ(r.driver.level, 3u);
    EXPECT_EQ(r.driver.copyFlags, (DWORD)APD_COPY_NEW_FILES);
    EXPECT_EQ(r.driver.cVersion, 3u);
    EXPECT_EQ(r.driver.name, L"Kiv Image Printer");
    EXPECT_EQ(r.driver.environment, KIV_DRIVER_ENVIRONMENT);
    EXPECT_EQ(r.driver.driverPath, L"unidrv.dll");
    EXPECT_EQ(r.driver.dataFile, L"kiv.gpd");
    EXPECT_EQ(r.driver.configFile, L"unidrvui.dll");
    EXPECT_EQ(r.driver.helpFile, L"unidrv.hlp");
    EXPECT_EQ(r.driver.dependentFiles, (std::vector<std::wstring>{ L"unires.dll", L"kivuni.ini", L"kivuni.dll",
                                                                   L"kivui.dll", L"stdnames.gpd" }));
    EXPECT_EQ(r.driver.monitorName, L"(null)");
    EXPECT_EQ(r.driver.defaultDataType, L"RAW");

    /* The printer creation record as it was handed over. */
    ASSERT_TRUE(r.printer.made);
    EXPECT_EQ(r.printer.serverName, 0u);
    EXPECT_EQ(r.printer.level, 2u);
    EXPECT_EQ(r.printer.serverField, L"(null)");
    EXPECT_EQ(r.printer.printerName, L"Kiv Image Printer");
    EXPECT_EQ(r.printer.shareName, L"(null)");
    EXPECT_EQ(r.printer.portName, L"kiv");
    EXPECT_EQ(r.printer.driverName, L"Kiv Image Printer");
    EXPECT_EQ(r.printer.comment, L"");
    /* The product home page, the address the tray opens too. */
    EXPECT_EQ(r.printer.location, KIV_HOMEPAGE_URL_W);
    EXPECT_EQ(r.printer.devMode, 0u);
    EXPECT_EQ(r.printer.sepFile, L"(null)");
    EXPECT_EQ(r.printer.printProcessor, L"WinPrint");
    EXPECT_EQ(r.printer.datatype, L"RAW");
    EXPECT_EQ(r.printer.parameters, L"(null)");
    EXPECT_EQ(r.printer.securityDescriptor, 0u);
    EXPECT_EQ(r.printer.attributes, 0u);
    EXPECT_EQ(r.printer.priority, 0u);
    EXPECT_EQ(r.printer.defaultPriority, 0u);
    EXPECT_EQ(r.printer.startTime, 0u);
    EXPECT_EQ(r.printer.untilTime, 0u);
    EXPECT_EQ(r.printer.status, 0u);
    EXPECT_EQ(r.printer.cJobs, 0u);
    EXPECT_EQ(r.printer.averagePPM, 0u);

    /* The port "kiv" through the local port monitor. */
    ASSERT_TRUE(r.xcv.made);
    EXPECT_EQ(r.xcv.dataName, L"AddPort");
    EXPECT_EQ(r.xcv.input, L"kiv");
    EXPECT_EQ(r.xcv.cbInput, 8u);
    EXPECT_EQ(r.xcv.cbOutput, 100u);

    /* Sixteen forms, in order, on the opened printer. */
    ASSERT_EQ(r.forms.size(), 16u);
    for (size_t i = 0; i < 16; i++) {
        const FormCall &f = r.forms[i];
        EXPECT_NE(f.hPrinter, 0u) << "form " << i;
        EXPECT_EQ(f.level, 1u) << "form " << i;
        EXPECT_EQ(f.flags, (DWORD)FORM_USER) << "form " << i;
        EXPECT_EQ(f.name, kForms[i].name) << "form " << i;
        EXPECT_EQ(f.cx, kForms[i].width) << "form " << i;
        EXPECT_EQ(f.cy, kForms[i].height) << "form " << i;
        EXPECT_EQ(f.left, 0) << "form " << i;
        EXPECT_EQ(f.top, 0) << "form " << i;
        EXPECT_EQ(f.right, kForms[i].width) << "form " << i;
        EXPECT_EQ(f.bottom, kForms[i].height) << "form " << i;
    }

    /* The spooler's view afterwards. */
    DRIVER_INFO_3W *pDriver = NULL;
    std::vector<BYTE> driverBlock;
    ASSERT_TRUE(GetKivDriver(&pDriver, &driverBlock));
    EXPECT_EQ(pDriver->cVersion, 3u);
    EXPECT_STREQ(pDriver->pEnvironment, KIV_DRIVER_ENVIRONMENT);
    EXPECT_TRUE(std::wstring(pDriver->pConfigFile).find(L"unidrvui.dll") != std::wstring::npos);
    EXPECT_TRUE(std::wstring(pDriver->pDataFile).find(L"kiv.gpd") != std::wstring::npos);
    EXPECT_TRUE(ContainsW(LocalPortNames(), L"kiv"));
    std::vector<BYTE> printerBlock;
    ASSERT_TRUE(GetPrinterInfo2(L"Kiv Image Printer", &printerBlock));
    const PRINTER_INFO_2W *pPrinter = (const PRINTER_INFO_2W *)printerBlock.data();
    EXPECT_STREQ(pPrinter->pPortName, L"kiv");
    EXPECT_STREQ(pPrinter->pDriverName, L"Kiv Image Printer");
    EXPECT_STREQ(pPrinter->pPrintProcessor, L"WinPrint");
    EXPECT_STREQ(pPrinter->pDatatype, L"RAW");
    EXPECT_EQ(std::wstring(pPrinter->pLocation), r.printer.location);

    /* The files: the image library in the system folder, the programs in
     * the install folder, and no staged driver file left behind. */
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivimg30.dll", SystemDir() + L"\\kivimg30.dll"));
    for (const wchar_t *f : kInstallFiles)
        EXPECT_TRUE(SameContent(std::wstring(KIV_TEST_SETUP_DIR L"\\") + f, InstallDir() + L"\\" + f)) << Narrow(f);
    for (const wchar_t *f : kDriverFiles)
        EXPECT_FALSE(PathIsFile(DriverDir() + L"\\" + f)) << Narrow(f) << " left in the printer-driver folder";

    /* The agent's autostart value, for every user's logon; no tray's. */
    EXPECT_EQ(AgentRunValue(), InstalledAgentRunValue());
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray"));
}

/* ---- Helpers for the situations below --------------------------------- */

#define QUIET_OPTIONS "first=0\nfinal=0\nstatus=0\n"

/* Installs once without any dialog, as the starting point of a test about
 * a later run; leaves the setup folder without an options file. */
static void InstallQuietly()
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    SetupRunResult r = RunSetup(SetupRunOptions());
    ExpectRanToEnd(r);
    ASSERT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    ASSERT_TRUE(Contains(r.trace, TRACE_FINISHED)) << Join(r.trace);
    ASSERT_TRUE(DeleteFileW(KIV_TEST_SETUP_DIR L"\\qprinter.ini"));
}

/* A run after a failed one, with the cause of the failure gone,
 * completes: the failed run left nothing behind that is in its way. */
static void ExpectRerunCompletes()
{
    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);
    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_TRUE(Contains(r.trace, TRACE_FINISHED)) << Join(r.trace);
    EXPECT_TRUE(ContainsW(LocalPrinterNames(), L"Kiv Image Printer"));
}

/* Every file of a folder with its bytes. */
static std::map<std::wstring, std::string> FolderContent(const std::wstring &dir)
{
    std::map<std::wstring, std::string> files;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return files;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ReadWholeFile(dir + L"\\" + fd.cFileName, &files[fd.cFileName]);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return files;
}

/* The names whose bytes differ between two looks at a folder, or that
 * only one of them has. */
static std::string FolderChanges(const std::map<std::wstring, std::string> &before,
                                 const std::map<std::wstring, std::string> &after)
{
    std::string changed;
    for (const auto &f : before) {
        auto it = after.find(f.first);
        if (it == after.end() || it->second != f.second)
            changed += " " + Narrow(f.first);
    }
    for (const auto &f : after)
        if (!before.count(f.first))
            changed += " " + Narrow(f.first) + "(new)";
    return changed;
}

/* Holds a file open as a running program holds its own files: it can be
 * neither deleted nor overwritten. */
static HANDLE HoldOpen(const std::wstring &path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
}

static bool DriverInstalled()
{
    DRIVER_INFO_3W *pDriver = NULL;
    std::vector<BYTE> block;
    return GetKivDriver(&pDriver, &block);
}

static bool AddTestPrinter(const std::wstring &name)
{
    std::vector<WCHAR> szName(name.begin(), name.end());
    WCHAR szPort[] = L"kiv", szDriver[] = L"Kiv Image Printer", szProcessor[] = L"WinPrint", szRaw[] = L"RAW";
    PRINTER_INFO_2W info;
    HANDLE h;

    szName.push_back(0);
    ZeroMemory(&info, sizeof(info));
    info.pPrinterName = szName.data();
    info.pPortName = szPort;
    info.pDriverName = szDriver;
    info.pPrintProcessor = szProcessor;
    info.pDatatype = szRaw;
    h = AddPrinterW(NULL, 2, (LPBYTE)&info);
    if (!h)
        return false;
    ClosePrinter(h);
    return true;
}

static bool DeleteTestPrinter(const std::wstring &name)
{
    std::vector<WCHAR> szName(name.begin(), name.end());
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE h = NULL;
    bool ok;

    szName.push_back(0);
    if (!OpenPrinterW(szName.data(), &h, &defaults))
        return false;
    ok = DeletePrinter(h) != FALSE;
    ClosePrinter(h);
    return ok;
}

/* ---- A second run over a complete installation ------------------------ */

TEST(SecondRun, ReplacesPrinterAndDriverFilesAndKeepsThePort)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());

    /* Where the spooler keeps the installed driver's files. */
    DRIVER_INFO_3W *pDriver = NULL;
    std::vector<BYTE> driverBlock;
    ASSERT_TRUE(GetKivDriver(&pDriver, &driverBlock));
    std::wstring dataFile = pDriver->pDataFile;
    std::wstring driverFolder = dataFile.substr(0, dataFile.find_last_of(L'\\'));
    ASSERT_TRUE(PathIsFile(driverFolder + L"\\kivui.dll"));

    SetupRunOptions opt;
    opt.dialogs = 2;
    std::vector<std::wstring> ownFilesAtAddDriver;
    bool unidrvAtAddDriver = false;
    std::vector<std::wstring> printersAtAddDriver;
    opt.onTrace = [&](const std::string &line, DWORD) {
        if (line != TRACE_ADD_DRIVER)
            return;
        for (const wchar_t *f : { L"kiv.gpd", L"kivui.dll", L"kivuni.dll", L"kivuni.ini" })
            if (PathIsFile(driverFolder + L"\\" + f))
                ownFilesAtAddDriver.push_back(f);
        unidrvAtAddDriver = PathIsFile(driverFolder + L"\\unidrv.dll");
        printersAtAddDriver = LocalPrinterNames();
    };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_DELETE_PRINTER,
                                                  TRACE_ADD_DRIVER, TRACE_ADD_PRINTER, TRACE_ADD_FORMS,
                                                  TRACE_FINISHED }))
        << Join(r.trace);
    /* The earlier printer was gone before the new one was made, and the
     * earlier driver's own files, not the Universal Printer Driver's. */
    EXPECT_EQ(r.deletePrinterCalls, 1);
    EXPECT_FALSE(ContainsW(printersAtAddDriver, L"Kiv Image Printer"));
    EXPECT_TRUE(ownFilesAtAddDriver.empty()) << Narrow(ownFilesAtAddDriver.empty() ? L"" : ownFilesAtAddDriver[0]);
    EXPECT_TRUE(unidrvAtAddDriver);
    /* No port step, the port is still there; the forms were offered again. */
    EXPECT_FALSE(r.xcv.made);
    EXPECT_TRUE(ContainsW(LocalPortNames(), L"kiv"));
    EXPECT_EQ(r.forms.size(), 16u);
    EXPECT_TRUE(ContainsW(LocalPrinterNames(), L"Kiv Image Printer"));
    EXPECT_TRUE(PathIsFile(driverFolder + L"\\kivui.dll"));
    /* The old printer was opened for deletion with full access. */
    ASSERT_FALSE(r.openPrinters.empty());
    EXPECT_EQ(r.openPrinters[0].name, L"Kiv Image Printer");
    EXPECT_EQ(r.openPrinters[0].access, (DWORD)PRINTER_ALL_ACCESS);
    EXPECT_EQ(r.openPrinters[0].datatype, 0u);
    EXPECT_EQ(r.openPrinters[0].devMode, 0u);
}

TEST(SecondRun, LeavesAUsersCopyOfThePrinterAlone)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());
    /* Only the copy is left: a name with the three words that is not the
     * exact printer name. */
    ASSERT_TRUE(AddTestPrinter(L"Kiv Image Printer (Copy 2)"));
    ASSERT_TRUE(DeleteTestPrinter(L"Kiv Image Printer"));

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_FALSE(Contains(r.trace, TRACE_DELETE_PRINTER)) << Join(r.trace);
    EXPECT_EQ(r.deletePrinterCalls, 0);
    std::vector<std::wstring> printers = LocalPrinterNames();
    EXPECT_TRUE(ContainsW(printers, L"Kiv Image Printer (Copy 2)"));
    EXPECT_TRUE(ContainsW(printers, L"Kiv Image Printer"));
}

/* ---- Programs of an earlier installation still running ---------------- */

TEST(RunningPrograms, AgentAndTrayAreEndedAndTheirRunValuesDeleted)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));

    /* The agent writes its own autostart value when it starts. */
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    ASSERT_TRUE(WaitFor([] { return RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"); }));
    HANDLE hTray = Launch(L"\"" + StandInTrayPath() + L"\"");
    ASSERT_TRUE(hTray != NULL);
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", Narrow(InstallDir() + L"\\kivtray.exe")));
    ASSERT_EQ(WaitForSingleObject(hTray, 0), (DWORD)WAIT_TIMEOUT);

    SetupRunResult r = RunSetup(SetupRunOptions());
    ExpectRanToEnd(r);
    EXPECT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    EXPECT_TRUE(Contains(r.trace, TRACE_FINISHED)) << Join(r.trace);

    /* Both were ended by setup (exit code 0) before it went on. */
    DWORD agentCode = 1, trayCode = 1;
    EXPECT_TRUE(WaitExit(agent.hProcess, 0, &agentCode));
    EXPECT_EQ(agentCode, 0u);
    EXPECT_TRUE(WaitExit(hTray, 0, &trayCode));
    EXPECT_EQ(trayCode, 0u);
    CloseHandle(hTray);
    /* The agent's value now names the new copy, for every user's logon. */
    EXPECT_EQ(AgentRunValue(), InstalledAgentRunValue());
    /* The tray's value was set: it is kept, naming the new copy. */
    std::string trayRun;
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", &trayRun));
    EXPECT_EQ(trayRun, "\"" + Narrow(InstallDir()) + "\\kivtray.exe\"");
    /* And their new copies are in place (setup starts neither). */
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivprt.exe", InstallDir() + L"\\kivprt.exe"));
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivtray.exe", InstallDir() + L"\\kivtray.exe"));
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivres.dll", InstallDir() + L"\\kivres.dll"));
}

/* Another user's copy: its process lets an administrator in only with
 * SeDebugPrivilege enabled, as on Windows, where its DACL grants its owner
 * and LocalSystem alone. */
TEST(RunningPrograms, AnotherUsersCopyIsEndedWithTheDebugPrivilegeThenDisabledAgain)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    HANDLE hTray = Launch(L"\"" + StandInTrayPath() + L"\"");
    ASSERT_TRUE(hTray != NULL);
    const DWORD trayId = GetProcessId(hTray);
    bool enabled = false;
    std::vector<bool> states;

    SetupRunOptions opt;
    opt.hooks.resize(2);
    opt.hooks[0].dll = opt.hooks[1].dll = "kernelbase.dll";
    opt.hooks[0].function = "AdjustTokenPrivileges";
    opt.hooks[0].cArgs = 6;
    opt.hooks[0].onCall = [&](DebugRun &r, const ULONG_PTR *a) {
        /* TOKEN_PRIVILEGES: a count, then each LUID and its attributes. */
        enabled = r.ReadDword(a[2]) > 0 && (r.ReadDword(a[2] + 12) & SE_PRIVILEGE_ENABLED);
        states.push_back(enabled);
    };
    opt.hooks[1].function = "OpenProcess";
    opt.hooks[1].cArgs = 3;
    opt.hooks[1].fail = true;
    opt.hooks[1].dwError = ERROR_ACCESS_DENIED;
    opt.hooks[1].failIf = [&](DebugRun &, const ULONG_PTR *a) { return (DWORD)a[2] == trayId && !enabled; };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);
    EXPECT_TRUE(WaitExit(hTray, 0, NULL)) << "the tray still runs";
    EXPECT_EQ(states, (std::vector<bool>{ true, false }));
    CloseHandle(hTray);
}

/* ---- File steps that fail ---------------------------------------------- */

TEST(FileFailure, MissingUniversalDriverSourceStopsTheRunEvenWhenTheSystemHasIt)
{
    ASSERT_TRUE(PrepareSetupFolder(KIV_TEST_SETUP_DIR, { L"unires.dll" }));
    ASSERT_TRUE(WriteWholeFile(DriverDir() + L"\\unires.dll", "the system's own copy"));

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Cannot find  file  unires.dll  in current directoy" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS })) << Join(r.trace);
    EXPECT_FALSE(r.driver.made);
}

TEST(FileFailure, MissingInstallFolderSource)
{
    ASSERT_TRUE(PrepareSetupFolder(KIV_TEST_SETUP_DIR, { L"kivhlp.chm" }));

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Cannot find kivhlp.chm in current directoy" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS })) << Join(r.trace);
    EXPECT_FALSE(r.driver.made);
}

TEST(FileFailure, ImageLibraryHeldOpenByAnotherProgram)
{
    ASSERT_TRUE(PrepareSetupFolder());
    std::wstring target = SystemDir() + L"\\kivimg30.dll";
    ASSERT_TRUE(WriteWholeFile(target, "an image library in use"));
    /* Open without FILE_SHARE_DELETE or FILE_SHARE_WRITE, as a loaded
     * library is: it can be neither deleted nor overwritten. */
    HANDLE hHeld = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    CloseHandle(hHeld);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to update kivimg30.dll in " + Narrow(SystemDir()) +
                                      ", it is being used by Windows, you may need to close all applications "
                                      "or restart Windows and then try again!" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_FALSE(r.driver.made);
    std::string content;
    EXPECT_TRUE(ReadWholeFile(target, &content));
    EXPECT_EQ(content, "an image library in use");

    /* Once the program has let go of it, the next run replaces it. */
    ASSERT_NO_FATAL_FAILURE(ExpectRerunCompletes());
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivimg30.dll", target));
}

TEST(FileFailure, InstallFolderCannotBeCreated)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* A file where the folder should be. */
    ASSERT_TRUE(WriteWholeFile(InstallDir(), "not a folder"));

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Folder creation error", "Unable to create folder " + Narrow(InstallDir()) + "!" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_FALSE(r.driver.made);
    EXPECT_TRUE(PathIsFile(InstallDir()));

    ASSERT_TRUE(DeleteFileW(InstallDir().c_str()));
    ASSERT_NO_FATAL_FAILURE(ExpectRerunCompletes());
    EXPECT_TRUE(PathIsFile(InstallDir() + L"\\kivprt.exe"));
}

/* A file of the printer-driver folder and one of the install folder, each
 * held open in turn: the step's message, and a re-run completes. */
TEST(FileFailure, AFileInUseInTheDriverOrInstallFolderThenARerunCompletes)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(CreateDirectoryW(InstallDir().c_str(), NULL));
    const struct {
        std::wstring held;
        std::string message;
    } cases[] = {
        { DriverDir() + L"\\kiv.gpd", "Unalbe to copy file kiv.gpd to " + Narrow(DriverDir()) + "\\kiv.gpd!" },
        /* The folder as setup names it, with its trailing backslash. */
        { InstallDir() + L"\\kivhlp.chm",
          "Unable to update kivhlp.chm in " + Narrow(InstallDir()) +
              "\\, it is being used by Windows, you may need to close all applications or restart Windows and "
              "then try again!" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.held));
        ASSERT_TRUE(WriteWholeFile(c.held, "a file in use"));
        HANDLE hHeld = HoldOpen(c.held);
        ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
        SetupRunOptions opt;
        opt.dialogs = 3;
        SetupRunResult r = RunSetup(opt);
        CloseHandle(hHeld);
        ExpectRanToEnd(r);
        ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { "Error", c.message }, { CAPTION, TEXT_FAILED_FILES } });
        EXPECT_FALSE(r.driver.made);
        ASSERT_NO_FATAL_FAILURE(ExpectRerunCompletes());
    }
    EXPECT_FALSE(PathIsFile(DriverDir() + L"\\kiv.gpd"));
    EXPECT_TRUE(SameContent(KIV_TEST_SETUP_DIR L"\\kivhlp.chm", InstallDir() + L"\\kivhlp.chm"));
}

TEST(FileFailure, DriverFileThatCannotBeReadStopsTheRun)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* Held open without any sharing: it exists, but cannot be copied. */
    HANDLE hHeld = CreateFileW(KIV_TEST_SETUP_DIR L"\\kiv.gpd", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    CloseHandle(hHeld);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unalbe to copy file kiv.gpd to " + Narrow(DriverDir()) + "\\kiv.gpd!" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_FALSE(r.driver.made);
    EXPECT_FALSE(PathIsFile(DriverDir() + L"\\kivui.dll"));
}

TEST(FileFailure, SystemFileThatCannotBeReadNamesTheTarget)
{
    ASSERT_TRUE(PrepareSetupFolder());
    std::wstring target = SystemDir() + L"\\kivimg30.dll";
    ASSERT_TRUE(WriteWholeFile(target, "an earlier image library"));
    HANDLE hHeld = CreateFileW(KIV_TEST_SETUP_DIR L"\\kivimg30.dll", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    CloseHandle(hHeld);
    ExpectRanToEnd(r);

    /* The earlier file was deleted before the copy failed: the message
     * names the full target, without an exclamation mark. */
    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unalbe to copy file kivimg30.dll to " + Narrow(target) },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_FALSE(PathIsFile(target));
    EXPECT_FALSE(r.driver.made);
}

/* ---- Universal Printer Driver files the system has already ----------- */

TEST(FileSteps, UniversalDriverFileAlreadyPresentIsKeptThenRemoved)
{
    ASSERT_TRUE(PrepareSetupFolder());
    std::wstring present = DriverDir() + L"\\unires.dll";
    ASSERT_TRUE(WriteWholeFile(present, "the system's own unires.dll"));

    SetupRunOptions opt;
    opt.dialogs = 2;
    std::string atAddDriver = "(absent)";
    std::string ownAtAddDriver;
    opt.onTrace = [&](const std::string &line, DWORD) {
        if (line != TRACE_ADD_DRIVER)
            return;
        ReadWholeFile(present, &atAddDriver);
        ReadWholeFile(DriverDir() + L"\\kiv.gpd", &ownAtAddDriver);
    };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    /* Not copied over the system's file... */
    EXPECT_EQ(atAddDriver, "the system's own unires.dll");
    /* ...while this system's own files always are. */
    std::string source;
    ASSERT_TRUE(ReadWholeFile(KIV_TEST_SETUP_DIR L"\\kiv.gpd", &source));
    EXPECT_EQ(ownAtAddDriver, source);
    /* And removed at the end all the same. */
    EXPECT_FALSE(PathIsFile(present));
}

TEST(FileSteps, RunFromTheInstallFolderLeavesItsFilesInPlace)
{
    /* The product unpacked into the install folder and set up from there:
     * the install-folder files are their own targets. */
    ASSERT_TRUE(PrepareSetupFolder(InstallDir()));
    std::map<std::wstring, std::string> before = FolderContent(InstallDir());

    SetupRunOptions opt;
    opt.dir = InstallDir();
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_EQ(FolderChanges(before, FolderContent(InstallDir())), "");
}

/* ---- Spooler steps that fail ------------------------------------------- */

TEST(SpoolerFailure, StoppedSpoolerLeavesTheSetupFolderAsItWas)
{
    ASSERT_TRUE(PrepareSetupFolder());
    std::map<std::wstring, std::string> before = FolderContent(KIV_TEST_SETUP_DIR);
    ASSERT_FALSE(before.empty());

    SetupRunOptions opt;
    opt.dialogs = 3;
    /* Wine's spooler runs in each program and cannot be stopped: every
     * spooler call answers as it does on Windows when the service is
     * stopped. */
    for (const char *pszCall : { "EnumPrintersW", "EnumPrinterDriversW", "EnumPortsW", "GetPrinterDriverDirectoryW",
                                 "AddPrinterDriverExW", "OpenPrinterW", "AddPrinterW", "XcvDataW", "DeletePrinter",
                                 "AddFormW" })
        opt.fail.push_back({ pszCall, RPC_S_SERVER_UNAVAILABLE, nullptr });
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to find the printer driver folder, the print spooler service may not be "
                                  "running!" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY })) << Join(r.trace);
    EXPECT_EQ(FolderChanges(before, FolderContent(KIV_TEST_SETUP_DIR)), "");

    /* The spooler started again. */
    ASSERT_NO_FATAL_FAILURE(ExpectRerunCompletes());
}

TEST(SpoolerFailure, DriverCannotBeRegistered)
{
    ASSERT_TRUE(PrepareSetupFolder());

    SetupRunOptions opt;
    opt.dialogs = 3;
    /* Wine registers a driver whatever its files are: the refusal is made
     * at the call. */
    opt.fail = { { "AddPrinterDriverExW", ERROR_ACCESS_DENIED, nullptr } };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to Add Kiv Image Printer driver" },
                       { CAPTION, TEXT_FAILED_SPOOL } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER })) << Join(r.trace);
    EXPECT_TRUE(r.driver.made);
    EXPECT_FALSE(r.xcv.made);
    EXPECT_FALSE(r.printer.made);
    EXPECT_FALSE(DriverInstalled());
    /* The files were copied before; nothing is undone. */
    EXPECT_TRUE(PathIsFile(InstallDir() + L"\\kivtray.exe"));
}

TEST(SpoolerFailure, PortMonitorCannotBeOpened)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(RegKeyDelete(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port"));

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to Open XcvMonitor, you may need to manually create the kiv local printer "
                                  "port first!" },
                       { CAPTION, TEXT_FAILED_SPOOL } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER, TRACE_ADD_PORT }))
        << Join(r.trace);
    EXPECT_FALSE(r.xcv.made);
    EXPECT_FALSE(r.printer.made);
    /* It was asked for the way a port is added. */
    ASSERT_EQ(r.openPrinters.size(), 1u);
    EXPECT_EQ(r.openPrinters[0].name, L",XcvMonitor Local Port");
    EXPECT_EQ(r.openPrinters[0].access, (DWORD)SERVER_ACCESS_ADMINISTER);
}

TEST(SpoolerFailure, AddPortIsRefused)
{
    ASSERT_TRUE(PrepareSetupFolder());

    SetupRunOptions opt;
    opt.dialogs = 3;
    /* Wine's local port monitor answers every "AddPort" with success. */
    opt.fail = { { "XcvDataW", ERROR_ACCESS_DENIED, nullptr } };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to create local printer port kiv, you may need to manually create the kiv "
                                  "printer port first!" },
                       { CAPTION, TEXT_FAILED_SPOOL } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER, TRACE_ADD_PORT }))
        << Join(r.trace);
    EXPECT_TRUE(r.xcv.made);
    EXPECT_FALSE(r.printer.made);
    EXPECT_FALSE(ContainsW(LocalPortNames(), L"kiv"));
}

TEST(SpoolerFailure, PrinterCannotBeCreated)
{
    ASSERT_TRUE(PrepareSetupFolder());

    SetupRunOptions opt;
    opt.dialogs = 3;
    /* The driver's registration disappears between its registration and
     * the printer's creation, so the spooler refuses the printer
     * (ERROR_UNKNOWN_PRINTER_DRIVER): setup stands still at its trace line
     * while the test removes it. */
    bool driverRemoved = false;
    opt.onTrace = [&](const std::string &line, DWORD) {
        if (line == TRACE_ADD_PRINTER)
            driverRemoved = RegKeyDelete(HKEY_LOCAL_MACHINE, DriverKey().c_str());
    };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    EXPECT_TRUE(driverRemoved);
    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Unable to Add Kiv Image Printer" },
                       { CAPTION, TEXT_FAILED_SPOOL } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER, TRACE_ADD_PORT,
                                                  TRACE_ADD_PRINTER }))
        << Join(r.trace);
    EXPECT_TRUE(r.printer.made);
    EXPECT_FALSE(ContainsW(LocalPrinterNames(), L"Kiv Image Printer"));
    /* The sequence stopped before its clean-up: the staged files are left. */
    EXPECT_TRUE(PathIsFile(DriverDir() + L"\\kiv.gpd"));
    EXPECT_TRUE(r.forms.empty());
}

TEST(SpoolerFailure, EarlierPrinterCannotBeDeleted)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());

    SetupRunOptions opt;
    opt.dialogs = 4;
    /* Wine deletes any printer it is asked to, and it creates a printer
     * over one of the same name, where Windows refuses with
     * ERROR_PRINTER_ALREADY_EXISTS: both answers are given at the call,
     * the second only while the spooler still lists the printer. */
    opt.fail = { { "DeletePrinter", ERROR_ACCESS_DENIED, nullptr },
                 { "AddPrinterW", ERROR_PRINTER_ALREADY_EXISTS, [](DebugRun &run, const ULONG_PTR *args) {
                       std::wstring name = run.ReadWString(run.ReadPointer(args[2] + offsetof(PRINTER_INFO_2W, pPrinterName)));
                       return ContainsW(LocalPrinterNames(), name);
                   } } };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Warning", "Unable to delete the existing Kiv Image Printer, you may need to manually delete "
                                    "the existing Kiv Image Printer first!" },
                       { "Error", "Unable to Add Kiv Image Printer" },
                       { CAPTION, TEXT_FAILED_SPOOL } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_DELETE_PRINTER,
                                                  TRACE_ADD_DRIVER, TRACE_ADD_PRINTER }))
        << Join(r.trace);
    EXPECT_EQ(r.deletePrinterCalls, 1);
    EXPECT_TRUE(ContainsW(LocalPrinterNames(), L"Kiv Image Printer"));
}

TEST(SpoolerFailure, FormsWithoutAnOpenPrinterStillSucceed)
{
    ASSERT_TRUE(PrepareSetupFolder());

    SetupRunOptions opt;
    opt.dialogs = 2;
    opt.fail = { { "OpenPrinterW", ERROR_ACCESS_DENIED, [](DebugRun &run, const ULONG_PTR *args) {
                       return run.ReadWString(args[0]) == L"Kiv Image Printer";
                   } } };
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_TRUE(Contains(r.trace, TRACE_ADD_FORMS)) << Join(r.trace);
    EXPECT_EQ(r.trace.back(), TRACE_FINISHED);
    EXPECT_TRUE(r.forms.empty());
    /* The forms step asked for the printer with full access. */
    ASSERT_FALSE(r.openPrinters.empty());
    EXPECT_EQ(r.openPrinters.back().name, L"Kiv Image Printer");
    EXPECT_EQ(r.openPrinters.back().access, (DWORD)PRINTER_ALL_ACCESS);
}

/* ---- The port under other spellings ------------------------------------ */

TEST(PortSpelling, UpperCaseKivCountsAsPresent)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(AddLocalPort(L"KIV"));

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_FALSE(Contains(r.trace, TRACE_ADD_PORT)) << Join(r.trace);
    EXPECT_FALSE(r.xcv.made);
    EXPECT_EQ(r.trace.back(), TRACE_FINISHED);
}

TEST(PortSpelling, OddCaseKivCountsAsAbsent)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(AddLocalPort(L"kIv"));

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_TRUE(Contains(r.trace, TRACE_ADD_PORT)) << Join(r.trace);
    ASSERT_TRUE(r.xcv.made);
    EXPECT_EQ(r.xcv.input, L"kiv");
    EXPECT_EQ(r.trace.back(), TRACE_FINISHED);
}

/* ---- The options file --------------------------------------------------- */

TEST(OptionsFile, AllSwitchesOffShowNothingAndTraceTheEnd)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));

    SetupRunResult r = RunSetup(SetupRunOptions());
    ExpectRanToEnd(r);

    EXPECT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    EXPECT_TRUE(r.dialogsAtStart.empty()) << "a progress window was shown";
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_ADD_DRIVER,
                                                  TRACE_ADD_PORT, TRACE_ADD_PRINTER, TRACE_ADD_FORMS,
                                                  TRACE_FINISHED }))
        << Join(r.trace);
    EXPECT_TRUE(ContainsW(LocalPrinterNames(), L"Kiv Image Printer"));
}

TEST(OptionsFile, AllSwitchesOffStillShowFailures)
{
    ASSERT_TRUE(PrepareSetupFolder(KIV_TEST_SETUP_DIR, { L"kiv.gpd" }));
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { "Error", "Cannot find  file  kiv.gpd  in current directoy" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_TRUE(r.dialogsAtStart.empty());
    EXPECT_FALSE(Contains(r.trace, TRACE_FINISHED));
}

TEST(OptionsFile, ASemicolonLineIsNoComment)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* Switches the question off; the rest stays on. */
    ASSERT_TRUE(WriteOptionsFile(";first=0\r\n"));

    SetupRunOptions opt;
    opt.dialogs = 1;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_SUCCESS } });
    EXPECT_EQ(r.dialogsAtStart.size(), 1u);
}

/* ---- Windows versions and the driver-signing policy --------------------- */

#define SIGNING_KEY "SOFTWARE\\Microsoft\\Driver Signing"

static std::string PolicyBytes(DWORD *pType = NULL)
{
    std::string data;
    DWORD type = 0;
    if (!RegGetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", &data, &type))
        return "(absent)";
    if (pType)
        *pType = type;
    return data;
}

static std::string OneByte(int b)
{
    return std::string(1, (char)b);
}

/* Runs setup and returns the policy as it stood while the installation
 * ran (at its first trace line). */
static std::string RunAndReadPolicyDuring(SetupRunOptions opt, SetupRunResult *pResult, DWORD *pTypeDuring)
{
    std::string during = "(not read)";
    opt.onTrace = [&](const std::string &line, DWORD) {
        if (line == TRACE_STARTS)
            during = PolicyBytes(pTypeDuring);
    };
    *pResult = RunSetup(opt);
    return during;
}

TEST(WindowsVersion, NT40GetsOnlyTheVersionMessage)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(SetSetupWindowsVersion("nt40"));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt", "C:\\old\\kivprt.exe  -start"));

    SetupRunOptions opt;
    opt.dialogs = 1;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_WRONG_WINDOWS } });
    if (!r.dialogs.empty()) {
        EXPECT_EQ(r.dialogs[0].buttons.size(), 1u);
    }
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"));
    EXPECT_FALSE(PathIsFolder(InstallDir()));
    EXPECT_FALSE(DriverInstalled());
}

TEST(WindowsVersion, Windows2000ClearsThePolicyAndRestoresIt)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_BINARY, OneByte(1)));

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r;
    DWORD typeDuring = 0, typeAfter = 0;
    std::string during = RunAndReadPolicyDuring(opt, &r, &typeDuring);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_EQ(during, OneByte(0));
    EXPECT_EQ(typeDuring, (DWORD)REG_BINARY);
    EXPECT_EQ(PolicyBytes(&typeAfter), OneByte(1));
    EXPECT_EQ(typeAfter, (DWORD)REG_BINARY);
}

TEST(WindowsVersion, Windows2000RestoresThePolicyAfterAFailure)
{
    ASSERT_TRUE(PrepareSetupFolder(KIV_TEST_SETUP_DIR, { L"kivimg30.dll" }));
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_BINARY, OneByte(2)));

    SetupRunOptions opt;
    opt.dialogs = 3;
    SetupRunResult r;
    std::string during = RunAndReadPolicyDuring(opt, &r, NULL);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT },
                       { "Error", "Cannot find kivimg30.dll in current directoy" },
                       { CAPTION, TEXT_FAILED_FILES } });
    EXPECT_EQ(during, OneByte(0));
    EXPECT_EQ(PolicyBytes(), OneByte(2));
}

TEST(WindowsVersion, Windows2000LeavesAnUnreadablePolicyAtZero)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    /* Four bytes do not fit the one-byte read. */
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_DWORD, std::string("\1\0\0\0", 4)));

    SetupRunResult r;
    std::string during = RunAndReadPolicyDuring(SetupRunOptions(), &r, NULL);
    ExpectRanToEnd(r);

    DWORD type = 0;
    EXPECT_EQ(during, OneByte(0));
    EXPECT_EQ(PolicyBytes(&type), OneByte(0));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
}

TEST(WindowsVersion, Windows2000DoesNotRestoreAnInvalidPolicy)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_BINARY, OneByte(3)));

    SetupRunResult r;
    std::string during = RunAndReadPolicyDuring(SetupRunOptions(), &r, NULL);
    ExpectRanToEnd(r);

    EXPECT_EQ(during, OneByte(0));
    EXPECT_EQ(PolicyBytes(), OneByte(0));
}

TEST(WindowsVersion, Windows2000WithoutTheSigningKeyCreatesNothing)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    RegKeyDelete(HKEY_LOCAL_MACHINE, SIGNING_KEY);

    SetupRunResult r = RunSetup(SetupRunOptions());
    ExpectRanToEnd(r);

    EXPECT_TRUE(Contains(r.trace, TRACE_FINISHED)) << Join(r.trace);
    HKEY hKey;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIGNING_KEY, 0, KEY_READ, &hKey), ERROR_SUCCESS);
}

TEST(WindowsVersion, WindowsXPAndLaterNeverTouchThePolicy)
{
    /* Only 5.0 is Windows 2000: Vista (6.0) has a minor version of 0 too. */
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_BINARY, OneByte(2)));

    for (const char *pszVersion : { "winxp", "vista" }) {
        ASSERT_TRUE(SetSetupWindowsVersion(pszVersion));
        SetupRunOptions opt;
        opt.dialogs = 2;
        SetupRunResult r;
        std::string during = RunAndReadPolicyDuring(opt, &r, NULL);
        ExpectRanToEnd(r);

        ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
        EXPECT_EQ(during, OneByte(2)) << pszVersion;
        EXPECT_EQ(PolicyBytes(), OneByte(2)) << pszVersion;
    }
}

TEST(Consent, AnsweringNoChangesNothing)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* On Windows 2000, where a run that went on would touch the policy. */
    ASSERT_TRUE(SetSetupWindowsVersion("win2k"));
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, SIGNING_KEY, "Policy", REG_BINARY, OneByte(1)));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt", "C:\\old\\kivprt.exe  -start"));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", "C:\\old\\kivtray.exe"));
    HANDLE hTray = Launch(L"\"" + StandInTrayPath() + L"\"");
    ASSERT_TRUE(hTray != NULL);

    SetupRunOptions opt;
    opt.dialogs = 2;
    opt.press = "7";   /* No */
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_CANCELLED } });
    if (r.dialogs.size() == 2) {
        EXPECT_EQ(r.dialogs[0].pressed, IDNO);
        EXPECT_EQ(r.dialogs[1].buttons.size(), 1u);
    }
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);
    EXPECT_EQ(PolicyBytes(), OneByte(1));
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"));
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray"));
    EXPECT_EQ(WaitForSingleObject(hTray, 0), (DWORD)WAIT_TIMEOUT) << "the tray was ended";
    TerminateProcess(hTray, 0);
    CloseHandle(hTray);
    EXPECT_FALSE(PathIsFolder(InstallDir()));
    EXPECT_FALSE(PathIsFile(SystemDir() + L"\\kivimg30.dll"));
    EXPECT_FALSE(PathIsFile(DriverDir() + L"\\kiv.gpd"));
    EXPECT_FALSE(DriverInstalled());
    EXPECT_TRUE(LocalPrinterNames().empty());
}

/* ---- A busy machine ------------------------------------------------------ */

TEST(BusyMachine, ManyPrintersStillGiveASuccessfulInstallation)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());
    /* More local printers than a 14,160-byte list holds, all listed before
     * "Kiv Image Printer". */
    for (int i = 0; i < 150; i++) {
        wchar_t szName[80];
        swprintf(szName, 80, L"A spare printer that fills the list of printers, number %03d", i);
        ASSERT_TRUE(AddTestPrinter(szName)) << i;
    }
    DWORD cbNeeded = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 4, NULL, 0, &cbNeeded, &count);
    ASSERT_GT(cbNeeded, 14160u);

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_EQ(r.trace, (std::vector<std::string>{ TRACE_STARTS, TRACE_DELETE_KEY, TRACE_DELETE_PRINTER,
                                                  TRACE_ADD_DRIVER, TRACE_ADD_PRINTER, TRACE_ADD_FORMS,
                                                  TRACE_FINISHED }))
        << Join(r.trace);
    EXPECT_EQ(LocalPrinterNames().size(), 151u);
}

TEST(BusyMachine, ManyPortsStillFindTheKivPort)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* More ports than a 20,000-byte list holds, all listed before "kiv". */
    const int cSpare = 80;
    for (int i = 0; i < cSpare; i++) {
        wchar_t szName[160];
        swprintf(szName, 160, L"A spare port that fills the list of ports, with a long name to fill it soon, "
                              L"number %03d", i);
        ASSERT_TRUE(AddLocalPort(szName)) << i;
    }
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    DWORD cbNeeded = 0, count = 0;
    EnumPortsW(NULL, 2, NULL, 0, &cbNeeded, &count);
    ASSERT_GT(cbNeeded, 20000u);
    std::vector<std::wstring> ports = LocalPortNames();
    size_t kivAt = std::find(ports.begin(), ports.end(), L"kiv") - ports.begin();
    ASSERT_GE(kivAt, (size_t)cSpare) << "a list cut short would still hold it";
    ASSERT_LT(kivAt, ports.size());

    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_FALSE(Contains(r.trace, TRACE_ADD_PORT)) << Join(r.trace);
    EXPECT_FALSE(r.xcv.made);
}

TEST(BusyMachine, ManyProcessesStillEndTheTray)
{
    ASSERT_TRUE(PrepareSetupFolder());
    HANDLE hTray = Launch(L"\"" + StandInTrayPath() + L"\"");
    ASSERT_TRUE(hTray != NULL);
    const DWORD trayId = GetProcessId(hTray);

    /* A machine cannot start that many processes for a test: setup is
     * told of more than 1,024, the running tray last among them; the
     * others cannot be opened (identifier 0). */
    std::vector<DWORD> ids(1100, 0);
    ids.back() = trayId;
    int cAnswered = 0;
    CallHook enumProcesses;
    enumProcesses.dll = "psapi.dll";
    enumProcesses.function = "EnumProcesses";
    enumProcesses.cArgs = 3;
    enumProcesses.emulate = [&](DebugRun &run, const ULONG_PTR *args) -> ULONG_PTR {
        DWORD cbGot = (DWORD)std::min<size_t>(args[1] / sizeof(DWORD), ids.size()) * sizeof(DWORD);
        cAnswered++;
        return run.Write(args[0], ids.data(), cbGot) && run.Write(args[2], &cbGot, sizeof(cbGot));
    };
    SetupRunOptions opt;
    opt.dialogs = 2;
    opt.hooks.push_back(enumProcesses);
    SetupRunResult r = RunSetup(opt);
    ExpectRanToEnd(r);

    ExpectDialogs(r, { { CAPTION, TEXT_CONSENT }, { CAPTION, TEXT_SUCCESS } });
    EXPECT_GT(cAnswered, 0) << "the process list was not asked for";
    DWORD trayCode = 1;
    EXPECT_TRUE(WaitExit(hTray, 0, &trayCode)) << "the tray is still running";
    EXPECT_EQ(trayCode, 0u);
    if (WaitForSingleObject(hTray, 0) == WAIT_TIMEOUT)
        TerminateProcess(hTray, 0);
    CloseHandle(hTray);
}

/* ---- The stand-in driver the tests install --------------------------------- */

static std::vector<BYTE> StandInDocumentProperties(HANDLE hPrinter, const DEVMODEA *pIn, DWORD mode, LONG *pResult)
{
    char szName[] = "Kiv Image Printer";
    LONG cb = DocumentPropertiesA(NULL, hPrinter, szName, NULL, NULL, 0);
    std::vector<BYTE> out(cb > 0 ? cb : 1, 0);
    *pResult = DocumentPropertiesA(NULL, hPrinter, szName, (DEVMODEA *)out.data(), (DEVMODEA *)pIn, mode);
    return out;
}

static const KIVSTANDINPRIVATE *StandInPrivate(const std::vector<BYTE> &devMode)
{
    const DEVMODEA *pdm = (const DEVMODEA *)devMode.data();
    if (devMode.size() < sizeof(DEVMODEA) || pdm->dmDriverExtra != sizeof(KIVSTANDINPRIVATE) ||
        (size_t)pdm->dmSize + pdm->dmDriverExtra > devMode.size())
        return NULL;
    return (const KIVSTANDINPRIVATE *)(devMode.data() + pdm->dmSize);
}

TEST(StandInDriver, SettingsSheetWritesItsChangeOnOk)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());
    char szName[] = "Kiv Image Printer";
    HANDLE hPrinter = NULL;
    ASSERT_TRUE(OpenPrinterA(szName, &hPrinter, NULL));

    /* The default DEVMODE: portrait A4 and the driver's private part. */
    LONG result = 0;
    std::vector<BYTE> defaults = StandInDocumentProperties(hPrinter, NULL, DM_OUT_BUFFER, &result);
    ASSERT_EQ(result, IDOK);
    const DEVMODEA *pDefaults = (const DEVMODEA *)defaults.data();
    EXPECT_EQ(pDefaults->dmOrientation, DMORIENT_PORTRAIT);
    EXPECT_EQ(pDefaults->dmPaperSize, DMPAPER_A4);
    ASSERT_TRUE(StandInPrivate(defaults) != NULL);
    EXPECT_EQ(StandInPrivate(defaults)->dwSignature, (DWORD)KIV_STANDIN_SIGNATURE);
    EXPECT_EQ(StandInPrivate(defaults)->cApplied, 0u);

    /* The sheet, answered with OK. */
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("", 1));
    std::vector<BYTE> edited = StandInDocumentProperties(
        hPrinter, pDefaults, DM_IN_BUFFER | DM_IN_PROMPT | DM_OUT_BUFFER, &result);
    EXPECT_TRUE(helper.Finish());
    EXPECT_EQ(result, IDOK);
    std::vector<DialogRecord> seen = helper.Records();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().pressed, IDOK);
    const DEVMODEA *pEdited = (const DEVMODEA *)edited.data();
    EXPECT_EQ(pEdited->dmOrientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(pEdited->dmPaperSize, DMPAPER_A4);
    ASSERT_TRUE(StandInPrivate(edited) != NULL);
    EXPECT_EQ(StandInPrivate(edited)->cApplied, 1u);
    ClosePrinter(hPrinter);
}

TEST(StandInDriver, FailuresAreSwitchedOnThroughTheRegistry)
{
    ASSERT_NO_FATAL_FAILURE(InstallQuietly());
    char szName[] = "Kiv Image Printer";
    HANDLE hPrinter = NULL;
    ASSERT_TRUE(OpenPrinterA(szName, &hPrinter, NULL));
    LONG result = 0;

    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, KIV_STANDIN_KEY, KIV_STANDIN_FAIL_DEVMODE, REG_DWORD,
                          std::string("\1\0\0\0", 4)));
    StandInDocumentProperties(hPrinter, NULL, DM_OUT_BUFFER, &result);
    EXPECT_LT(result, 0);
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, KIV_STANDIN_KEY, KIV_STANDIN_FAIL_DEVMODE, REG_DWORD,
                          std::string("\0\0\0\0", 4)));
    StandInDocumentProperties(hPrinter, NULL, DM_OUT_BUFFER, &result);
    EXPECT_EQ(result, IDOK);

    /* A sheet that cannot open shows nothing and fails. */
    ASSERT_TRUE(RegSetRaw(HKEY_LOCAL_MACHINE, KIV_STANDIN_KEY, KIV_STANDIN_FAIL_SHEET, REG_DWORD,
                          std::string("\1\0\0\0", 4)));
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("", 1));
    StandInDocumentProperties(hPrinter, NULL, DM_IN_PROMPT | DM_OUT_BUFFER, &result);
    EXPECT_LT(result, 0);
    /* The call is modal: a sheet it showed would have been answered and
     * recorded before it returned. */
    TerminateProcess(helper.hProcess, 0);
    WaitForSingleObject(helper.hProcess, KIV_TEST_DEADLINE_MS);
    EXPECT_TRUE(helper.Records().empty()) << helper.Records()[0].caption;
    ClosePrinter(hPrinter);
}
