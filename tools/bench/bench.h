/*
 * kivbench: the measurements of make bench (tools/bench.sh runs it under
 * Wine, in a fresh prefix per build).  Not a test: it prints rows of a
 * table, what was measured against the goal it has, and fails only when
 * a measurement could not be made.
 */
#ifndef KIV_BENCH_H
#define KIV_BENCH_H

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"

/* The UNC test share the driver script makes in the prefix, and a local
 * folder of the bench's own. */
#define BENCH_SHARE     L"\\\\kivbench\\share"
#define BENCH_LOCAL_DIR L"C:\\kivbench"

/* ---- Rows --------------------------------------------------------------- */

/* One row: what was measured, the result, its goal and whether the result
 * meets it ("" for rows without a goal). */
void Row(const std::string &what, const std::string &result, const std::string &goal = "",
         const std::string &verdict = "");
/* A row that says a measurement could not be made; counts as a failure. */
void FailedRow(const std::string &what, const std::string &why);
int FailedRows();
std::string Format(const char *pszFormat, ...);
std::string Verdict(bool met);

/* ---- Clocks and figures ----------------------------------------------- */

double NowSeconds();
double Median(std::vector<double> values);
double Lowest(const std::vector<double> &values);
double Highest(const std::vector<double> &values);

/* ---- Another process as the system reports it ---------------------------- */

/* Kernel plus user time of all its threads, in 100 ns units. */
ULONGLONG ProcessCpu(HANDLE hProcess);
/* Kernel handles the process holds; -1 when they cannot be counted.
 * *ppMethod names the way they were counted. */
long ProcessHandles(HANDLE hProcess, const char **ppMethod);
/* Private bytes: PrivateUsage, or PagefileUsage where only the short
 * record is filled (Wine). */
SIZE_T ProcessPrivateBytes(HANDLE hProcess);

/* ---- Servers of the agent protocol ------------------------------------- */

/* Starts a command line that serves the protocol and waits for its ready
 * signal; the process handle, or NULL when it did not get ready. */
HANDLE StartServer(const std::wstring &cmdline);
/* Ends it from outside and waits for the end. */
void EndServer(HANDLE hServer);
std::wstring OurAgentCommand();
std::wstring ReferenceCommand();

/* Creates path (a file) holding cb bytes of a varied pattern. */
bool MakeFile(const std::wstring &path, ULONGLONG cb);
ULONGLONG FileSize(const std::wstring &path);

/* ---- The measurements -------------------------------------------------- */

int BenchAgent();
int BenchCalls(int cRequests);
int BenchIdle();
int BenchSetup();

#endif /* KIV_BENCH_H */
