/*
 * setupdemo: what a user sees when installing the printer, and what the
 * installation leaves on the machine.
 *
 *   setupdemo
 *
 * Copies the staged setup folder (the product folder with the stand-in
 * driver files beside it) to C:\KivSetup, runs the real kivsetup.exe from
 * there with the dialog helper answering each message as a user would
 * (Yes to the question, OK to the outcome), then reads back from the
 * spooler and the registry what was installed.  Exit code 0 when setup
 * reported success and the printer is there.
 */
#include <windows.h>
#include <winspool.h>
#include <stdio.h>

#include "kivproduct.h"
#include "setuptest.h"

#define DEMO_SETUP_DIR L"C:\\KivSetup"

static void Heading(const char *pszText)
{
    printf("\n   %s\n", pszText);
}

static void ListFolder(const std::wstring &dir, const std::vector<std::wstring> &names)
{
    for (const std::wstring &name : names) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        std::wstring path = dir + L"\\" + name;
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
            printf("     %-52s %8lu bytes\n", Narrow(path).c_str(), data.nFileSizeLow);
        else
            printf("     %-52s missing\n", Narrow(path).c_str());
    }
}

static std::string RunValue(const char *pszName)
{
    std::string value;
    if (!RegGetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", pszName, &value))
        return "(none)";
    return value;
}

int main()
{
    SetupRunOptions opt;
    SetupRunResult r;
    std::vector<BYTE> block;
    DRIVER_INFO_3W *pDriver = NULL;
    int ok = 1;

    opt.dir = DEMO_SETUP_DIR;
    opt.dialogs = 2;
    if (!PrepareSetupFolder(DEMO_SETUP_DIR)) {
        printf("   Could not copy the setup folder.\n");
        return 1;
    }
    printf("   Running %s\\kivsetup.exe ...\n", Narrow(DEMO_SETUP_DIR).c_str());
    r = RunSetup(opt);
    if (!r.ran) {
        printf("   Setup did not run to its end: %s\n", r.failure.c_str());
        return 1;
    }

    Heading("What setup showed, and what the user answered:");
    for (const DialogRecord &d : r.dialogs) {
        std::string pressed;
        for (const auto &b : d.buttons)
            if (b.first == d.pressed)
                pressed = b.second;
        for (char &c : pressed)
            if (c == '&')
                c = ' ';
        printf("     [%s] \"%s\"  -> %s\n", d.caption.c_str(), d.text.c_str(), pressed.c_str());
    }
    if (!r.dialogsAtStart.empty())
        printf("     (progress window \"%s\": \"%s\")\n", r.dialogsAtStart[0].caption.c_str(),
               r.dialogsAtStart[0].staticText.c_str());

    Heading("Progress lines setup wrote to the debugger output:");
    for (const std::string &line : r.trace)
        printf("     %s\n", line.c_str());

    Heading("Printer driver (from the spooler):");
    if (GetKivDriver(&pDriver, &block)) {
        printf("     %s, %s, version %lu\n", Narrow(pDriver->pName).c_str(),
               Narrow(pDriver->pEnvironment).c_str(), pDriver->cVersion);
        printf("     driver %s, data %s, configuration %s\n", Narrow(pDriver->pDriverPath).c_str(),
               Narrow(pDriver->pDataFile).c_str(), Narrow(pDriver->pConfigFile).c_str());
    } else {
        printf("     not installed\n");
        ok = 0;
    }

    Heading("Ports (from the spooler):");
    for (const std::wstring &port : LocalPortNames())
        printf("     %s\n", Narrow(port).c_str());

    Heading("Printer (from the spooler):");
    if (GetPrinterInfo2(KIV_PRINTER_NAME_W, &block)) {
        const PRINTER_INFO_2W *p = (const PRINTER_INFO_2W *)block.data();
        printf("     \"%s\" on port %s, driver \"%s\", data type %s\n", Narrow(p->pPrinterName).c_str(),
               Narrow(p->pPortName).c_str(), Narrow(p->pDriverName).c_str(),
               p->pDatatype ? Narrow(p->pDatatype).c_str() : "(none)");
        printf("     location %s\n", p->pLocation ? Narrow(p->pLocation).c_str() : "(none)");
    } else {
        printf("     not installed\n");
        ok = 0;
    }

    Heading("Paper forms setup added (Wine's spooler keeps none, so they are shown as handed over):");
    for (const FormCall &f : r.forms)
        printf("     %-24s %7.1f x %7.1f mm\n", Narrow(f.name).c_str(), f.cx / 1000.0, f.cy / 1000.0);

    Heading("Installed files:");
    ListFolder(InstallDir(), { L"kivprt.exe", L"kivtray.exe", L"kivres.dll", L"kivhlp.chm" });
    ListFolder(SystemDir(), { L"kivimg30.dll" });

    Heading("Autostart values (setup removes both; the programs add their own):");
    printf("     kivprt  %s\n     kivtray %s\n", RunValue("kivprt").c_str(), RunValue("kivtray").c_str());

    return ok && !r.trace.empty() && r.trace.back() == "Kiv Image Printer setup finished" ? 0 : 1;
}
