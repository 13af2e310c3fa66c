/*
 * What the resident programs cost: CPU time of the agent and the tray
 * while nobody uses them, and their kernel handles and private bytes
 * before and after heavy use (agent requests, openings of the tray's
 * menu), where growth would be a leak.
 *
 * The tray runs from the install folder beside its resource library, with
 * a stand-in task bar that takes its icon; its menu is opened as the icon
 * opens it (its callback message with a right-button press) and closed
 * with Escape, as a user would.
 */
#include "bench.h"

#include "kivclient.h"
#include "traytest.h"

#define IDLE_SECONDS   30
#define LOAD_REQUESTS  10000
#define LOAD_MENUS     1000
/* Start-up: the first requests and menu openings fill caches of the
 * system's code once (the first few menus take a few hundred KiB under Wine). */
#define WARM_UP_REQUESTS 30
#define WARM_UP_MENUS    10

#define IDLE_FOLDER    BENCH_SHARE L"\\idle"
#define IDLE_TARGET    IDLE_FOLDER L"\\copy.bin"
#define IDLE_SOURCE    BENCH_LOCAL_DIR L"\\small.bin"
#define IDLE_SOURCE_CB 4096

/* One request of the mix: a copy, a folder test, a file test.  True when
 * it was answered as it should be. */
static bool MixedRequest(int i)
{
    switch (i % 3) {
    case 0:
        return UNCCopyFile(IDLE_SOURCE, IDLE_TARGET) != 0;
    case 1:
        return DirExists(IDLE_FOLDER) == 1;
    default:
        return FileExists(IDLE_TARGET) == 1;
    }
}

/* Opens the tray's menu and closes it again; true when both happened and
 * the tray is back in its own message loop. */
static bool OpenAndCloseMenu(const TrayProcess &tray)
{
    HWND hMenu = NULL;

    tray.Notify(WM_RBUTTONDOWN);
    /* Polled every millisecond: this waits a thousand times. */
    if (!WaitFor([&] { return (hMenu = OpenMenuOf(tray.processId)) != NULL; }, KIV_TEST_DEADLINE_MS, 1))
        return false;
    PressMenuKeys(hMenu, { VK_ESCAPE });
    if (!WaitFor([&] { return OpenMenuOf(tray.processId) == NULL; }, KIV_TEST_DEADLINE_MS, 1))
        return false;
    /* The menu's own loop has ended: a sent message now waits for the
     * tray's main loop, which it reaches once TrackPopupMenu returned. */
    return tray.Sync();
}

struct Footprint {
    long handles = -1;
    const char *pszMethod = "";
    SIZE_T privateBytes = 0;
};

static Footprint FootprintOf(HANDLE hProcess)
{
    Footprint f;
    f.handles = ProcessHandles(hProcess, &f.pszMethod);
    f.privateBytes = ProcessPrivateBytes(hProcess);
    return f;
}

static void FootprintRows(const char *pszWho, const char *pszLoad, const Footprint &before, const Footprint &after)
{
    Row(Format("%s kernel handles before/after %s", pszWho, pszLoad),
        Format("%ld -> %ld", before.handles, after.handles), "no growth",
        before.handles < 0 ? "" : Verdict(after.handles <= before.handles));
    Row(Format("%s private bytes before/after %s", pszWho, pszLoad),
        Format("%lu -> %lu KiB", (unsigned long)(before.privateBytes >> 10), (unsigned long)(after.privateBytes >> 10)),
        "no growth", Verdict(after.privateBytes <= before.privateBytes));
}

static std::string Milliseconds(ULONGLONG cpu)
{
    return Format("%lu ms", (unsigned long)(cpu / 10000));
}

int BenchIdle()
{
    FakeTaskbar taskbar;
    TrayProcess tray;
    HANDLE hAgent = NULL;
    int wrong = 0, menus = 0;

    CreateDirectoryW(BENCH_LOCAL_DIR, NULL);
    CreateDirectoryW(IDLE_FOLDER, NULL);
    if (!MakeFile(IDLE_SOURCE, IDLE_SOURCE_CB)) {
        FailedRow("idle cost", "cannot write " + Narrow(IDLE_SOURCE));
        goto Exit;
    }
    if (!taskbar.Start() || !InstallTray() || !tray.Start() || !taskbar.WaitForCalls(1)) {
        FailedRow("idle cost", "the tray did not start with its icon");
        goto Exit;
    }
    hAgent = StartServer(OurAgentCommand());
    if (!hAgent || !InitUNCShelllApp()) {
        FailedRow("idle cost", "the agent did not serve");
        goto Exit;
    }

    /* Start-up ends once each program has done its work once. */
    for (int i = 0; i < WARM_UP_REQUESTS; i++)
        if (!MixedRequest(i))
            wrong++;
    for (int i = 0; i < WARM_UP_MENUS; i++)
        if (!OpenAndCloseMenu(tray)) {
            FailedRow("idle cost", "the tray's menu did not open and close");
            goto Exit;
        }
    {
        ULONGLONG agentStart = ProcessCpu(hAgent), trayStart = ProcessCpu(tray.hProcess);
        Sleep(IDLE_SECONDS * 1000);
        ULONGLONG agentIdle = ProcessCpu(hAgent) - agentStart, trayIdle = ProcessCpu(tray.hProcess) - trayStart;
        Row(Format("kivprt CPU time over %d idle seconds", IDLE_SECONDS),
            Milliseconds(agentIdle) + " (start-up " + Milliseconds(agentStart) + ")", "0", Verdict(agentIdle == 0));
        Row(Format("kivtray CPU time over %d idle seconds", IDLE_SECONDS),
            Milliseconds(trayIdle) + " (start-up " + Milliseconds(trayStart) + ")", "0", Verdict(trayIdle == 0));
    }
    {
        Footprint agentBefore = FootprintOf(hAgent), trayBefore = FootprintOf(tray.hProcess);
        double start = NowSeconds();
        for (int i = 0; i < LOAD_REQUESTS; i++)
            if (!MixedRequest(i))
                wrong++;
        double requestSeconds = NowSeconds() - start;
        start = NowSeconds();
        while (menus < LOAD_MENUS && OpenAndCloseMenu(tray))
            menus++;
        double menuSeconds = NowSeconds() - start;
        Footprint agentAfter = FootprintOf(hAgent), trayAfter = FootprintOf(tray.hProcess);

        if (wrong)
            FailedRow("agent requests under load", Format("%d of %d answered wrongly", wrong, LOAD_REQUESTS + WARM_UP_REQUESTS));
        if (menus < LOAD_MENUS)
            FailedRow("tray menu openings", Format("opening %d did not open and close", menus + 1));
        FootprintRows("kivprt", Format("%d requests", LOAD_REQUESTS).c_str(), agentBefore, agentAfter);
        FootprintRows("kivtray", Format("%d menu openings", LOAD_MENUS).c_str(), trayBefore, trayAfter);
        Row(std::string("  handles counted in: ") + agentBefore.pszMethod,
            Format("load: %.1f s requests, %.1f s menus", requestSeconds, menuSeconds));
    }

Exit:
    ExitUNCShelllApp();
    if (hAgent)
        EndServer(hAgent);
    if (tray.hProcess)
        tray.Quit();
    DeleteFileW(IDLE_TARGET);
    DeleteFileW(IDLE_SOURCE);
    return FailedRows() == 0 ? 0 : 1;
}
