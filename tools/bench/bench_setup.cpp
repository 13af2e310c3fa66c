/*
 * Setup's wall time per step: the real kivsetup.exe from the staged setup
 * folder, run under the test harness's debugger so that each progress
 * line is seen the moment it is written, once on a fresh machine and once
 * more over the installation it made.  qprinter.ini switches every dialog
 * off, so no time waits for an answer.
 *
 * A step runs from its progress line to the next one (the last one to
 * the process's end); the first row is the process's start-up, from its
 * creation to its first line.  The times include the debugger's stops at
 * those lines and at the spooler calls the harness watches.
 */
#include "bench.h"

#include "setuptest.h"

#define SETUP_TRACE_PREFIX "Kiv Image Printer"
#define SETUP_FINISHED_LINE "Kiv Image Printer setup finished"
#define SETUP_QUIET_OPTIONS "first=0\nfinal=0\nstatus=0\n"

static ULONGLONG SystemTime100ns()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

static ULONGLONG Ticks(const FILETIME &ft)
{
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

/* "Kiv Image Printer(add driver)" -> "(add driver)". */
static std::string ShortLine(const std::string &line)
{
    size_t skip = line.compare(0, sizeof(SETUP_TRACE_PREFIX) - 1, SETUP_TRACE_PREFIX) == 0 ? sizeof(SETUP_TRACE_PREFIX) - 1 : 0;
    while (skip < line.size() && line[skip] == ' ')
        skip++;
    return line.substr(skip);
}

static void RunOnce(const char *pszRun)
{
    SetupRunOptions opt;
    std::vector<std::pair<std::string, ULONGLONG>> lines;
    HANDLE hSetup = NULL;

    opt.onTrace = [&](const std::string &line, DWORD processId) {
        lines.push_back({ line, SystemTime100ns() });
        /* Held so that its creation and exit times can be read. */
        if (!hSetup)
            hSetup = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, processId);
    };
    double start = NowSeconds();
    SetupRunResult r = RunSetup(opt);
    double wall = NowSeconds() - start;

    FILETIME created, exited, kernel, user;
    if (!r.ran || lines.empty() || !hSetup || WaitForSingleObject(hSetup, KIV_TEST_DEADLINE_MS) != WAIT_OBJECT_0 ||
        !GetProcessTimes(hSetup, &created, &exited, &kernel, &user)) {
        FailedRow(Format("setup, %s", pszRun), r.failure.empty() ? "it did not run to its end" : r.failure);
    } else {
        ULONGLONG total = Ticks(exited) - Ticks(created);
        bool finished = lines.back().first == SETUP_FINISHED_LINE;
        Row(Format("setup, %s: process start to its end", pszRun), Format("%.0f ms", total / 1e4));
        if (!finished)
            FailedRow(Format("setup, %s", pszRun), "its last line is not \"" SETUP_FINISHED_LINE "\"");
        Row("  start .. " + ShortLine(lines[0].first), Format("%.0f ms", (lines[0].second - Ticks(created)) / 1e4));
        for (size_t i = 0; i < lines.size(); i++) {
            bool last = i + 1 == lines.size();
            ULONGLONG end = last ? Ticks(exited) : lines[i + 1].second;
            Row("  " + ShortLine(lines[i].first) + " .. " + (last ? "end" : ShortLine(lines[i + 1].first)),
                Format("%.0f ms", (end - lines[i].second) / 1e4));
        }
        Row("  the whole run with the harness's own work", Format("%.0f ms", wall * 1e3));
    }
    if (hSetup)
        CloseHandle(hSetup);
}

int BenchSetup()
{
    if (!PrepareSetupFolder() || !WriteOptionsFile(SETUP_QUIET_OPTIONS)) {
        FailedRow("setup", "cannot copy the staged setup folder " + Narrow(StageDir()));
        return 1;
    }
    RunOnce("first installation");
    RunOnce("re-run over it");
    return FailedRows() == 0 ? 0 : 1;
}
