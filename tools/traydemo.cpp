/*
 * traydemo: the installed tray utility editing the printer's defaults, as
 * a user does it: start kivtray, double-click its icon, confirm the
 * driver's settings sheet with OK, and see the new defaults stored with
 * the printer.  Run after the installation.
 *
 *   traydemo
 *
 * The driver here is the stand-in, whose sheet turns the page (portrait
 * and landscape) and counts its confirmations on each OK.  Exit code 0
 * when the confirmed settings were stored and the tray ended cleanly.
 */
#include <windows.h>
#include <stdio.h>

#include "traytest.h"

#define DEMO_TRAY_EXE L"C:\\Program Files\\KivImagePrinter30\\kivtray.exe"

static const char *OrientationName(short orientation)
{
    return orientation == DMORIENT_LANDSCAPE ? "landscape" : orientation == DMORIENT_PORTRAIT ? "portrait" : "?";
}

static void ShowDefaults(const char *pszWhen, const PrinterState &state)
{
    StandInDevMode dm = DecodeStandInDevMode(state.devMode8);
    if (!dm.valid) {
        printf("     %-34s no stored defaults\n", pszWhen);
        return;
    }
    printf("     %-34s %s, confirmed %lu time(s) in the sheet\n", pszWhen, OrientationName(dm.orientation),
           dm.applied);
}

int main()
{
    TrayProcess tray;
    DWORD exitCode = 0xdeadbeef;
    HWND hSheet;

    PrinterState before = ReadPrinterState(TRAY_PRINTER_W);
    printf("   The printer's defaults before:\n");
    ShowDefaults("\"Kiv Image Printer\":", before);

    printf("   Starting %s ...\n", Narrow(DEMO_TRAY_EXE).c_str());
    if (!tray.Start(DEMO_TRAY_EXE)) {
        printf("   The tray did not start.\n");
        return 1;
    }
    printf("   Its hidden window is up; double-clicking the tray icon ...\n");
    tray.Notify(WM_LBUTTONDBLCLK);
    hSheet = WaitForDialogOf(tray.processId, TRAY_SHEET_CAPTION);
    if (!hSheet) {
        printf("   No settings sheet opened.\n");
        return 1;
    }
    printf("   The driver's settings sheet \"%s\" is open; pressing OK ...\n", TRAY_SHEET_CAPTION);
    PressDialogButton(hSheet, IDOK);
    if (!WaitFor([&] { return !IsWindow(hSheet); }) || !tray.Sync()) {
        printf("   The sheet did not close.\n");
        return 1;
    }

    PrinterState after = ReadPrinterState(TRAY_PRINTER_W);
    printf("   The printer's defaults after:\n");
    ShowDefaults("global default (level 8):", after);
    printf("     %-34s %s\n", "printer record (level 2):",
           after.devMode2 == after.devMode8 ? "the same settings" : "different settings!");

    printf("   Ending the tray with its quit message ...\n");
    if (!tray.Quit(&exitCode)) {
        printf("   The tray did not end.\n");
        return 1;
    }
    printf("   The tray ended with exit code %lu.\n", exitCode);

    StandInDevMode was = DecodeStandInDevMode(before.devMode8), now = DecodeStandInDevMode(after.devMode8);
    return now.valid && now.applied == was.applied + 1 && after.devMode2 == after.devMode8 && exitCode == 0 ? 0 : 1;
}
