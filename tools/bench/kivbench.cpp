/*
 * kivbench: the measurements of make bench, one group per run.
 *
 *   kivbench agent   round trip against the reference server; large copy
 *   kivbench idle    CPU, handles and private bytes of agent and tray
 *   kivbench setup   setup's time per step, first run and re-run
 *   kivbench calls N N folder tests through our agent, for the count of
 *                    kernel calls a request costs (tools/bench.sh)
 *
 * Each prints rows of the table (tools/bench.sh adds the header) and ends
 * with exit code 0, or 1 when a measurement could not be made.  It runs in
 * a prefix of its own with the UNC share \\kivbench\share, from the
 * build's bin folder beside the programs it measures.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench.h"

int main(int argc, char **argv)
{
    const char *pszGroup = argc >= 2 ? argv[1] : "";

    if (argc == 3 && strcmp(pszGroup, "calls") == 0)
        return BenchCalls(atoi(argv[2]));

    if (strcmp(pszGroup, "agent") == 0)
        return BenchAgent();
    if (strcmp(pszGroup, "idle") == 0)
        return BenchIdle();
    if (strcmp(pszGroup, "setup") == 0)
        return BenchSetup();
    fprintf(stderr, "usage: kivbench agent|idle|setup|calls N\n");
    return 2;
}
