/*
 * uninstalldemo: what a user sees when removing the printer from Add or
 * Remove Programs, and what is left on the machine afterwards.  Run after
 * the installation.
 *
 *   uninstalldemo
 *
 * Starts the installed tray and path agent (as a logon would), shows the
 * product's Add or Remove Programs entry, runs its UninstallString with
 * the dialog helper answering as a user would (Yes to the question, OK to
 * the closing message), then reads back from the spooler, the registry and
 * the file system what is left of the product.  Exit code 0 when the
 * removal reported success and nothing of the product is left but the
 * uninstaller itself and its folder, which go at the next restart.
 */
#include <windows.h>
#include <winspool.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>

#include "kivproduct.h"
#include "setuptest.h"

#define ENTRY_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KivImagePrinter30"
#define RUN_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define SESSION_KEY "System\\CurrentControlSet\\Control\\Session Manager"

static int g_left = 0;

static void Heading(const char *pszText)
{
    printf("\n   %s\n", pszText);
}

/* One thing of the product: gone, or still there (which counts). */
static void Report(const std::string &what, bool there)
{
    printf("     %-62s %s\n", what.c_str(), there ? "STILL THERE" : "gone");
    if (there)
        g_left++;
}

static bool DriverOf(const wchar_t *pszEnvironment)
{
    std::vector<BYTE> block(64 * 1024);
    DWORD cb = 0, count = 0;
    std::wstring env = pszEnvironment;
    if (!EnumPrinterDriversW(NULL, &env[0], 1, block.data(), (DWORD)block.size(), &cb, &count))
        return false;
    for (DWORD i = 0; i < count; i++)
        if (lstrcmpiW(((DRIVER_INFO_1W *)block.data())[i].pName, KIV_PRINTER_NAME_W) == 0)
            return true;
    return false;
}

int main()
{
    std::wstring installDir = InstallDir();
    std::string value, command;
    HANDLE hTray, hAgent;
    DWORD code = 1;

    printf("   Starting the installed tray and path agent, as a logon does ...\n");
    hTray = Launch(L"\"" + installDir + L"\\kivtray.exe\"");
    hAgent = Launch(L"\"" + installDir + L"\\kivprt.exe\"  -start");
    if (!hTray || !hAgent || !WaitFor([] { return FindWindowW(L"Kiv Image Printer", NULL) != NULL; }) ||
        !WaitFor([] { return MutexExists(L"KivImagePrinterUncAgency30"); })) {
        printf("   They did not start.\n");
        return 1;
    }

    Heading("The product's entry in Add or Remove Programs:");
    for (const char *name : { "DisplayName", "DisplayVersion", "DisplayIcon", "InstallLocation", "UninstallString",
                              "QuietUninstallString" })
        if (RegGetString(HKEY_LOCAL_MACHINE, ENTRY_KEY, name, &value))
            printf("     %-21s %s\n", name, value.c_str());
    if (!RegGetString(HKEY_LOCAL_MACHINE, ENTRY_KEY, "UninstallString", &command)) {
        printf("     (none)\n");
        return 1;
    }

    printf("\n   Running %s ...\n", command.c_str());
    SetupRunOptions opt;
    opt.commandLine = Widen(command);
    opt.dir = L"C:\\";
    opt.dialogs = 2;
    SetupRunResult r = RunSetup(opt);
    if (!r.ran) {
        printf("   The uninstaller did not run to its end: %s\n", r.failure.c_str());
        return 1;
    }

    Heading("What the uninstaller showed, and what the user answered:");
    for (const DialogRecord &d : r.dialogs) {
        std::string text = d.text, pressed;
        for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 7)
            text.replace(at, 1, "\n      ");
        for (const auto &b : d.buttons)
            if (b.first == d.pressed)
                pressed = b.second;
        for (char &c : pressed)
            if (c == '&')
                c = ' ';
        printf("     [%s]\n      %s\n      -> %s\n", d.caption.c_str(), text.c_str(), pressed.c_str());
    }
    printf("     exit code %lu\n", r.exitCode);
    for (const std::string &line : r.trace)
        printf("     debugger output: %s\n", line.c_str());

    Heading("What is left of the product:");
    Report("the tray utility kivtray.exe running", !WaitExit(hTray, KIV_TEST_DEADLINE_MS, &code));
    Report("the path agent kivprt.exe running", !WaitExit(hAgent, KIV_TEST_DEADLINE_MS, &code));
    std::vector<std::wstring> printers = LocalPrinterNames();
    Report("the printer \"Kiv Image Printer\"",
           std::find(printers.begin(), printers.end(), KIV_PRINTER_NAME_W) != printers.end());
    Report("the driver \"Kiv Image Printer\" for Windows NT x86", DriverOf(L"Windows NT x86"));
    Report("the driver \"Kiv Image Printer\" for Windows x64", DriverOf(L"Windows x64"));
    std::vector<std::wstring> ports = LocalPortNames();
    Report("the port kiv", std::find(ports.begin(), ports.end(), L"kiv") != ports.end());
    for (const wchar_t *name : { L"kivtray.exe", L"kivres.dll", L"kivprt.exe", L"kivhlp.chm" })
        Report(Narrow(installDir + L"\\" + name), PathIsFile(installDir + L"\\" + name));
    Report(Narrow(SystemDir() + L"\\kivimg30.dll"), PathIsFile(SystemDir() + L"\\kivimg30.dll"));
    std::wstring versionDir = DriverDir() + L"\\3";
    for (const wchar_t *name : { L"kiv.gpd", L"kivui.dll", L"kivuni.dll", L"kivuni.ini" })
        Report(Narrow(versionDir + L"\\" + name), PathIsFile(versionDir + L"\\" + name));
    Report("the autostart value kivprt", RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivprt"));
    Report("the autostart value kivtray", RegValueExists(HKEY_LOCAL_MACHINE, RUN_KEY, "kivtray"));
    Report("the entry in Add or Remove Programs", RegValueExists(HKEY_LOCAL_MACHINE, ENTRY_KEY, "DisplayName"));

    Heading("Deleted when Windows restarts (the running uninstaller and its folder):");
    std::string pending;
    DWORD type = 0;
    if (RegGetRaw(HKEY_LOCAL_MACHINE, SESSION_KEY, "PendingFileRenameOperations", &pending, &type)) {
        for (size_t at = 0; at < pending.size(); at += strlen(pending.c_str() + at) + 1)
            if (pending[at])
                printf("     %s\n", pending.c_str() + at);
    } else {
        printf("     (nothing)\n");
    }
    return r.exitCode == 0 && g_left == 0 ? 0 : 1;
}
