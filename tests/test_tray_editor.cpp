/*
 * The tray's printer defaults editor as the user and the spooler see it:
 * the real kivtray in a prefix with printers on the stand-in driver
 * (tests/standin), a double-click posted to its window, the driver's
 * settings sheet ("Options") answered as a user would, and the printers'
 * stored defaults read back through the spooler.
 *
 * The stand-in's page writes a visible change on OK: the orientation
 * switched and its private counter of applied sheets one higher, counted
 * from the DEVMODE the sheet was given.
 *
 * Where Wine or the stand-in cannot produce what Windows and a real driver
 * do, the tray's test build (tests/tray_seams.cpp) stands in: the sheet's
 * Cancel (Wine reports it as IDOK), a sheet confirmed without changes (the
 * stand-in's page always changes something), a printer without a stored
 * default (Wine makes one up) and a store the spooler refuses.  The test
 * build also puts the editor's blocks against inaccessible pages.
 */
#include <gtest/gtest.h>

#include "traytest.h"

/* ---- Helpers ------------------------------------------------------------- */

/* Double-clicks the icon and waits for the sheet. */
static HWND OpenSheet(const TrayProcess &tray)
{
    tray.Notify(WM_LBUTTONDBLCLK);
    return WaitForDialogOf(tray.processId, TRAY_SHEET_CAPTION);
}

/* Presses a button of the sheet and waits until the sheet is gone and the
 * tray takes messages again: by then it has stored whatever it stores. */
static bool CloseSheet(const TrayProcess &tray, HWND hSheet, int button)
{
    PressDialogButton(hSheet, button);
    return WaitFor([&] { return !IsWindow(hSheet); }) && tray.Sync();
}

/* Proves that a double-click posted before has been handled without a
 * sheet: the autostart question posted after it shows while no sheet is
 * open (a sheet would still be open, running the question in its own
 * loop).  Answers No. */
static void ExpectNoSheetWasShown(const TrayProcess &tray)
{
    tray.Command(TRAY_CMD_AUTOLAUNCH);
    HWND hQuestion = WaitForDialogOf(tray.processId, "Confirmation");
    ASSERT_TRUE(hQuestion != NULL);
    EXPECT_EQ(CountDialogsOf(tray.processId, TRAY_SHEET_CAPTION), 0) << "a settings sheet was shown";
    PressDialogButton(hQuestion, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hQuestion); }));
    ASSERT_TRUE(tray.Sync());
}

static StandInDevMode Stored8(const std::wstring &printer)
{
    return DecodeStandInDevMode(ReadPrinterState(printer).devMode8);
}

/* A stored default of the stand-in with a counter of its own, so that a
 * test knows what the sheet starts from. */
static bool StoreCounter(const std::wstring &printer, DWORD applied)
{
    PrinterState state = ReadPrinterState(printer);
    if (!DecodeStandInDevMode(state.devMode8).valid)
        return false;
    std::string dm = state.devMode8;
    const DEVMODEW *pdm = (const DEVMODEW *)dm.data();
    ((DWORD *)&dm[pdm->dmSize])[1] = applied;   /* after the signature */
    return StoreDefaultDevMode(printer, dm) && Stored8(printer).applied == applied;
}

static void ExpectSameLevel2Fields(const PrinterState &after, const PrinterState &before)
{
    EXPECT_EQ(after.printerName, before.printerName);
    EXPECT_EQ(after.shareName, before.shareName);
    EXPECT_EQ(after.portName, before.portName);
    EXPECT_EQ(after.driverName, before.driverName);
    EXPECT_EQ(after.comment, before.comment);
    EXPECT_EQ(after.location, before.location);
    EXPECT_EQ(after.sepFile, before.sepFile);
    EXPECT_EQ(after.printProcessor, before.printProcessor);
    EXPECT_EQ(after.datatype, before.datatype);
    EXPECT_EQ(after.parameters, before.parameters);
    EXPECT_EQ(after.attributes, before.attributes);
    EXPECT_EQ(after.priority, before.priority);
    EXPECT_EQ(after.defaultPriority, before.defaultPriority);
    EXPECT_EQ(after.startTime, before.startTime);
    EXPECT_EQ(after.untilTime, before.untilTime);
    EXPECT_EQ(after.hasSecurity, before.hasSecurity);
}

/* ---- Confirming the sheet ------------------------------------------------ */

TEST(TrayEditor, OkStoresTheSheetsDevModeAtBothLevelsAndLeavesTheRestAlone)
{
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(SetDistinctLevel2Fields(TRAY_PRINTER_W));
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 4));
    PrinterState before = ReadPrinterState(TRAY_PRINTER_W);
    ASSERT_TRUE(before.read);
    StandInDevMode old = DecodeStandInDevMode(before.devMode8);
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, "GiveSecurity", 1));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL) << "no settings sheet";
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));

    PrinterState after = ReadPrinterState(TRAY_PRINTER_W);
    ASSERT_TRUE(after.read);
    StandInDevMode stored8 = DecodeStandInDevMode(after.devMode8);
    ASSERT_TRUE(stored8.valid) << "level 8 holds no DEVMODE of the driver";
    EXPECT_EQ(stored8.applied, old.applied + 1);
    EXPECT_NE(stored8.orientation, old.orientation);
    EXPECT_EQ(after.devMode2, after.devMode8) << "level 2 holds another DEVMODE";
    /* Only the sheet's change: the rest of the public part as before. */
    const DEVMODEW *pNew = (const DEVMODEW *)after.devMode8.data();
    const DEVMODEW *pOld = (const DEVMODEW *)before.devMode8.data();
    EXPECT_EQ(pNew->dmPaperSize, pOld->dmPaperSize);
    EXPECT_EQ(pNew->dmCopies, pOld->dmCopies);
    EXPECT_EQ(pNew->dmPrintQuality, pOld->dmPrintQuality);
    ExpectSameLevel2Fields(after, before);
    DWORD stored = 2;
    EXPECT_TRUE(WaitFor([&] {
        DWORD cb = sizeof(stored);
        return RegGetValueA(HKEY_LOCAL_MACHINE, TRAY_SEAM_KEY_A, "StoredSecurity", RRF_RT_REG_DWORD, NULL, &stored,
                            &cb) == ERROR_SUCCESS;
    })) << "no level-2 store";
    EXPECT_EQ(stored, 0u) << "level 2 wrote the printer's security back";
    EXPECT_TRUE(tray.Running());

    /* A second edit starts from what the first stored. */
    hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, old.applied + 2);
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).orientation, old.orientation);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditor, ConfirmedWithoutChangesStillStores)
{
    /* The sheet confirms the DEVMODE it was given, unchanged (the test
     * build puts the input back into the output after the page's OK).
     * While the sheet is open another program stores a different default;
     * the confirmed one must replace it. */
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 10));
    std::string shown = ReadPrinterState(TRAY_PRINTER_W).devMode8;
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, TRAY_SEAM_KEEP_INPUT_A, 1));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 77));
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));

    PrinterState after = ReadPrinterState(TRAY_PRINTER_W);
    EXPECT_EQ(DecodeStandInDevMode(after.devMode8).applied, 10u) << "the confirmed settings were not stored";
    EXPECT_EQ(after.devMode8, shown);
    EXPECT_EQ(after.devMode2, shown);
    ASSERT_TRUE(tray.Quit());
}

/* Changes the printer's comment from the test, as another program may
 * while the sheet is open. */
static bool SetComment(const std::wstring &printer, const wchar_t *pszComment)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE hPrinter = NULL;
    DWORD cbNeeded = 0;
    bool ok = false;
    if (!OpenPrinterW((LPWSTR)printer.c_str(), &hPrinter, &defaults))
        return false;
    GetPrinterW(hPrinter, 2, NULL, 0, &cbNeeded);
    std::vector<BYTE> buffer(cbNeeded ? cbNeeded : 1);
    if (cbNeeded && GetPrinterW(hPrinter, 2, buffer.data(), cbNeeded, &cbNeeded)) {
        ((PRINTER_INFO_2W *)buffer.data())->pComment = (LPWSTR)pszComment;
        ok = SetPrinterW(hPrinter, 2, buffer.data(), 0) != FALSE;
    }
    ClosePrinter(hPrinter);
    return ok;
}

TEST(TrayEditor, EachStoreIsMadeAlsoWhenTheOtherFails)
{
    /* The level-2 store writes back the record as the tray read it before
     * the sheet, so a comment changed meanwhile goes back to what it was:
     * that shows the level-2 store.  The DEVMODE shows whichever store
     * got through (Wine keeps both levels' DEVMODE in one place). */
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(SetComment(TRAY_PRINTER_W, L"as read"));
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 90));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    struct Case {
        DWORD failing;              /* 0: none */
        bool level2Made;
    };
    const Case cases[] = { { 0, true }, { 8, true }, { 2, false } };
    DWORD applied = 90;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing);
        ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, TRAY_SEAM_FAIL_STORE_A, c.failing));
        HWND hSheet = OpenSheet(tray);
        ASSERT_TRUE(hSheet != NULL);
        ASSERT_TRUE(SetComment(TRAY_PRINTER_W, L"changed meanwhile"));
        ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
        PrinterState after = ReadPrinterState(TRAY_PRINTER_W);
        EXPECT_EQ(DecodeStandInDevMode(after.devMode8).applied, ++applied) << "the DEVMODE was not stored";
        EXPECT_EQ(Narrow(after.comment), c.level2Made ? "as read" : "changed meanwhile");
        ASSERT_TRUE(SetComment(TRAY_PRINTER_W, L"as read"));
    }
    ASSERT_TRUE(tray.Quit());
}

/* ---- Not confirming ------------------------------------------------------ */

TEST(TrayEditor, CancelOrAFailingSheetStoresNothing)
{
    /* Windows reports the user's Cancel as IDCANCEL and a failing sheet as
     * 0 or less; the test build gives the tray those results while the page
     * has written its values all the same, so any store would show. */
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 20));
    std::string before = ReadPrinterState(TRAY_PRINTER_W).devMode8;
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    for (LONG result : { (LONG)IDCANCEL, 0L, -1L }) {
        SCOPED_TRACE(result);
        ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, TRAY_SEAM_SHEET_RESULT_A, (DWORD)result));
        HWND hSheet = OpenSheet(tray);
        ASSERT_TRUE(hSheet != NULL);
        ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
        EXPECT_EQ(ReadPrinterState(TRAY_PRINTER_W).devMode8, before) << "stored";
        EXPECT_EQ(ReadPrinterState(TRAY_PRINTER_W).devMode2, before) << "stored";
    }

    /* The same sheet reported as OK stores, counted from the untouched
     * default: none of the three went in. */
    ASSERT_TRUE(DeleteMachineValue(TRAY_SEAM_KEY_A, TRAY_SEAM_SHEET_RESULT_A));
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, 21u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditor, SheetTheDriverCannotOpenShowsNothingAndStoresNothing)
{
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 30));
    std::string before = ReadPrinterState(TRAY_PRINTER_W).devMode8;
    ASSERT_TRUE(SetMachineDword("Software\\KivTest\\StandInDriver", "FailSheet", 1));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    tray.Notify(WM_LBUTTONDBLCLK);
    ExpectNoSheetWasShown(tray);
    EXPECT_EQ(ReadPrinterState(TRAY_PRINTER_W).devMode8, before);

    /* The tray is not stuck: once the driver can show its sheet, it does. */
    ASSERT_TRUE(SetMachineDword("Software\\KivTest\\StandInDriver", "FailSheet", 0));
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, 31u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditor, WithoutTheRightsTheDoubleClickSaysWhyAndLooksNoFurther)
{
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 40));
    std::string before = ReadPrinterState(TRAY_PRINTER_W).devMode8;
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, "DenyOpen", 1));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    tray.Notify(WM_LBUTTONDBLCLK);
    HWND hMessage = WaitForDialogOf(tray.processId, "Kiv Image Printer");
    ASSERT_TRUE(hMessage != NULL) << "no message";
    char text[512] = "";
    GetDlgItemTextA(hMessage, 0xFFFF, text, sizeof(text));
    EXPECT_STREQ(text, "Changing the default settings of the Kiv Image Printer needs administrator "
                                    "rights. Ask an administrator, or exit the tray utility and start it again as "
                                    "administrator.");
    PressDialogButton(hMessage, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hMessage); }));
    ExpectNoSheetWasShown(tray);
    EXPECT_EQ(ReadPrinterState(TRAY_PRINTER_W).devMode8, before);
    ASSERT_TRUE(tray.Quit());
}

/* ---- A printer without a stored default --------------------------------- */

TEST(TrayEditor, PrinterWithoutStoredDefaultGetsTheDriversDefaultBuiltAndStored)
{
    /* The stored default (counter 50) is hidden from the tray as Windows
     * hides none: the sheet must start from the driver's own default
     * (counter 0), not from anything stored. */
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 50));
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, TRAY_SEAM_HIDE_DEFAULT_A, 1));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL) << "no sheet for a printer without a default";
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    PrinterState after = ReadPrinterState(TRAY_PRINTER_W);
    StandInDevMode stored = DecodeStandInDevMode(after.devMode8);
    ASSERT_TRUE(stored.valid);
    EXPECT_EQ(stored.applied, 1u) << "the sheet did not start from the driver's default";
    EXPECT_EQ(stored.orientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(((const DEVMODEW *)after.devMode8.data())->dmPaperSize, DMPAPER_A4);
    EXPECT_EQ(after.devMode2, after.devMode8);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditor, StoredDefaultSmallerThanTheDriversGetsTheDriversWholeDevMode)
{
    /* A stored default smaller than the driver's DEVMODE (a bare public
     * part, as an older driver or Wine's made-up default leaves): the
     * sheet writes the driver's whole DEVMODE into the working copy.  The
     * test build puts the working copy against an inaccessible page, so a
     * copy sized from the stored default would end the tray with a fault. */
    ASSERT_TRUE(InstallStandInDriver());
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    ASSERT_TRUE(AddTestPrinter(TRAY_PRINTER_W, L"kiv"));
    PrinterState before = ReadPrinterState(TRAY_PRINTER_W);
    ASSERT_TRUE(before.read);
    /* The spooler may have stored the driver's default at creation; the
     * test wants the smaller one. */
    std::string bare = before.devMode8.substr(0, sizeof(DEVMODEW));
    ((DEVMODEW *)&bare[0])->dmDriverExtra = 0;
    ASSERT_TRUE(StoreDefaultDevMode(TRAY_PRINTER_W, bare));
    ASSERT_EQ(ReadPrinterState(TRAY_PRINTER_W).devMode8.size(), sizeof(DEVMODEW));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    StandInDevMode stored = Stored8(TRAY_PRINTER_W);
    ASSERT_TRUE(stored.valid) << "the private part did not arrive";
    EXPECT_EQ(stored.applied, 1u);
    EXPECT_TRUE(tray.Running()) << "the tray ended";
    ASSERT_TRUE(tray.Quit());
}

/* ---- Re-entry ------------------------------------------------------------- */

TEST(TrayEditor, SecondDoubleClickWhileTheSheetIsOpenOpensNoSecondSheet)
{
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 40));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    /* The second double-click brings the sheet back from behind another
     * window; then the autostart question as a marker: the sheet's loop
     * handles both in turn. */
    HWND hOther = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(hOther && SetForegroundWindow(hOther));
    tray.Notify(WM_LBUTTONDBLCLK);
    EXPECT_TRUE(WaitFor([&] { return GetForegroundWindow() == hSheet; })) << "the sheet stayed behind";
    DestroyWindow(hOther);
    tray.Command(TRAY_CMD_AUTOLAUNCH);
    HWND hQuestion = WaitForDialogOf(tray.processId, "Confirmation");
    ASSERT_TRUE(hQuestion != NULL);
    EXPECT_EQ(CountDialogsOf(tray.processId, TRAY_SHEET_CAPTION), 1) << "a second sheet was opened";
    PressDialogButton(hQuestion, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hQuestion); }));

    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(CountDialogsOf(tray.processId, TRAY_SHEET_CAPTION), 0);
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, 41u) << "stored more than once";

    /* The guard is down again: the next double-click opens the sheet. */
    hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, 42u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditor, WithoutResourceLibraryTheDoubleClickStillOpensTheSheet)
{
    ASSERT_TRUE(InstallKivPrinter());
    ASSERT_TRUE(StoreCounter(TRAY_PRINTER_W, 60));
    ASSERT_TRUE(InstallTray(false));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(TRAY_PRINTER_W).applied, 61u);
    ASSERT_TRUE(tray.Quit());
}

/* ---- Finding the printer by its port ----------------------------------- */

TEST(TrayEditorLookup, PrinterUnderAnotherNameOnPortKivIsEditedUnderItsName)
{
    const std::wstring name = L"Photos to disk";
    ASSERT_TRUE(InstallStandInDriver());
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    ASSERT_TRUE(AddTestPrinter(name, L"kiv"));
    ASSERT_TRUE(StoreCounter(name, 5));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL) << "the printer was not found by its port";
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(name).applied, 6u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditorLookup, NameLongerThan159CharactersIsFoundWhole)
{
    /* Printer names may be longer than 159 characters; such a printer is
     * edited under its whole name. */
    const std::wstring name = L"Kiv images " + std::wstring(190, L'x');
    ASSERT_GT(name.size(), 159u);
    ASSERT_TRUE(InstallStandInDriver());
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    ASSERT_TRUE(AddTestPrinter(name, L"kiv"));
    ASSERT_TRUE(StoreCounter(name, 8));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    EXPECT_EQ(Stored8(name).applied, 9u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditorLookup, SeveralMatchingPortsTakeTheFirstPrinterInEnumerationOrder)
{
    /* Ports that contain "Kiv", "kiv" or "KIV", and one that holds the
     * letters only as "kIv"; no printer has the usual name. */
    struct Candidate {
        std::wstring name, port;
        bool matches;
    };
    const Candidate candidates[] = {
        { L"A images", L"out-kIv", false },
        { L"B images", L"out-kiv", true },
        { L"C images", L"KIV2", true },
        { L"D images", L"Kiv-3", true },
    };
    ASSERT_TRUE(InstallStandInDriver());
    for (const Candidate &c : candidates) {
        ASSERT_TRUE(AddLocalPort(c.port));
        ASSERT_TRUE(AddTestPrinter(c.name, c.port));
        ASSERT_TRUE(StoreCounter(c.name, 100));
    }
    std::wstring expected;
    for (const std::wstring &n : PrinterNamesInOrder()) {
        for (const Candidate &c : candidates)
            if (c.name == n && c.matches && expected.empty())
                expected = n;
    }
    ASSERT_FALSE(expected.empty());

    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND hSheet = OpenSheet(tray);
    ASSERT_TRUE(hSheet != NULL);
    ASSERT_TRUE(CloseSheet(tray, hSheet, IDOK));
    for (const Candidate &c : candidates) {
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(Stored8(c.name).applied, c.name == expected ? 101u : 100u);
    }
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditorLookup, PortSpelledKIvIsNotFoundAndNothingIsShown)
{
    const std::wstring name = L"Mixed case port";
    ASSERT_TRUE(InstallStandInDriver());
    ASSERT_TRUE(AddLocalPort(L"kIv"));
    ASSERT_TRUE(AddTestPrinter(name, L"kIv"));
    ASSERT_TRUE(StoreCounter(name, 70));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    tray.Notify(WM_LBUTTONDBLCLK);
    ExpectNoSheetWasShown(tray);
    EXPECT_EQ(Stored8(name).applied, 70u);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayEditorLookup, PrinterThatCannotBeOpenedShowsNothingAndChangesNothing)
{
    /* Wine's spooler cannot open a printer that has no data type: it is
     * found under its usual name and on its port, and opens under neither. */
    ASSERT_TRUE(InstallStandInDriver());
    ASSERT_TRUE(AddLocalPort(L"kiv"));
    /* Wine creates it, then fails to open it for the handle it returns. */
    AddTestPrinter(TRAY_PRINTER_W, L"kiv", false);
    HANDLE hPrinter = NULL;
    ASSERT_FALSE(OpenPrinterW((LPWSTR)TRAY_PRINTER_W, &hPrinter, NULL)) << "the printer opens after all";
    PrinterState before = EnumeratedPrinterState(TRAY_PRINTER_W);
    ASSERT_TRUE(before.read);
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    tray.Notify(WM_LBUTTONDBLCLK);
    ExpectNoSheetWasShown(tray);
    PrinterState after = EnumeratedPrinterState(TRAY_PRINTER_W);
    ASSERT_TRUE(after.read);
    ExpectSameLevel2Fields(after, before);
    EXPECT_EQ(after.devMode2, before.devMode2);
    ASSERT_TRUE(tray.Quit());
}

