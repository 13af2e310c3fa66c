/*
 * The agent's speed: its round trip against the reference server of the
 * same protocol (kivrefagent), and a large copy through it against the
 * client copying the file itself.
 *
 * Both servers are driven by the same client, the common library's agent
 * client, as the printer driver's components use it; the paths are on the
 * UNC test share, the kind of path the client hands to the agent.
 */
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include "kivclient.h"

/* Round trip: alternating runs of each server, one fresh process per run,
 * after one run of each that is not counted (the first processes of a
 * prefix run slower).  A run's figure is its fastest batch: other work
 * on the machine only ever adds time, and the fastest batch is the one it
 * disturbed least. */
#define RT_PAIRS    9
#define RT_REQUESTS 8000
#define RT_BATCHES  32
#define RT_WARM_UP  200
#define RT_GOAL     1.10

/* Copy: alternating copies by the agent and by the client itself.  One
 * copy lasts about a tenth of a second, so a single write-back of the
 * system's cache lands in one copy and not in its pair: the ratio is the
 * median over the pairs, as for the round trip, and each side's speed is
 * shown as its fastest copy. */
#define COPY_MIB    256
#define COPY_PAIRS  15
#define COPY_GOAL   0.90

#define RT_FOLDER   BENCH_SHARE L"\\roundtrip"
#define COPY_SOURCE BENCH_LOCAL_DIR L"\\copysource.bin"
#define COPY_TARGET BENCH_SHARE L"\\copytarget.bin"

/* One run: seconds per folder test against one server (its fastest
 * batch); < 0 when the server did not serve. */
static double TimeFolderTests(const std::wstring &server, int *pWrong)
{
    HANDLE hServer = StartServer(server);
    double seconds = -1;

    if (!hServer) {
        fprintf(stderr, "round trip: %s did not get ready\n", Narrow(server).c_str());
        return -1;
    }
    if (!InitUNCShelllApp())
        fprintf(stderr, "round trip: cannot attach to %s\n", Narrow(server).c_str());
    else {
        for (int i = 0; i < RT_WARM_UP; i++)
            DirExists(RT_FOLDER);
        std::vector<double> batches;
        for (int b = 0; b < RT_BATCHES; b++) {
            double start = NowSeconds();
            for (int i = 0; i < RT_REQUESTS / RT_BATCHES; i++)
                if (DirExists(RT_FOLDER) != 1)
                    (*pWrong)++;
            batches.push_back((NowSeconds() - start) / (RT_REQUESTS / RT_BATCHES));
        }
        seconds = Lowest(batches);
        ExitUNCShelllApp();
    }
    EndServer(hServer);
    return seconds;
}

static void BenchRoundTrip()
{
    std::vector<double> ours, reference, ratios;
    int wrong = 0;

    if (!CreateDirectoryW(RT_FOLDER, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        FailedRow("agent round trip", "cannot make the folder " + Narrow(RT_FOLDER));
        return;
    }
    if (TimeFolderTests(OurAgentCommand(), &wrong) <= 0 || TimeFolderTests(ReferenceCommand(), &wrong) <= 0) {
        FailedRow("agent round trip", "a server did not serve");
        return;
    }
    for (int pair = 0; pair < RT_PAIRS; pair++) {
        /* Each server goes first in every other pair, so that a drift of
         * the machine's load weighs on both alike. */
        bool oursFirst = pair % 2 == 0;
        double first = TimeFolderTests(oursFirst ? OurAgentCommand() : ReferenceCommand(), &wrong);
        double second = TimeFolderTests(oursFirst ? ReferenceCommand() : OurAgentCommand(), &wrong);
        if (first <= 0 || second <= 0) {
            FailedRow("agent round trip", Format("a server did not serve in pair %d", pair + 1));
            return;
        }
        double o = oursFirst ? first : second, r = oursFirst ? second : first;
        ours.push_back(o);
        reference.push_back(r);
        ratios.push_back(o / r);
        fprintf(stderr, "round trip, pair %d: kivprt %.1f us, reference %.1f us\n", pair + 1, o * 1e6, r * 1e6);
    }
    if (wrong) {
        FailedRow("agent round trip", Format("%d folder tests answered wrongly", wrong));
        return;
    }
    double ratio = Median(ratios);
    Row(Format("agent round trip, %d folder tests a run, kivprt", RT_REQUESTS),
        Format("%.1f us a request (median of %d runs)", Median(ours) * 1e6, RT_PAIRS));
    Row("agent round trip, reference server kivrefagent",
        Format("%.1f us a request (median of %d runs)", Median(reference) * 1e6, RT_PAIRS));
    Row(Format("agent round trip, ratio kivprt/reference, %d pairs", RT_PAIRS),
        Format("%.3f (pairs %.2f to %.2f)", ratio, Lowest(ratios), Highest(ratios)), Format("<= %.2f", RT_GOAL),
        Verdict(ratio <= RT_GOAL));
}

/* One copy of the source onto the share; seconds, or < 0 when it failed. */
static double TimeCopy(bool throughAgent)
{
    DeleteFileW(COPY_TARGET);
    double start = NowSeconds();
    BOOL copied = throughAgent ? UNCCopyFile(COPY_SOURCE, COPY_TARGET) : CopyFileW(COPY_SOURCE, COPY_TARGET, FALSE);
    double seconds = NowSeconds() - start;
    if (!copied || FileSize(COPY_TARGET) != (ULONGLONG)COPY_MIB << 20)
        return -1;
    return seconds;
}

static void BenchCopy()
{
    std::vector<double> agent, local, ratios;
    HANDLE hServer = NULL;
    double ratio;
    const char *pszWhat = "256 MiB copy through the agent";

    if (!MakeFile(COPY_SOURCE, (ULONGLONG)COPY_MIB << 20)) {
        FailedRow(pszWhat, "cannot write the source file");
        goto Exit;
    }
    hServer = StartServer(OurAgentCommand());
    if (!hServer || !InitUNCShelllApp()) {
        FailedRow(pszWhat, "the agent did not serve");
        goto Exit;
    }
    for (int pair = 0; pair < COPY_PAIRS; pair++) {
        bool agentFirst = pair % 2 == 0;
        double first = TimeCopy(agentFirst);
        double second = TimeCopy(!agentFirst);
        if (first <= 0 || second <= 0) {
            FailedRow(pszWhat, Format("a copy failed in pair %d", pair + 1));
            goto Exit;
        }
        double a = agentFirst ? first : second, l = agentFirst ? second : first;
        agent.push_back(a);
        local.push_back(l);
        ratios.push_back(l / a);
        fprintf(stderr, "copy, pair %d: kivprt %.3f s, CopyFileW %.3f s\n", pair + 1, a, l);
    }
    /* Throughput of the agent over that of the client's own copy. */
    ratio = Median(ratios);
    Row("256 MiB copy onto the UNC share, through kivprt",
        Format("%.0f MiB/s (fastest of %d)", COPY_MIB / Lowest(agent), COPY_PAIRS));
    Row("256 MiB copy onto the UNC share, CopyFileW in client",
        Format("%.0f MiB/s (fastest of %d)", COPY_MIB / Lowest(local), COPY_PAIRS));
    Row(Format("256 MiB copy, throughput ratio kivprt/CopyFileW, %d pairs", COPY_PAIRS),
        Format("%.3f (pairs %.2f to %.2f)", ratio, Lowest(ratios), Highest(ratios)),
        Format(">= %.2f", COPY_GOAL),
        Verdict(ratio >= COPY_GOAL));

Exit:
    ExitUNCShelllApp();
    if (hServer)
        EndServer(hServer);
    DeleteFileW(COPY_TARGET);
    DeleteFileW(COPY_SOURCE);
}

/*
 * The kernel calls of one request: the client's and the agent's threads,
 * for tools/bench.sh, which runs this twice with the wineserver's trace on
 * and counts each thread's calls in it.  Prints "client TID" and "agent
 * TID..." (the agent's threads, hexadecimal as the trace writes them),
 * then makes cRequests folder tests.
 */
int BenchCalls(int cRequests)
{
    HANDLE hServer;
    HANDLE hSnapshot;
    THREADENTRY32 te;
    int wrong = 0;

    if (cRequests <= 0 || (!CreateDirectoryW(RT_FOLDER, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) ||
        (hServer = StartServer(OurAgentCommand())) == NULL) {
        fprintf(stderr, "calls: no agent to measure\n");
        return 1;
    }
    if (!InitUNCShelllApp()) {
        fprintf(stderr, "calls: cannot attach to the agent\n");
        EndServer(hServer);
        return 1;
    }
    for (int i = 0; i < RT_WARM_UP; i++)
        DirExists(RT_FOLDER);
    printf("client %04lx\nagent", GetCurrentThreadId());
    hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    te.dwSize = sizeof(te);
    for (BOOL more = Thread32First(hSnapshot, &te); more; more = Thread32Next(hSnapshot, &te))
        if (te.th32OwnerProcessID == GetProcessId(hServer))
            printf(" %04lx", te.th32ThreadID);
    CloseHandle(hSnapshot);
    printf("\n");
    fflush(stdout);
    for (int i = 0; i < cRequests; i++)
        if (DirExists(RT_FOLDER) != 1)
            wrong++;
    ExitUNCShelllApp();
    EndServer(hServer);
    if (wrong)
        fprintf(stderr, "calls: %d folder tests answered wrongly\n", wrong);
    return wrong ? 1 : 0;
}

int BenchAgent()
{
    CreateDirectoryW(BENCH_LOCAL_DIR, NULL);
    BenchRoundTrip();
    BenchCopy();
    return FailedRows() == 0 ? 0 : 1;
}
