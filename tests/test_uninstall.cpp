/*
 * Removing the product: the real kivsetup.exe installs, then the real
 * kivsetup.exe /uninstall removes, each in the test's own prefix under the
 * test's debugger, with the dialog helper answering the messages.  What
 * the installation touches (printers, drivers of both environments,
 * ports, forms, files, autostart values, the Add or Remove Programs entry)
 * is read before the installation and after the removal, and compared.
 * The same comparison judges an unattended installation that failed and
 * undid itself, and a package's installation after its removal.
 *
 * Wine's spooler keeps no forms: the records kivsetup hands to AddFormW
 * and DeleteFormW are compared instead, and GetFormW is answered for the
 * forms the installation added, as a spooler that keeps them answers.
 */
#include <gtest/gtest.h>
#include <algorithm>
#include <set>

#include "kivarch.h"
#include "kivsetup.h"
#include "setuptest.h"

#define CAPTION "Kiv Image Printer Setup"
#define TEXT_QUESTION                                                                                        \
    "This will remove Kiv Image Printer from this computer and cancel the documents waiting to print on it, " \
    "do you wish to continue?"
#define TEXT_DONE "Kiv Image Printer has been removed from this computer."
#define TEXT_INCOMPLETE "Kiv Image Printer could not be removed completely."
#define TEXT_NOTHING "Kiv Image Printer was not found on this computer: nothing was removed."
#define TEXT_SETTINGS \
    "The settings files (kivusrid.bin, kivusr1.bin to kivusr5.bin) are kept: a later installation uses them again."
#define TEXT_INSTALL_SUCCESS                                                                      \
    "Kiv Image Printer setup finished successfully. To use Kiv Image Printer, just print to Kiv " \
    "Image Printer from any Windows application that supports printing."

#define RUN_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
#define ENTRY_KEY UNINSTALL_KEY "\\KivImagePrinter30"
#define PRODUCT_KEY "Software\\KivImagePrinter30"
#define RUN_MARK_KEY "Software\\KivImagePrinter30Setup"
#define SESSION_KEY "System\\CurrentControlSet\\Control\\Session Manager"
#define QUIET_OPTIONS "first=0\nfinal=0\nstatus=0\n"

static const wchar_t *const kEnvironments[] = { L"Windows NT x86", L"Windows x64" };
static const wchar_t *const kSettingsFiles[] = { L"kivusrid.bin", L"kivusr1.bin", L"kivusr2.bin",
                                                 L"kivusr3.bin",  L"kivusr4.bin", L"kivusr5.bin" };

/* ---- What the installation touches ------------------------------------ */

struct MachineState {
    std::set<std::wstring> printers, ports, drivers, paths;
    std::set<std::string> runValues, uninstallEntries;
    std::string pendingRenames;
};

static bool IsSettingsFile(const std::wstring &name)
{
    for (const wchar_t *f : kSettingsFiles)
        if (lstrcmpiW(f, name.c_str()) == 0)
            return true;
    return false;
}

/* Every path under dir (folders with a trailing backslash), settings files
 * aside, and a folder that holds nothing but settings files too.  Returns
 * the number of settings files in the tree. */
static int ListTree(const std::wstring &dir, bool recurse, std::set<std::wstring> *pPaths)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    int settings = 0;

    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring name = fd.cFileName, path = dir + L"\\" + name;
        if (name == L"." || name == L"..")
            continue;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (IsSettingsFile(name))
                settings++;
            else
                pPaths->insert(path);
            continue;
        }
        size_t before = pPaths->size();
        int inside = recurse ? ListTree(path, true, pPaths) : 0;
        settings += inside;
        if (!(inside > 0 && pPaths->size() == before))
            pPaths->insert(path + L"\\");
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return settings;
}

static std::wstring ParentOf(const std::wstring &path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

static MachineState ReadState()
{
    MachineState s;
    for (const std::wstring &p : LocalPrinterNames())
        s.printers.insert(p);
    for (const std::wstring &p : LocalPortNames())
        s.ports.insert(p);
    for (const wchar_t *env : kEnvironments) {
        std::vector<BYTE> block(64 * 1024);
        DWORD cb = 0, count = 0;
        std::wstring e = env;
        if (EnumPrinterDriversW(NULL, &e[0], 2, block.data(), (DWORD)block.size(), &cb, &count))
            for (DWORD i = 0; i < count; i++) {
                const DRIVER_INFO_2W &d = ((const DRIVER_INFO_2W *)block.data())[i];
                s.drivers.insert(e + L": " + d.pName + L", " + (d.pConfigFile ? d.pConfigFile : L""));
            }
    }
    ListTree(ParentOf(InstallDir()), true, &s.paths);        /* Program Files */
    ListTree(SystemDir(), false, &s.paths);
    ListTree(ParentOf(DriverDir()), true, &s.paths);         /* spool\drivers */

    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        char name[256];
        BYTE data[1024];
        for (DWORD i = 0;; i++) {
            DWORD cchName = sizeof(name), cbData = sizeof(data) - 1, type = 0;
            if (RegEnumValueA(hKey, i, name, &cchName, NULL, &type, data, &cbData) != ERROR_SUCCESS)
                break;
            s.runValues.insert(std::string(name) + "=" + std::string((const char *)data, cbData));
        }
        RegCloseKey(hKey);
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        char name[256];
        for (DWORD i = 0;; i++) {
            DWORD cchName = sizeof(name);
            if (RegEnumKeyExA(hKey, i, name, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            s.uninstallEntries.insert(name);
        }
        RegCloseKey(hKey);
    }
    DWORD type = 0;
    RegGetRaw(HKEY_LOCAL_MACHINE, SESSION_KEY, "PendingFileRenameOperations", &s.pendingRenames, &type);
    return s;
}

template <class T>
static std::string Difference(const std::set<T> &before, const std::set<T> &after)
{
    std::string s;
    for (const T &x : before)
        if (!after.count(x))
            s += "  gone:  " + Narrow(std::wstring(x.begin(), x.end())) + "\n";
    for (const T &x : after)
        if (!before.count(x))
            s += "  added: " + Narrow(std::wstring(x.begin(), x.end())) + "\n";
    return s;
}

static void ExpectSameState(const MachineState &before, const MachineState &after)
{
    EXPECT_EQ(Difference(before.printers, after.printers), "") << "printers";
    EXPECT_EQ(Difference(before.ports, after.ports), "") << "ports";
    EXPECT_EQ(Difference(before.drivers, after.drivers), "") << "drivers";
    EXPECT_EQ(Difference(before.paths, after.paths), "") << "files and folders";
    EXPECT_EQ(Difference(before.runValues, after.runValues), "") << "autostart values";
    EXPECT_EQ(Difference(before.uninstallEntries, after.uninstallEntries), "") << "Add or Remove Programs";
    EXPECT_EQ(before.pendingRenames, after.pendingRenames) << "deletions at restart";
}

/* The removal on a spooler that leaves the driver's files to it keeps the
 * Universal Printer Driver's files: other printers may use them. */
static MachineState WithoutSharedDriverFiles(MachineState s)
{
    for (const wchar_t *name : { L"unidrv.dll", L"unidrvui.dll", L"unires.dll", L"unidrv.hlp", L"stdnames.gpd" })
        EXPECT_EQ(s.paths.erase(DriverDir() + L"\\3\\" + name), 1u) << Narrow(name) << " is gone";
    return s;
}

/* ---- Runs ---------------------------------------------------------------- */

/* Installs without any dialog; the options file that says so stays in the
 * setup folder, where the removal must not read it. */
static void InstallQuietly(SetupRunResult *pResult)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    *pResult = RunSetup(SetupRunOptions());
    ASSERT_TRUE(pResult->ran) << pResult->failure;
    ASSERT_TRUE(pResult->dialogs.empty()) << DescribeDialogs(pResult->dialogs);
    ASSERT_FALSE(pResult->trace.empty());
    ASSERT_EQ(pResult->trace.back(), "Kiv Image Printer setup finished") << Join(pResult->trace);
}

/* GetFormW answers for the forms the installation added as a spooler that
 * keeps forms does: the form is there (asked without room). */
static SetupRunOptions::Failure FormsKeptFrom(const SetupRunResult &install)
{
    std::set<std::wstring> names;
    for (const FormCall &f : install.forms)
        names.insert(f.name);
    SetupRunOptions::Failure f;
    f.function = "GetFormW";
    f.error = ERROR_INSUFFICIENT_BUFFER;
    f.when = [names](DebugRun &run, const ULONG_PTR *args) { return names.count(run.ReadWString(args[1])) > 0; };
    return f;
}

static SetupRunResult Uninstall(const std::wstring &args, int dialogs, const std::string &press = "",
                                const std::vector<SetupRunOptions::Failure> &fail = {},
                                const std::vector<CallHook> &hooks = {})
{
    SetupRunOptions opt;
    opt.commandLine = L"\"" KIV_TEST_SETUP_DIR L"\\kivsetup.exe\" " + args;
    opt.dialogs = dialogs;
    opt.press = press;
    opt.fail = fail;
    opt.hooks = hooks;
    return RunSetup(opt);
}

static bool PathExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* kivsetup's calls of a function of the spooler's library. */
static CallHook SpoolerHook(const char *pszFunction, int cArgs)
{
    CallHook h;
    h.dll = "winspool.drv";
    h.function = pszFunction;
    h.cArgs = cArgs;
    return h;
}

static std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

static bool HasLine(const std::string &text, const std::string &line)
{
    std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

static std::string Install(const wchar_t *name)
{
    return Narrow(InstallDir() + L"\\" + name);
}

/* Moves a value of HKEY_LOCAL_MACHINE to another key, as it is. */
static bool MoveMachineValue(const char *pszFrom, const char *pszTo, const char *pszName)
{
    BYTE data[4096];
    DWORD cb = sizeof(data), type = 0;
    HKEY hTo;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, pszFrom, pszName, RRF_RT_ANY, &type, data, &cb) != ERROR_SUCCESS ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszTo, 0, NULL, 0, KEY_SET_VALUE, NULL, &hTo, NULL) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(hTo, pszName, 0, type, data, cb) == ERROR_SUCCESS;
    RegCloseKey(hTo);
    return ok && RegDeleteValueIn(HKEY_LOCAL_MACHINE, pszFrom, pszName);
}

/* ---- Removal after an installation ------------------------------------------ */

TEST(Uninstall, LeavesTheMachineAsBeforeTheInstallationButTheSettings)
{
    MachineState before = ReadState();
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    ASSERT_EQ(install.forms.size(), 16u);
    /* Settings the printer's users made, in the install folder. */
    ASSERT_TRUE(WriteWholeFile(InstallDir() + L"\\kivusrid.bin", std::string("\2\0\0\0", 4)));
    ASSERT_TRUE(WriteWholeFile(InstallDir() + L"\\kivusr2.bin", "slot 2 settings"));
    /* Earlier releases kept the record of the forms in their entry. */
    ASSERT_TRUE(MoveMachineValue(PRODUCT_KEY, ENTRY_KEY, "KivAddedForms"));

    SetupRunResult r = Uninstall(L"/uninstall", 2, "", { FormsKeptFrom(install) });
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE);
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);

    /* The question, although the options file says first=0, then the one
     * closing message. */
    ASSERT_EQ(r.dialogs.size(), 2u) << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.dialogs[0].caption, CAPTION);
    EXPECT_EQ(r.dialogs[0].text, TEXT_QUESTION);
    ASSERT_EQ(r.dialogs[0].buttons.size(), 2u);
    EXPECT_EQ(r.dialogs[0].buttons[0].first, IDYES);
    EXPECT_EQ(r.dialogs[0].buttons[1].first, IDNO);
    EXPECT_EQ(r.dialogs[1].caption, CAPTION);
    EXPECT_EQ(r.dialogs[1].buttons.size(), 1u);
    const std::string &text = r.dialogs[1].text;
    EXPECT_EQ(text.rfind(TEXT_DONE "\n\nRemoved:\n", 0), 0u) << text;
    EXPECT_EQ(text.find("Not removed"), std::string::npos) << text;
    for (const std::string &line :
         { std::string("- the printer \"Kiv Image Printer\""),
           "- the printer driver \"Kiv Image Printer\" for " + Narrow(KIV_DRIVER_ENVIRONMENT),
           std::string("- the printer port kiv"), std::string("- 16 paper forms"),
           "- " + Narrow(SystemDir()) + "\\kivimg30.dll", "- " + Install(L"kivtray.exe"),
           "- " + Install(L"kivres.dll"), "- " + Install(L"kivprt.exe"), "- " + Install(L"kivhlp.chm"),
           "- " + Install(L"kivsetup.exe"), std::string("- the entry in Add or Remove Programs"),
           "The folder " + Narrow(InstallDir()) + " is kept: it holds other files." })
        EXPECT_TRUE(HasLine(text, line)) << line << "\nin:\n" << text;
    EXPECT_EQ(text.substr(text.size() - std::string(TEXT_SETTINGS).size()), TEXT_SETTINGS) << text;

    /* Exactly the forms the installation added. */
    std::vector<std::wstring> added;
    for (const FormCall &f : install.forms)
        added.push_back(f.name);
    EXPECT_EQ(r.deletedForms, added);

    ExpectSameState(before, WithoutSharedDriverFiles(ReadState()));
    std::string id, slot;
    EXPECT_TRUE(ReadWholeFile(InstallDir() + L"\\kivusrid.bin", &id));
    EXPECT_EQ(id, std::string("\2\0\0\0", 4));
    EXPECT_TRUE(ReadWholeFile(InstallDir() + L"\\kivusr2.bin", &slot));
    EXPECT_EQ(slot, "slot 2 settings");
}

TEST(Uninstall, AnsweringNoChangesNothing)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    MachineState installed = ReadState();

    SetupRunResult r = Uninstall(L"/uninstall", 1, "7");   /* No */
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_SOME_LEFT);
    ASSERT_EQ(r.dialogs.size(), 1u) << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.dialogs[0].text, TEXT_QUESTION);
    EXPECT_EQ(r.dialogs[0].pressed, IDNO);
    EXPECT_TRUE(r.deletedForms.empty());
    ExpectSameState(installed, ReadState());
}

TEST(InstalledCopy, RunAsSetupOverAWorkingInstallationChangesNothing)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", Install(L"kivtray.exe")));
    MachineState installed = ReadState();
    SetupRunOptions opt;
    opt.dir = InstallDir();   /* the uninstaller's copy, which has no driver files beside it */
    opt.dialogs = 3;          /* the question (Yes), the missing file, the closing message */
    SetupRunResult r = RunSetup(opt);
    ASSERT_EQ(r.dialogs.size(), 3u) << r.failure << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.dialogs[1].text, "Cannot find  file  kiv.gpd  in current directoy");
    ExpectSameState(installed, ReadState());
}

TEST(Uninstall, EndsTheRunningTrayAndAgentThroughTheirOwnWays)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    HANDLE hTray = Launch(L"\"" + InstallDir() + L"\\kivtray.exe\"");
    HANDLE hAgent = Launch(L"\"" + InstallDir() + L"\\kivprt.exe\"  -start");
    ASSERT_TRUE(hTray && hAgent);
    ASSERT_TRUE(WaitFor([] { return FindWindowW(L"Kiv Image Printer", NULL) != NULL; }));
    ASSERT_TRUE(WaitFor([] { return MutexExists(L"KivImagePrinterUncAgency30"); }));
    ASSERT_TRUE(WaitFor([] { return RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"); }));
    /* The value the tray writes for a user who may not write the machine's. */
    ASSERT_TRUE(RegSetString(HKEY_CURRENT_USER, RUN_KEY, "kivtray", "\"" + Install(L"kivtray.exe") + "\""));

    /* Ending a process fails: only the tray's quit message and the agent's
     * stop mode can end them. */
    SetupRunOptions::Failure noTerminate;
    noTerminate.function = "TerminateProcess";
    noTerminate.error = ERROR_ACCESS_DENIED;
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { noTerminate });
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);

    DWORD trayCode = 1, agentCode = 1;
    EXPECT_TRUE(WaitExit(hTray, KIV_TEST_DEADLINE_MS, &trayCode));
    EXPECT_EQ(trayCode, 0u);
    EXPECT_TRUE(WaitExit(hAgent, KIV_TEST_DEADLINE_MS, &agentCode));
    EXPECT_EQ(agentCode, 0u);
    CloseHandle(hTray);
    CloseHandle(hAgent);
    EXPECT_FALSE(PathIsFile(InstallDir() + L"\\kivtray.exe"));
    EXPECT_FALSE(PathIsFile(InstallDir() + L"\\kivprt.exe"));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, RUN_KEY, "kivtray"));
}

TEST(Uninstall, AFileInUseIsDeletedAtTheRestartAndNamed)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    std::wstring held = InstallDir() + L"\\kivres.dll";
    /* Open as a loaded library is: it can be neither deleted nor renamed. */
    HANDLE hHeld = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);

    SetupRunResult r = Uninstall(L"/uninstall", 2);
    CloseHandle(hHeld);
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_SOME_LEFT);

    std::string item = Narrow(held) + " is in use: it will be deleted when Windows restarts";
    EXPECT_EQ(r.trace, std::vector<std::string>{ "Kiv Image Printer(uninstall: " + item + ")" });
    ASSERT_EQ(r.dialogs.size(), 2u) << DescribeDialogs(r.dialogs);
    const std::string &text = r.dialogs[1].text;
    EXPECT_EQ(text.rfind(TEXT_INCOMPLETE "\n\nRemoved:\n", 0), 0u) << text;
    EXPECT_NE(text.find("\n\nNot removed:\n- " + item + "\n\nThe folder " + Narrow(InstallDir()) +
                        " will be deleted when Windows restarts.\n\n" TEXT_SETTINGS),
              std::string::npos)
        << text;

    /* The file and then its folder are on the restart's list. */
    std::string pending;
    DWORD type = 0;
    ASSERT_TRUE(RegGetRaw(HKEY_LOCAL_MACHINE, SESSION_KEY, "PendingFileRenameOperations", &pending, &type));
    size_t file = pending.find(Narrow(held));
    size_t folder = pending.find(Narrow(InstallDir()) + std::string(1, '\0'));
    EXPECT_NE(file, std::string::npos);
    EXPECT_NE(folder, std::string::npos);
    EXPECT_LT(file, folder);
    EXPECT_TRUE(PathIsFile(held));
    EXPECT_FALSE(PathIsFile(InstallDir() + L"\\kivtray.exe"));
    EXPECT_TRUE(LocalPrinterNames().empty());
}

TEST(Uninstall, QuietlyFromTheAddOrRemoveProgramsEntry)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));

    /* The entry, and the uninstaller it names. */
    std::string program = Install(L"kivsetup.exe"), value;
    DWORD type = 0;
    std::string expectVersion;
    {
        std::wstring exe = KIV_TEST_SETUP_DIR L"\\kivsetup.exe";
        DWORD handle = 0, cb = GetFileVersionInfoSizeW(exe.c_str(), &handle);
        std::vector<BYTE> info(cb);
        WCHAR *pVersion = NULL;
        UINT cch = 0;
        ASSERT_TRUE(cb && GetFileVersionInfoW(exe.c_str(), 0, cb, info.data()));
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\ProductVersion", (void **)&pVersion, &cch));
        expectVersion = Narrow(pVersion);
    }
    const std::pair<const char *, std::string> strings[] = {
        { "DisplayName", "Kiv Image Printer" },
        { "DisplayVersion", expectVersion },
        { "DisplayIcon", Install(L"kivres.dll") },
        { "URLInfoAbout", "http://www.kivimageprinter.example/" },
        { "InstallLocation", Narrow(InstallDir()) },
        { "UninstallString", "\"" + program + "\" /uninstall" },
        { "QuietUninstallString", "\"" + program + "\" /uninstall /quiet" },
    };
    for (const auto &s : strings) {
        EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, ENTRY_KEY, s.first, &value, &type)) << s.first;
        EXPECT_EQ(value, s.second) << s.first;
        EXPECT_EQ(type, (DWORD)REG_SZ) << s.first;
    }
    for (const char *name : { "NoModify", "NoRepair" }) {
        EXPECT_TRUE(RegGetRaw(HKEY_LOCAL_MACHINE, ENTRY_KEY, name, &value, &type)) << name;
        EXPECT_EQ(type, (DWORD)REG_DWORD) << name;
        EXPECT_EQ(value, std::string("\1\0\0\0", 4)) << name;
    }
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "Publisher"));
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[16];
    snprintf(today, sizeof(today), "%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, ENTRY_KEY, "InstallDate", &value));
    EXPECT_EQ(value, today);
    EXPECT_TRUE(RegGetRaw(HKEY_LOCAL_MACHINE, ENTRY_KEY, "EstimatedSize", &value, &type));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_TRUE(value.size() == 4 && *(const DWORD *)value.data() > 0) << "no size";
    std::string copied, original;
    EXPECT_TRUE(ReadWholeFile(Widen(program), &copied));
    EXPECT_TRUE(ReadWholeFile(KIV_TEST_SETUP_DIR L"\\kivsetup.exe", &original));
    EXPECT_TRUE(copied == original) << "the installed uninstaller is not setup's own program";

    /* Run as Add or Remove Programs runs it. */
    std::string quiet;
    ASSERT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, ENTRY_KEY, "QuietUninstallString", &quiet));
    SetupRunOptions opt;
    opt.commandLine = Widen(quiet);
    opt.dir = L"C:\\";
    opt.fail = { FormsKeptFrom(install) };
    SetupRunResult r = RunSetup(opt);
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE);
    EXPECT_EQ(r.deletedForms.size(), 16u);

    /* The running uninstaller, renamed aside, and its folder go at the
     * restart, in that order. */
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "DisplayName"));
    EXPECT_FALSE(PathIsFile(Widen(program)));
    std::string pending;
    ASSERT_TRUE(RegGetRaw(HKEY_LOCAL_MACHINE, SESSION_KEY, "PendingFileRenameOperations", &pending, &type));
    size_t self = pending.find(Narrow(InstallDir()) + "\\kiv");
    size_t folder = pending.find(Narrow(InstallDir()) + std::string(1, '\0'));
    EXPECT_NE(self, std::string::npos);
    EXPECT_NE(folder, std::string::npos);
    EXPECT_LT(self, folder);
}

/* ---- The Windows Installer package (fixture msi, msi.cmake) ---------------- */

/* msiexec ARGS /qn on the package of msi-test/KIND, the dialog helper
 * pressing what may come: any window is a failure.  msiexec's code. */
static DWORD Msiexec(const std::wstring &args, const wchar_t *kind, const char *version = KIV_MSI_VERSION)
{
    DialogHelper helper;
    DWORD code = 0xdeadbeef;
    EXPECT_TRUE(helper.Start("", 100, KIV_SETUP_RUN_MS));
    HANDLE hMsiexec = Launch(L"msiexec.exe " + args + L" \"" + BinDir() + L"\\..\\msi-test\\" + kind +
                             L"\\KivImagePrinter-" + Widen(version) + L"-" KIV_ARCH_NAME L".msi\" /qn");
    EXPECT_TRUE(hMsiexec && WaitExit(hMsiexec, KIV_SETUP_RUN_MS, &code)) << "msiexec did not end";
    CloseHandle(hMsiexec);
    TerminateProcess(helper.hProcess, 0);
    WaitForSingleObject(helper.hProcess, KIV_TEST_DEADLINE_MS);
    EXPECT_EQ(DescribeDialogs(helper.Records()), "") << "windows during msiexec " << Narrow(args);
    return code;
}

/* What setup's tests read back, from the package's setup folder, and one
 * entry in Add or Remove Programs: the package's (a product code). */
static void ExpectPackageInstalled(const std::string &version, const std::string &trayRun = "")
{
    std::wstring from = InstallDir().substr(0, InstallDir().rfind(L'\\')) + L"\\Kiv Image Printer Setup\\";
    std::string a, b, entries;
    MachineState s = ReadState();
    DRIVER_INFO_3W *pDriver = NULL;
    std::vector<BYTE> block;
    EXPECT_TRUE(GetKivDriver(&pDriver, &block) && pDriver);
    ASSERT_TRUE(s.ports.count(L"kiv") && GetPrinterInfo2(L"Kiv Image Printer", &block));
    EXPECT_STREQ(((const PRINTER_INFO_2W *)block.data())->pPortName, L"kiv");
    for (const wchar_t *f : { L"kivtray.exe", L"kivres.dll", L"kivprt.exe", L"kivhlp.chm", L"kivimg30.dll" }) {
        std::wstring to = (lstrcmpW(f, L"kivimg30.dll") ? InstallDir() : SystemDir()) + L"\\" + f;
        EXPECT_TRUE(ReadWholeFile(from + f, &a) && ReadWholeFile(to, &b) && !a.empty() && a == b) << Narrow(f);
    }
    EXPECT_EQ(AgentRunValue(), InstalledAgentRunValue());
    a.clear();
    RegGetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", &a);
    EXPECT_EQ(a, trayRun);
    EXPECT_TRUE(ReadWholeFile(from + L"qprinter.ini", &a) && a == "first=0\r\nfinal=0\r\nstatus=0\r\n");
    for (const std::string &key : s.uninstallEntries) {
        std::string path = UNINSTALL_KEY "\\" + key;
        if (RegGetString(HKEY_LOCAL_MACHINE, path.c_str(), "DisplayName", &a) && a == "Kiv Image Printer" &&
            RegGetString(HKEY_LOCAL_MACHINE, path.c_str(), "DisplayVersion", &b))
            entries += (key[0] == '{' ? std::string("package ") : key + " ") + b + ";";
    }
    EXPECT_EQ(entries, "package " + version + ";");
}

TEST(Package, InstallsUpgradesRemovesAndFailsWithOneEntryAndNoWindow)
{
    MachineState before = ReadState();
    EXPECT_EQ(Msiexec(L"/i", L"earlier", KIV_MSI_EARLIER), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectPackageInstalled(KIV_MSI_EARLIER));
    ASSERT_TRUE(WriteWholeFile(InstallDir() + L"\\kivusr2.bin", "slot 2 settings"));
    /* The tray started for every user, as its menu sets it. */
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray", "\"C:\\old\\kivtray.exe\""));

    /* A later version replaces it, keeping that choice with its own path;
     * an earlier one then refuses. */
    EXPECT_EQ(Msiexec(L"/i", L"current"), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectPackageInstalled(KIV_MSI_VERSION, "\"" + Narrow(InstallDir()) + "\\kivtray.exe\""));
    EXPECT_EQ(Msiexec(L"/i", L"earlier", KIV_MSI_EARLIER), (DWORD)ERROR_INSTALL_FAILURE);

    /* Removal leaves the machine as before, but the settings; a restart
     * that setup's work waits for is msiexec's to report. */
    HKEY hMark = NULL;
    DWORD dwOne = 1;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_MARK_KEY, 0, NULL, REG_OPTION_VOLATILE, KEY_SET_VALUE, NULL,
                              &hMark, NULL), ERROR_SUCCESS);
    RegSetValueExA(hMark, "RestartPending", 0, REG_DWORD, (const BYTE *)&dwOne, sizeof(dwOne));
    RegCloseKey(hMark);
    /* Another logged-on user's own value goes too (setup runs as
     * LocalSystem, not as that user). */
    const char *pszOtherRun = ".DEFAULT\\" RUN_KEY;
    ASSERT_TRUE(RegSetString(HKEY_USERS, pszOtherRun, "kivprt", "\"C:\\old\\kivprt.exe\" -start"));
    EXPECT_EQ(Msiexec(L"/x", L"current"), (DWORD)ERROR_SUCCESS_REBOOT_REQUIRED);
    EXPECT_FALSE(RegValueExists(HKEY_USERS, pszOtherRun, "kivprt"));
    MachineState removed = ReadState();
    ExpectSameState(before, WithoutSharedDriverFiles(removed));
    std::string slot;
    EXPECT_TRUE(ReadWholeFile(InstallDir() + L"\\kivusr2.bin", &slot) && slot == "slot 2 settings");

    /* A setup that fails (kiv.gpd is missing) fails the installation, and
     * nothing stays: ERROR_INSTALL_FAILURE on Windows, 1627 on Wine. */
    DWORD code = Msiexec(L"/i", L"broken");
    EXPECT_TRUE(code == ERROR_INSTALL_FAILURE || code == ERROR_FUNCTION_FAILED) << code;
    ExpectSameState(removed, ReadState());
}

/* A removal that fails after setup's own removal is rolled back: setup
 * installs the printer again from the package's folder. */
TEST(Package, ARemovalThatFailsLaterGetsItsPrinterBack)
{
    EXPECT_EQ(Msiexec(L"/i", L"late"), 0u);
    DWORD code = Msiexec(L"/x", L"late");
    EXPECT_TRUE(code == ERROR_INSTALL_FAILURE || code == ERROR_FUNCTION_FAILED) << code;
    /* Wine's rollback loses the package's entry; the printer is back. */
    std::vector<BYTE> block;
    EXPECT_TRUE(GetPrinterInfo2(L"Kiv Image Printer", &block));
    EXPECT_TRUE(PathIsFile(SystemDir() + L"\\kivimg30.dll"));
    EXPECT_EQ(AgentRunValue(), InstalledAgentRunValue());
}

TEST(Uninstall, ASecondRemovalFindsNothingAndAnInstallationAfterItIsAFirstOne)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    SetupRunResult first = Uninstall(L"/uninstall /quiet", 0, "", { FormsKeptFrom(install) });
    ASSERT_TRUE(first.ran) << first.failure;
    ASSERT_EQ(first.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(first.trace);
    MachineState removed = ReadState();

    SetupRunResult r = Uninstall(L"-UnInstall", 2);
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE);
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);
    EXPECT_TRUE(r.deletedForms.empty());
    ASSERT_EQ(r.dialogs.size(), 2u) << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.dialogs[1].text, TEXT_NOTHING "\n\n" TEXT_SETTINGS);
    ExpectSameState(removed, ReadState());

    /* As on a fresh machine: no earlier printer, the port added again. */
    ASSERT_TRUE(DeleteFileW(KIV_TEST_SETUP_DIR L"\\qprinter.ini"));
    SetupRunOptions opt;
    opt.dialogs = 2;
    SetupRunResult again = RunSetup(opt);
    EXPECT_TRUE(again.ran) << again.failure;
    ASSERT_EQ(again.dialogs.size(), 2u) << DescribeDialogs(again.dialogs);
    EXPECT_EQ(again.dialogs[1].text, TEXT_INSTALL_SUCCESS);
    EXPECT_EQ(again.trace, install.trace) << Join(again.trace);
    EXPECT_EQ(again.forms.size(), 16u);
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "UninstallString"));
}

/* ---- Neighbours ------------------------------------------------------------- */

/* A driver of the given environment under the given name, from files
 * staged in the printer-driver folder. */
static bool AddTestDriver(const std::wstring &env, const std::wstring &name, const std::wstring &driverFile,
                          const std::wstring &dataFile, const std::wstring &configFile)
{
    std::wstring e = env, n = name, d = driverFile, f = dataFile, c = configFile, raw = L"RAW";
    DRIVER_INFO_3W info;
    ZeroMemory(&info, sizeof(info));
    info.cVersion = 3;
    info.pName = &n[0];
    info.pEnvironment = &e[0];
    info.pDriverPath = &d[0];
    info.pDataFile = &f[0];
    info.pConfigFile = &c[0];
    info.pDefaultDataType = &raw[0];
    return AddPrinterDriverExW(NULL, 3, (LPBYTE)&info, APD_COPY_ALL_FILES) != FALSE;
}

static bool AddOtherPrinter(const std::wstring &name, const std::wstring &port)
{
    std::wstring n = name, p = port, driver = L"Kiv Image Printer (Other)", processor = L"WinPrint", raw = L"RAW";
    PRINTER_INFO_2W info;
    ZeroMemory(&info, sizeof(info));
    info.pPrinterName = &n[0];
    info.pPortName = &p[0];
    info.pDriverName = &driver[0];
    info.pPrintProcessor = &processor[0];
    info.pDatatype = &raw[0];
    HANDLE h = AddPrinterW(NULL, 2, (LPBYTE)&info);
    if (!h)
        return false;
    ClosePrinter(h);
    return true;
}

TEST(Uninstall, LeavesSimilarNamesAndTheOtherBuildsDriverAlone)
{
    ASSERT_TRUE(PrepareSetupFolder());
    /* Another driver of this environment, with files of its own and a name
     * like the product's; a printer on it with a name like the product's,
     * on a port with a name like the product's. */
    ASSERT_TRUE(CopyFileW((StageDir() + L"\\unidrvui.dll").c_str(), (DriverDir() + L"\\othui.dll").c_str(), FALSE));
    ASSERT_TRUE(WriteWholeFile(DriverDir() + L"\\othdrv.dll", "another driver"));
    ASSERT_TRUE(WriteWholeFile(DriverDir() + L"\\oth.gpd", "another driver's data"));
    ASSERT_TRUE(AddTestDriver(KIV_DRIVER_ENVIRONMENT, L"Kiv Image Printer (Other)", L"othdrv.dll", L"oth.gpd",
                              L"othui.dll"));
    ASSERT_TRUE(AddLocalPort(L"kiv2"));
    ASSERT_TRUE(AddOtherPrinter(L"Kiv Image Printer (Copy 2)", L"kiv2"));
    /* And one that prints to the port "kiv" too: the port stays with it. */
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    ASSERT_TRUE(AddOtherPrinter(L"Plotter", L"kiv"));
    /* The other build's installation: the product's driver for the other
     * environment. */
    const wchar_t *other = lstrcmpW(KIV_DRIVER_ENVIRONMENT, kEnvironments[0]) == 0 ? kEnvironments[1] : kEnvironments[0];
    ASSERT_TRUE(AddTestDriver(other, L"Kiv Image Printer", L"unidrv.dll", L"kiv.gpd", L"unidrvui.dll"));
    MachineState before = ReadState();
    ASSERT_EQ(before.printers.size(), 2u);
    ASSERT_EQ(before.drivers.size(), 2u);

    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { FormsKeptFrom(install) });
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    std::vector<std::wstring> added;
    for (const FormCall &f : install.forms)
        added.push_back(f.name);
    EXPECT_EQ(r.deletedForms, added);
    ExpectSameState(before, WithoutSharedDriverFiles(ReadState()));
}

/* ---- The spooler's part on Windows ------------------------------------------ */

TEST(Uninstall, TrustsASpoolerThatTakesTheDriverFiles)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    /* Windows takes the flags and deletes the files no driver uses itself.
     * Here the registration alone goes, so a file that goes now was
     * deleted by the uninstaller. */
    CallHook flagged = SpoolerHook("DeletePrinterDriverExW", 5);
    flagged.emulate = [](DebugRun &run, const ULONG_PTR *args) -> ULONG_PTR {
        std::wstring env = run.ReadWString(args[1]), name = run.ReadWString(args[2]);
        return args[3] != 0 && DeletePrinterDriverExW(NULL, &env[0], &name[0], 0, 0);
    };
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { FormsKeptFrom(install) }, { flagged });
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    for (const wchar_t *name : { L"kiv.gpd", L"kivui.dll", L"kivuni.dll", L"kivuni.ini", L"unidrv.dll" })
        EXPECT_TRUE(PathExists(DriverDir() + L"\\3\\" + name)) << Narrow(name) << " deleted";
}

TEST(Uninstall, ADriverStillInUseKeepsTheEntryAndTheUninstallerForASecondRun)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    CallHook inUse = SpoolerHook("DeletePrinterDriverExW", 5);
    inUse.fail = true;
    inUse.dwError = ERROR_PRINTER_DRIVER_IN_USE;
    std::vector<DWORD> commands;
    CallHook control = SpoolerHook("SetPrinterW", 4);
    control.onCall = [&commands](DebugRun &, const ULONG_PTR *args) { commands.push_back((DWORD)args[3]); };

    SetupRunResult r = Uninstall(L"/uninstall", 2, "", { FormsKeptFrom(install) }, { inUse, control });
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_SOME_LEFT);
    EXPECT_EQ(commands, (std::vector<DWORD>{ PRINTER_CONTROL_PURGE, PRINTER_CONTROL_RESUME }))
        << "the queue was not purged, then the printer resumed";
    ASSERT_EQ(r.dialogs.size(), 2u) << DescribeDialogs(r.dialogs);
    EXPECT_NE(r.dialogs[1].text.find("are kept: restart Windows and remove Kiv Image Printer again."),
              std::string::npos) << r.dialogs[1].text;
    EXPECT_TRUE(PathExists(InstallDir() + L"\\kivsetup.exe"));
    EXPECT_EQ(ReadState().uninstallEntries.count("KivImagePrinter30"), 1u);

    r = Uninstall(L"/uninstall /quiet", 0);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    EXPECT_EQ(ReadState().uninstallEntries.count("KivImagePrinter30"), 0u);
}

TEST(Uninstall, AFormThatExistedBeforeTheInstallationStays)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile(QUIET_OPTIONS));
    SetupRunOptions opt;
    SetupRunOptions::Failure exists;
    exists.function = "AddFormW";
    exists.error = ERROR_FILE_EXISTS;
    exists.when = [](DebugRun &run, const ULONG_PTR *args) {
        return run.ReadWString(run.ReadPointer(args[2] + sizeof(ULONG_PTR))) == L"Square 128 x 128 mm";
    };
    opt.fail = { exists };
    SetupRunResult install = RunSetup(opt);
    ASSERT_TRUE(install.ran) << install.failure;

    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { FormsKeptFrom(install) });
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    EXPECT_EQ(r.deletedForms.size(), 15u);
    EXPECT_EQ(std::count(r.deletedForms.begin(), r.deletedForms.end(), L"Square 128 x 128 mm"), 0);
}

TEST(Uninstall, ThePortStaysWhileThePrintersCannotBeListed)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    SetupRunOptions::Failure unlisted;
    unlisted.function = "EnumPrintersW";
    unlisted.error = RPC_S_SERVER_UNAVAILABLE;
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { unlisted });
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_SOME_LEFT) << Join(r.trace);
    std::vector<std::wstring> ports = LocalPortNames();
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"kiv"), ports.end()) << "the port was deleted";
}

TEST(Uninstall, AFileDeletedAtTheRestartNeverHitsALaterInstallation)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    /* Loaded as a library is on Windows: it cannot be deleted, but it can
     * be renamed. */
    std::wstring held = InstallDir() + L"\\kivres.dll";
    CallHook loaded;
    loaded.dll = "kernel32.dll";
    loaded.function = "DeleteFileW";
    loaded.cArgs = 1;
    loaded.fail = true;
    loaded.dwError = ERROR_ACCESS_DENIED;
    loaded.failIf = [held](DebugRun &run, const ULONG_PTR *args) {
        return lstrcmpiW(run.ReadWString(args[0]).c_str(), held.c_str()) == 0;
    };
    /* Renamed aside and listed for the restart, it counts as removed. */
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", {}, { loaded });
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));

    DWORD code = 1;
    HANDLE hRestart = Launch(L"wineboot.exe -r");
    EXPECT_TRUE(WaitExit(hRestart, KIV_SETUP_RUN_MS, &code));
    EXPECT_EQ(code, 0u);
    if (hRestart)
        CloseHandle(hRestart);
    for (const wchar_t *name : { L"kivres.dll", L"kivtray.exe", L"kivprt.exe", L"kivsetup.exe" })
        EXPECT_TRUE(PathIsFile(InstallDir() + L"\\" + name)) << Narrow(name) << " is gone after the restart";
}

/* ---- Unattended installation, and one run by a package ----------------------- */

static SetupRunResult InstallWith(const std::wstring &args, const std::vector<SetupRunOptions::Failure> &fail = {})
{
    return Uninstall(args, 0, "", fail);   /* no dialog may come */
}

static void ExpectNoWindow(const SetupRunResult &r)
{
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_TRUE(r.dialogs.empty()) << DescribeDialogs(r.dialogs);
    EXPECT_TRUE(r.dialogsAtStart.empty()) << "a progress window was shown";
}

TEST(QuietSetup, InstallsWithoutAnyWindowWhateverTheOptionsFileSays)
{
    ASSERT_TRUE(PrepareSetupFolder());
    ASSERT_TRUE(WriteOptionsFile("first=1\nfinal=1\nstatus=1\n"));
    SetupRunResult r = InstallWith(L"/QUIET");
    ExpectNoWindow(r);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_SETUP_EXIT_DONE);
    ASSERT_FALSE(r.trace.empty());
    EXPECT_EQ(r.trace.back(), "Kiv Image Printer setup finished") << Join(r.trace);
    DRIVER_INFO_3W *pDriver = NULL;
    std::vector<BYTE> driverBlock;
    EXPECT_TRUE(GetKivDriver(&pDriver, &driverBlock));
    EXPECT_EQ(ReadState().printers.count(L"Kiv Image Printer"), 1u);
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "UninstallString"));
}

TEST(QuietSetup, ASpoolerFailureIsToldAndUndone)
{
    ASSERT_TRUE(PrepareSetupFolder());
    MachineState before = ReadState();
    /* Driver, port and files are in place when the printer is refused. */
    SetupRunResult r = InstallWith(L"/quiet", { { "AddPrinterW", ERROR_ACCESS_DENIED, nullptr } });
    ExpectNoWindow(r);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_SETUP_EXIT_SPOOL_FAILED);
    EXPECT_EQ(std::vector<std::string>(r.trace.end() - std::min<size_t>(r.trace.size(), 3), r.trace.end()),
              (std::vector<std::string>{ "Kiv Image Printer(Error: Unable to Add Kiv Image Printer)",
                                         "Kiv Image Printer(undo)",
                                         "Kiv Image Printer(Kiv Image Printer Setup: Kiv Image Printer setup failed, "
                                         "you may need to try the manual setup method instead!)" }))
        << Join(r.trace);
    ExpectSameState(before, WithoutSharedDriverFiles(ReadState()));
}

TEST(QuietSetup, AMissingDriverFileGivesTheFileCodeAndChangesNothing)
{
    ASSERT_TRUE(PrepareSetupFolder(KIV_TEST_SETUP_DIR, { L"kivuni.dll" }));
    MachineState before = ReadState();
    /* The log, appended to: its folder's earlier lines stay. */
    ASSERT_TRUE(WriteWholeFile(L"C:\\setup log.txt", "earlier\r\n"));
    SetupRunResult r = InstallWith(L"/quiet -LOG \"C:\\setup log.txt\"");
    ExpectNoWindow(r);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_SETUP_EXIT_FILE_FAILED);
    EXPECT_EQ(r.trace.size() > 1 ? r.trace[1] : "",
              "Kiv Image Printer(Error: Cannot find  file  kivuni.dll  in current directoy)") << Join(r.trace);
    std::string log;
    EXPECT_TRUE(ReadWholeFile(L"C:\\setup log.txt", &log));
    std::string expected = "earlier\r\nKiv Image Printer setup " KIV_MSI_VERSION " (" KIV_ARCH_NAME
                           "): /quiet -LOG \"C:\\setup log.txt\"\r\n";
    for (const std::string &line : r.trace)
        expected += line + "\r\n";
    EXPECT_EQ(log, expected);
    DeleteFileW(L"C:\\setup log.txt");
    ExpectSameState(before, ReadState());
}

/* kivimg30.dll as Windows treats a loaded image: not deleted, not copied
 * over, but renamed (Wine's holder of an open file blocks the rename too). */
static std::vector<CallHook> LoadedImage(bool *pRenamed)
{
    const std::wstring image = SystemDir() + L"\\kivimg30.dll";
    auto is = [image](DebugRun &r, ULONG_PTR a) { return a && lstrcmpiW(r.ReadWString(a).c_str(), image.c_str()) == 0; };
    std::vector<CallHook> hooks(3);
    for (CallHook &h : hooks)
        h.dll = "kernelbase.dll";
    hooks[0].function = "DeleteFileW";
    hooks[0].cArgs = 1;
    hooks[0].dwError = ERROR_ACCESS_DENIED;
    hooks[0].failIf = [=](DebugRun &r, const ULONG_PTR *a) { return !*pRenamed && is(r, a[0]); };
    hooks[1].function = "CopyFileW";
    hooks[1].cArgs = 3;
    hooks[1].dwError = ERROR_SHARING_VIOLATION;
    hooks[1].failIf = [=](DebugRun &r, const ULONG_PTR *a) { return !*pRenamed && is(r, a[1]); };
    hooks[0].fail = hooks[1].fail = true;
    hooks[2].function = "MoveFileExW";
    hooks[2].cArgs = 3;
    hooks[2].onCall = [=](DebugRun &r, const ULONG_PTR *a) { *pRenamed = *pRenamed || (is(r, a[0]) && a[1]); };
    return hooks;
}

/* The restart's list of deletions, in lower case, '|' between names. */
static std::string PendingDeletions()
{
    const std::string data = ReadState().pendingRenames;
    std::string text;
    for (char c : data)
        text += c ? (char)tolower((unsigned char)c) : '|';
    return text;
}

TEST(FileInUse, TheImageLibraryIsRenamedAsideForTheRestartByInstallationAndRemoval)
{
    SetupRunResult install;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&install));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_MARK_KEY, "RestartPending"));
    bool renamed = false;

    /* Over an installation: the new copy takes the name, the printer is
     * there, and the package's closing action will find the marks. */
    SetupRunResult r = Uninstall(L"/quiet /package", 0, "", {}, LoadedImage(&renamed));
    EXPECT_EQ(r.exitCode, (DWORD)KIV_SETUP_EXIT_DONE) << Join(r.trace);
    EXPECT_TRUE(renamed);
    std::string mark;
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, RUN_MARK_KEY, "RestartPending"));
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, RUN_MARK_KEY, "LastRun", &mark) && mark == "installed") << mark;
    /* A rollback of a removal that never completed does nothing. */
    r = Uninstall(L"/quiet /package /rollback", 0);
    EXPECT_EQ(r.trace, std::vector<std::string>{ "Kiv Image Printer(rollback: nothing completed to undo)" });
    std::string a, b;
    EXPECT_TRUE(ReadWholeFile(KIV_TEST_SETUP_DIR L"\\kivimg30.dll", &a) &&
                ReadWholeFile(SystemDir() + L"\\kivimg30.dll", &b) && a == b);
    EXPECT_TRUE(ReadState().printers.count(L"Kiv Image Printer"));
    renamed = false;
    r = Uninstall(L"/quiet", 0, "", {}, LoadedImage(&renamed));
    EXPECT_EQ(r.exitCode, (DWORD)KIV_SETUP_EXIT_RESTART) << Join(r.trace);

    /* Removal: done, with only names of its own on the restart's list. */
    renamed = false;
    r = Uninstall(L"/uninstall /quiet", 0, "", {}, LoadedImage(&renamed));
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    EXPECT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, RUN_MARK_KEY, "LastRun", &mark) && mark == "removed") << mark;
    const std::string pending = PendingDeletions();
    EXPECT_EQ(pending.find("kivimg30.dll"), std::string::npos) << pending;
    EXPECT_NE(pending.find("system32\\kiv"), std::string::npos) << pending;
    EXPECT_FALSE(PathIsFile(SystemDir() + L"\\kivimg30.dll"));
}

TEST(QuietSetup, APackagesInstallationHasOnlyThePackagesEntryAndItsRemovalLeavesNothing)
{
    MachineState before = ReadState();
    SetupRunResult own;
    ASSERT_NO_FATAL_FAILURE(InstallQuietly(&own));
    ASSERT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "UninstallString"));

    /* Over setup's own installation, whose entry and uninstaller go. */
    SetupRunResult install = InstallWith(L"/quiet /package");
    ExpectNoWindow(install);
    EXPECT_EQ(install.exitCode, (DWORD)KIV_SETUP_EXIT_DONE) << Join(install.trace);
    EXPECT_EQ(ReadState().uninstallEntries.count("KivImagePrinter30"), 0u);
    EXPECT_FALSE(PathExists(InstallDir() + L"\\kivsetup.exe"));
    EXPECT_EQ(ReadState().printers.count(L"Kiv Image Printer"), 1u);
    /* Setup run by hand over it adds no entry beside the package's. */
    EXPECT_EQ(InstallWith(L"/quiet").exitCode, (DWORD)KIV_SETUP_EXIT_DONE);
    EXPECT_EQ(ReadState().uninstallEntries.count("KivImagePrinter30"), 0u);

    /* What the package runs from its own folder when it is removed. */
    SetupRunResult r = Uninstall(L"/uninstall /quiet", 0, "", { FormsKeptFrom(install) });
    ExpectNoWindow(r);
    EXPECT_EQ(r.exitCode, (DWORD)KIV_UNINSTALL_ALL_GONE) << Join(r.trace);
    EXPECT_EQ(r.deletedForms.size(), 16u);
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, PRODUCT_KEY, "KivAddedForms"));
    ExpectSameState(before, WithoutSharedDriverFiles(ReadState()));
}
