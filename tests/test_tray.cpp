/*
 * The tray utility kivtray as the user and its peers see it: the real
 * program in the install folder of a prefix of its own, driven through
 * messages posted to its hidden window, its menu answered by keys, its
 * dialogs read and answered, its icon seen by a stand-in task bar, and
 * what it opens seen through file associations that start a recorder.
 */
#include <gtest/gtest.h>
#include <string.h>
#include <set>

#include "traytest.h"
#include "debugrun.h"

static const char kConfirmationText[] =
    "Want to automatically run this Kiv Image Printer configuration utility whenever Windows starts up?";

static std::string RunValue()
{
    std::string value;
    if (!RegGetString(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, &value))
        return "<absent>";
    return value;
}

static std::string UpperAZ(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return s;
}

/* Opens the menu with the right button and chooses an item by keys. */
static bool ChooseFromMenu(const TrayProcess &tray, const std::vector<WORD> &keys)
{
    tray.Notify(WM_RBUTTONDOWN);
    HWND hMenu = NULL;
    if (!WaitFor([&] { return (hMenu = OpenMenuOf(tray.processId)) != NULL; }))
        return false;
    PressMenuKeys(hMenu, keys);
    return true;
}

/* The last item: the autostart offer while it is shown, else Exit. */
static bool ChooseLastMenuItem(const TrayProcess &tray)
{
    return ChooseFromMenu(tray, { VK_END, VK_RETURN });
}

/* The autostart item (last while offered) answered Yes: the dialogs shown. */
static std::vector<DialogRecord> ChooseAutostartAndAnswerYes(const TrayProcess &tray)
{
    DialogHelper helper;
    if (!helper.Start("6") || !ChooseLastMenuItem(tray) || !helper.Finish())
        return {};
    return helper.Records();
}

/* The stand-in task bar, then the delivered tray with its icon. */
static bool StartWithIcon(FakeTaskbar &taskbar, TrayProcess &tray)
{
    return taskbar.Start() && InstallTray() && tray.Start() && taskbar.WaitForCalls(1);
}

/* ---- One copy at a time ------------------------------------------------ */

TEST(TrayInstance, SecondStartEndsAtOnceLeavingOneTrayAndOneIcon)
{
    FakeTaskbar taskbar;
    TrayProcess first;
    ASSERT_TRUE(StartWithIcon(taskbar, first));
    EXPECT_TRUE(MutexExists(TRAY_MUTEX_W));

    HANDLE hSecond = Launch(L"\"" + TrayExePath() + L"\"");
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitExit(hSecond, KIV_TEST_DEADLINE_MS, &code)) << "second copy did not end";
    CloseHandle(hSecond);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(TrayWindows().size(), 1u);
    /* The second copy added no icon (its calls would have come before it
     * ended: the shell delivers them synchronously). */
    EXPECT_EQ(taskbar.Calls().size(), 1u);
    EXPECT_TRUE(first.Running());

    ASSERT_TRUE(first.Quit(&code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(WaitFor([] { return !MutexExists(TRAY_MUTEX_W); })) << "the mutex outlived the tray";
}

TEST(TrayInstance, MutexHeldByAnotherProgramMeansAnotherCopyRuns)
{
    /* The common library's wide-character unit uses the same name: a
     * process holding it counts as a running tray. */
    HANDLE hMutex = CreateMutexW(NULL, FALSE, TRAY_MUTEX_W);
    ASSERT_TRUE(hMutex != NULL);
    ASSERT_TRUE(InstallTray());
    HANDLE hTray = Launch(L"\"" + TrayExePath() + L"\"");
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(WaitExit(hTray, KIV_TEST_DEADLINE_MS, &code));
    CloseHandle(hTray);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(TrayWindows().empty());
    CloseHandle(hMutex);

    /* With the mutex gone, the tray starts. */
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(tray.Quit(&code));
    EXPECT_EQ(code, 0u);
}

/* ---- Ending -------------------------------------------------------------- */

TEST(TrayEnding, ExitAndEveryPostedQuitMessageEndWithCodeZeroAndRemoveTheIcon)
{
    FakeTaskbar taskbar;
    ASSERT_TRUE(taskbar.Start());
    ASSERT_TRUE(InstallTray());
    const UINT quit = TrayQuitMessage();
    const char *const ways[] = { "Exit command", "quit posted to the window", "quit broadcast",
                                 "quit posted to the thread" };

    for (int way = 0; way < 4; way++) {
        SCOPED_TRACE(ways[way]);
        size_t before = taskbar.Calls().size();
        TrayProcess tray;
        ASSERT_TRUE(tray.Start());
        ASSERT_TRUE(taskbar.WaitForCalls(before + 1));
        switch (way) {
        case 0:
            tray.Command(TRAY_CMD_EXIT);
            break;
        case 1:
            /* Whatever parameters it carries. */
            PostMessageW(tray.hwnd, quit, 12345, 678);
            break;
        case 2:
            PostMessageW(HWND_BROADCAST, quit, 0, 0);
            break;
        case 3:
            PostThreadMessageW(tray.threadId, quit, 0, 0);
            break;
        }
        DWORD code = 0xdeadbeef;
        ASSERT_TRUE(tray.WaitEnd(&code)) << "the tray did not end";
        EXPECT_EQ(code, 0u);
        std::vector<IconCall> calls = taskbar.Calls();
        ASSERT_EQ(calls.size(), before + 2);
        EXPECT_EQ(calls.back().message, (DWORD)NIM_DELETE);
        EXPECT_EQ(calls.back().hwnd, tray.hwnd);
        EXPECT_EQ(calls.back().uID, 100u);
        EXPECT_TRUE(WaitFor([] { return !MutexExists(TRAY_MUTEX_W); }));
    }
}

TEST(TrayEnding, QuitMessageSentOrPassedOnByTheMenuHasNoEffect)
{
    FakeTaskbar taskbar;
    TrayProcess tray;
    ASSERT_TRUE(StartWithIcon(taskbar, tray));
    const UINT quit = TrayQuitMessage();

    /* Sent: the window procedure alone gets it, and it has returned when
     * the call returns. */
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutW(tray.hwnd, quit, 0, 0, SMTO_NORMAL, KIV_TEST_DEADLINE_MS, &result));
    ASSERT_TRUE(tray.Sync());
    EXPECT_TRUE(tray.Running());
    EXPECT_TRUE(IsWindow(tray.hwnd));

    /* Posted while the menu is open: the menu's loop passes it to the
     * window procedure, not to the tray's own loop. */
    tray.Notify(WM_RBUTTONDOWN);
    HWND hMenu = NULL;
    ASSERT_TRUE(WaitFor([&] { return (hMenu = OpenMenuOf(tray.processId)) != NULL; }));
    PostMessageW(tray.hwnd, quit, 0, 0);
    ASSERT_TRUE(tray.Sync());
    PressMenuKeys(hMenu, { VK_ESCAPE });
    ASSERT_TRUE(WaitFor([&] { return OpenMenuOf(tray.processId) == NULL; }));
    ASSERT_TRUE(tray.Sync());
    EXPECT_TRUE(tray.Running());
    EXPECT_EQ(taskbar.Calls().size(), 1u) << "the icon was deleted";

    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(tray.Quit(&code));
    EXPECT_EQ(code, 0u);
}

/* ---- The notification icon ---------------------------------------------- */

static void ExpectTheTrayIcon(const IconCall &call, HWND hwnd)
{
    EXPECT_EQ(call.message, (DWORD)NIM_ADD);
    EXPECT_EQ(call.hwnd, hwnd);
    EXPECT_EQ(call.uID, 100u);
    EXPECT_EQ(call.uFlags, 7u);
    EXPECT_EQ(call.uCallbackMessage, 1025u);
    EXPECT_EQ(Narrow(call.tip), "Kiv Image Printer");
}

TEST(TrayIcon, AddedAtStartWithTheRecordsValuesAndAPictureDeletedAtExit)
{
    FakeTaskbar taskbar;
    TrayProcess tray;
    ASSERT_TRUE(StartWithIcon(taskbar, tray));
    IconCall add = taskbar.Calls()[0];
    ExpectTheTrayIcon(add, tray.hwnd);
    EXPECT_TRUE(add.hasImage);
    EXPECT_EQ(add.width, 16u);
    EXPECT_EQ(add.height, 16u);
    EXPECT_TRUE(add.imageHasColour) << "the icon's picture is blank";

    ASSERT_TRUE(tray.Quit());
    std::vector<IconCall> calls = taskbar.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].message, (DWORD)NIM_DELETE);
    EXPECT_EQ(calls[1].hwnd, tray.hwnd);
    EXPECT_EQ(calls[1].uID, 100u);
}

TEST(TrayIcon, AddedAgainEachTimeTheTaskbarIsCreatedAgain)
{
    FakeTaskbar taskbar;
    TrayProcess tray;
    ASSERT_TRUE(StartWithIcon(taskbar, tray));

    /* What Explorer broadcasts when it has made a new task bar. */
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    for (size_t n = 2; n <= 3; n++) {
        PostMessageW(HWND_BROADCAST, taskbarCreated, 0, 0);
        ASSERT_TRUE(taskbar.WaitForCalls(n)) << "icon not added again";
        IconCall again = taskbar.Calls()[n - 1];
        ExpectTheTrayIcon(again, tray.hwnd);
        EXPECT_TRUE(again.hasImage) << "the picture was lost";
    }
    ASSERT_TRUE(tray.Quit());
    std::vector<IconCall> calls = taskbar.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3].message, (DWORD)NIM_DELETE);
}

TEST(TrayIcon, AnAddTheShellRefusesIsTriedAgainOnATimer)
{
    FakeTaskbar taskbar;
    ASSERT_TRUE(taskbar.Start());
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, "FailIconAdds", 2));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    /* Each tick looks whether the refused add arrived after all, then adds. */
    ASSERT_TRUE(taskbar.WaitForCalls(3)) << "the icon was not tried again";
    std::vector<IconCall> calls = taskbar.Calls();
    EXPECT_EQ(calls[0].message, (DWORD)NIM_MODIFY);
    EXPECT_EQ(calls[1].message, (DWORD)NIM_MODIFY);
    ExpectTheTrayIcon(calls[2], tray.hwnd);
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayIcon, MadeAtTheSystemsSmallIconSize)
{
    /* 144 DPI: the system's small icons are 24 pixels. */
    ASSERT_TRUE(SetMachineDword("Control Panel\\Desktop", "LogPixels", 144, HKEY_CURRENT_USER));
    FakeTaskbar taskbar;
    TrayProcess tray;
    ASSERT_TRUE(StartWithIcon(taskbar, tray));
    EXPECT_EQ(std::make_pair(taskbar.Calls()[0].width, taskbar.Calls()[0].height), std::make_pair(24u, 24u));
    ASSERT_TRUE(tray.Quit());
}

/* Wine has no message filter and no COM handlers: the calls are what counts. */
TEST(TrayIcon, LetsTheNewTaskbarsMessageInAndMakesTheThreadAnApartment)
{
    ASSERT_TRUE(InstallTray());
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    std::vector<ULONG_PTR> filtered;
    ULONG_PTR comFlags = 0xdeadbeef;
    DebugRun run;
    CallHook filter, com, icon;
    filter.dll = "user32.dll", filter.function = "ChangeWindowMessageFilter", filter.cArgs = 2;
    filter.onCall = [&](DebugRun &, const ULONG_PTR *a) { filtered = { a[0], a[1] }; };
    com.dll = "combase.dll", com.function = "CoInitializeEx", com.cArgs = 2;
    com.onCall = [&](DebugRun &, const ULONG_PTR *a) { comFlags = a[1]; };
    /* (ole32 forwards it there.)  Once the icon is added, the tray quits. */
    icon.dll = "shell32.dll", icon.function = "Shell_NotifyIconA", icon.cArgs = 2;
    icon.onCall = [&](DebugRun &r, const ULONG_PTR *a) {
        if (a[0] == NIM_ADD)
            PostMessageW((HWND)r.ReadPointer(a[1] + offsetof(NOTIFYICONDATAA, hWnd)),
                         RegisterWindowMessageW(L"KivPrinterTrayMsg30"), 0, 0);
    };
    run.hooks = { filter, com, icon };
    ASSERT_TRUE(run.Run(L"\"" + TrayExePath() + L"\"", InstallDir(), KIV_TEST_DEADLINE_MS)) << run.failure;
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(filtered, (std::vector<ULONG_PTR>{ taskbarCreated, 1 /* MSGFLT_ADD */ }));
    EXPECT_EQ(comFlags, (ULONG_PTR)(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

TEST(TrayIcon, WithoutResourceLibraryNoPictureNoMenuAndTheQuitMessageStillEnds)
{
    FakeTaskbar taskbar;
    ASSERT_TRUE(taskbar.Start());
    ASSERT_TRUE(InstallTray(false));
    ASSERT_FALSE(PathIsFile(SystemDir() + L"\\kivres.dll"));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(taskbar.WaitForCalls(1));
    IconCall add = taskbar.Calls()[0];
    ExpectTheTrayIcon(add, tray.hwnd);
    EXPECT_FALSE(add.hasImage);

    /* The right button, then the autostart offer as a marker: once its
     * question shows, the press has been handled (a menu would still be
     * open, running the question in its own loop). */
    tray.Notify(WM_RBUTTONDOWN);
    tray.Command(TRAY_CMD_AUTOLAUNCH);
    HWND hQuestion = WaitForDialogOf(tray.processId, "Confirmation");
    ASSERT_TRUE(hQuestion != NULL);
    EXPECT_EQ(OpenMenuOf(tray.processId), (HWND)NULL) << "a menu was shown";
    PressDialogButton(hQuestion, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hQuestion); }));

    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(tray.Quit(&code));
    EXPECT_EQ(code, 0u);
}

/* ---- The menu and autostart ------------------------------------------- */

TEST(TrayAutostart, MissingValueOffersTheItemAndYesStoresTheProgramPath)
{
    RegDeleteValueIn(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A);
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    std::vector<DialogRecord> r = ChooseAutostartAndAnswerYes(tray);
    ASSERT_EQ(r.size(), 1u) << "no question was asked";
    EXPECT_EQ(r[0].caption, "Confirmation");
    EXPECT_EQ(r[0].text, kConfirmationText);
    ASSERT_EQ(r[0].buttons.size(), 2u);
    EXPECT_EQ(r[0].buttons[0].first, IDYES);
    EXPECT_EQ(r[0].buttons[1].first, IDNO);

    std::string path = "\"" + Narrow(TrayExePath()) + "\"";
    ASSERT_TRUE(WaitFor([&] { return RunValue() == path; })) << RunValue();
    DWORD type = 0;
    ASSERT_TRUE(RegGetString(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, NULL, &type));
    EXPECT_EQ(type, (DWORD)REG_SZ);

    /* The next menu has no autostart item: its last item is Exit. */
    ASSERT_TRUE(ChooseLastMenuItem(tray));
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(tray.WaitEnd(&code)) << "the last item was not Exit";
    EXPECT_EQ(code, 0u);
}

TEST(TrayAutostart, ValueNamingAnotherProgramOffersTheItemAndNoChangesNothing)
{
    const std::string other = "C:\\Program Files\\Other\\kivtray.exe";
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, other));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    /* No, then the offer again: the first answer was fully handled and
     * the value still names the other program. */
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("7,7", 2));
    ASSERT_TRUE(ChooseLastMenuItem(tray));
    ASSERT_TRUE(WaitFor([&] { return CountDialogsOf(tray.processId, "Confirmation") == 0 &&
                                     helper.Records().size() == 1; }));
    ASSERT_TRUE(ChooseLastMenuItem(tray));
    ASSERT_TRUE(helper.Finish());
    std::vector<DialogRecord> r = helper.Records();
    ASSERT_EQ(r.size(), 2u);
    for (const DialogRecord &d : r) {
        EXPECT_EQ(d.caption, "Confirmation");
        EXPECT_EQ(d.text, kConfirmationText);
        EXPECT_EQ(d.pressed, IDNO);
    }
    ASSERT_TRUE(tray.Sync());
    EXPECT_EQ(RunValue(), other);
    ASSERT_TRUE(tray.Quit());
}

/* The value of an earlier installation: unquoted. */
TEST(TrayAutostart, ValueNamingTheProgramInOtherLetterCaseHidesTheItem)
{
    std::string upper = UpperAZ(Narrow(TrayExePath()));
    ASSERT_NE(upper, Narrow(TrayExePath()));
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, upper));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());

    ASSERT_TRUE(ChooseLastMenuItem(tray));
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(tray.WaitEnd(&code)) << "the last item was not Exit";
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(RunValue(), upper);
}

TEST(TrayAutostart, CommandAsksEvenWhenTheValueIsSet)
{
    /* The item is only hidden: the command itself always asks, and Yes
     * writes the exact path, quoted, over a value in other letter case. */
    std::string path = "\"" + Narrow(TrayExePath()) + "\"";
    ASSERT_TRUE(RegSetString(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, UpperAZ(path)));
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("6"));
    tray.Command(TRAY_CMD_AUTOLAUNCH);
    ASSERT_TRUE(helper.Finish());
    ASSERT_EQ(helper.Records().size(), 1u);
    EXPECT_EQ(helper.Records()[0].caption, "Confirmation");
    ASSERT_TRUE(WaitFor([&] { return RunValue() == path; })) << RunValue();
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayAutostart, UserWhoMayNotWriteTheMachinesValueGetsOneOfHisOwn)
{
    RegDeleteValueIn(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A);
    ASSERT_TRUE(SetMachineDword(TRAY_SEAM_KEY_A, "DenyMachineRun", 1));
    ASSERT_TRUE(InstallTray(true, TRAY_WITH_SEAMS));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_EQ(ChooseAutostartAndAnswerYes(tray).size(), 1u) << "no question was asked";

    std::string path = "\"" + Narrow(TrayExePath()) + "\"", value;
    ASSERT_TRUE(WaitFor([&] { return RegGetString(HKEY_CURRENT_USER, TRAY_RUN_KEY_A, TRAY_RUN_VALUE_A, &value); }));
    EXPECT_EQ(value, path);
    EXPECT_EQ(RunValue(), "<absent>");
    /* The user's value counts as set: the last item is Exit again. */
    ASSERT_TRUE(ChooseLastMenuItem(tray));
    DWORD code = 0xdeadbeef;
    ASSERT_TRUE(tray.WaitEnd(&code)) << "the last item was not Exit";
}

/* ---- Help and home page ------------------------------------------------- */

static std::wstring StepLog(char step)
{
    return std::wstring(L"C:\\help_") + (wchar_t)step + L".log";
}

static bool AssociateHelpFiles(const std::wstring &log)
{
    return AssociateWithRecorder(".chm", log) && AssociateWithRecorder(".htm", log) &&
           AssociateWithRecorder(".txt", log);
}

/* What the recorder saw: the file, then the same path as the parameters. */
static std::string OpenedWith(const std::wstring &path)
{
    return "\"" + Narrow(path) + "\" " + Narrow(path) + "\n";
}

TEST(TrayHelp, EachNameIsLookedForInTheInstallThenTheSystemFolderBeforeTheNext)
{
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    const std::wstring install = InstallDir(), system = SystemDir();
    struct Step {
        char id;
        std::wstring add;       /* file placed before the command, "" for none */
        std::wstring opened;    /* file the command opens, "" for none */
    };
    const Step steps[] = {
        { 'a', L"", L"" },
        { 'b', system + L"\\kivhlp.txt", system + L"\\kivhlp.txt" },
        { 'c', install + L"\\kivhlp.txt", install + L"\\kivhlp.txt" },
        { 'd', install + L"\\kivhlp.htm", install + L"\\kivhlp.htm" },
        /* a .chm in the system folder wins over a .htm in the install folder */
        { 'e', system + L"\\kivhlp.chm", system + L"\\kivhlp.chm" },
        { 'f', install + L"\\kivhlp.chm", install + L"\\kivhlp.chm" },
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(std::string("step ") + step.id);
        if (!step.add.empty()) {
            ASSERT_TRUE(WriteWholeFile(step.add, "help"));
        }
        ASSERT_TRUE(AssociateHelpFiles(StepLog(step.id)));
        /* Sent, not posted: the command has run before the next step
         * changes the files. */
        DWORD_PTR result = 0;
        ASSERT_TRUE(SendMessageTimeoutW(tray.hwnd, WM_COMMAND, MAKEWPARAM(TRAY_CMD_HELP, 0), 0, SMTO_NORMAL,
                                        KIV_TEST_DEADLINE_MS, &result));
        if (step.opened.empty())
            continue;
        std::string log;
        ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(StepLog(step.id), &log); })) << "nothing opened";
        EXPECT_EQ(log, OpenedWith(step.opened));
    }
    /* Step a had no help file: it opened nothing. */
    EXPECT_FALSE(PathIsFile(StepLog('a')));
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayHelp, MenusFirstItemOpensTheDeliveredHelpFile)
{
    ASSERT_TRUE(InstallTray());
    std::wstring chm = InstallDir() + L"\\kivhlp.chm";
    ASSERT_TRUE(CopyFileW(BinPath(L"kivhlp.chm").c_str(), chm.c_str(), FALSE));
    std::string content;
    ASSERT_TRUE(ReadWholeFile(chm, &content));
    ASSERT_GE(content.size(), 4u);
    EXPECT_EQ(content.substr(0, 4), "ITSF") << "not a compiled help file";

    ASSERT_TRUE(AssociateHelpFiles(L"C:\\help.log"));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(ChooseFromMenu(tray, { VK_HOME, VK_RETURN }));
    std::string log;
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\help.log", &log); })) << "help was not opened";
    EXPECT_EQ(log, OpenedWith(chm));
    ASSERT_TRUE(tray.Quit());
}

TEST(TrayHomePage, CommandAndMenuOpenTheProductAddress)
{
    ASSERT_TRUE(InstallTray());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    const std::string opened = "\"http://www.kivimageprinter.example/\" \n";

    ASSERT_TRUE(AssociateHttpWithRecorder(L"C:\\home1.log"));
    tray.Command(TRAY_CMD_HOMEPAGE);
    std::string log;
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\home1.log", &log); })) << "nothing opened";
    EXPECT_EQ(log, opened);

    /* The menu's second item. */
    ASSERT_TRUE(AssociateHttpWithRecorder(L"C:\\home2.log"));
    ASSERT_TRUE(ChooseFromMenu(tray, { VK_HOME, VK_DOWN, VK_RETURN }));
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(L"C:\\home2.log", &log); })) << "nothing opened";
    EXPECT_EQ(log, opened);
    ASSERT_TRUE(tray.Quit());
}

/* ---- The resource library --------------------------------------------- */

static int DistinctOpaqueColours(HICON hIcon, int size)
{
    ICONINFO info;
    if (!GetIconInfo(hIcon, &info))
        return -1;
    HDC hdc = CreateCompatibleDC(NULL);
    BITMAPINFO bmi;
    ZeroMemory(&bmi, sizeof(bmi));
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = size;
    bmi.bmiHeader.biHeight = -size;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    std::vector<DWORD> colour(size * size), mask(size * size);
    int got = GetDIBits(hdc, info.hbmColor, 0, size, colour.data(), &bmi, DIB_RGB_COLORS);
    got += GetDIBits(hdc, info.hbmMask, 0, size, mask.data(), &bmi, DIB_RGB_COLORS);
    DeleteDC(hdc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    if (got != 2 * size)
        return -1;
    std::set<DWORD> colours;
    for (int i = 0; i < size * size; i++)
        if ((mask[i] & 0xFFFFFF) == 0)
            colours.insert(colour[i] & 0xFFFFFF);
    return (int)colours.size();
}

TEST(TrayResources, LibraryHoldsThePrinterIconInBothSizesAndTheMenu)
{
    HMODULE hLib = LoadLibraryW(BinPath(L"kivres.dll").c_str());
    ASSERT_TRUE(hLib != NULL);
    for (int size : { 16, 32 }) {
        SCOPED_TRACE(size);
        HICON hIcon = (HICON)LoadImageW(hLib, MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, LR_DEFAULTCOLOR);
        ASSERT_TRUE(hIcon != NULL);
        ICONINFO info;
        ASSERT_TRUE(GetIconInfo(hIcon, &info));
        BITMAP bm;
        ASSERT_TRUE(GetObjectW(info.hbmColor, sizeof(bm), &bm));
        EXPECT_EQ(bm.bmWidth, size);
        EXPECT_EQ(bm.bmHeight, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        EXPECT_GE(DistinctOpaqueColours(hIcon, size), 5) << "a picture of few colours";
        DestroyIcon(hIcon);
    }

    HMENU hMenu = LoadMenuW(hLib, MAKEINTRESOURCEW(103));
    ASSERT_TRUE(hMenu != NULL);
    HMENU hPopup = GetSubMenu(hMenu, 0);
    ASSERT_TRUE(hPopup != NULL);
    std::vector<std::pair<UINT, std::string>> items;
    for (int i = 0; i < GetMenuItemCount(hPopup); i++) {
        char szLabel[128] = "";
        GetMenuStringA(hPopup, i, szLabel, sizeof(szLabel), MF_BYPOSITION);
        UINT id = GetMenuItemID(hPopup, i);
        if (id != 0)
            items.push_back({ id, szLabel });
    }
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].first, 40001u);
    EXPECT_EQ(items[0].second, "&Help");
    EXPECT_EQ(items[1].first, 40004u);
    EXPECT_EQ(items[1].second, "Home &page");
    EXPECT_EQ(items[2].first, 40002u);
    EXPECT_EQ(items[2].second, "E&xit");
    DestroyMenu(hMenu);
    FreeLibrary(hLib);
}
