/*
 * kivprt: the path agent.  A windowless program that carries out file
 * operations for code that cannot reach the user's network folders itself.
 *
 *   kivprt  -start    serve (what the autostart value passes)
 *   kivprt  -launch   serve (what a launching client passes)
 *   kivprt  -stop     tell the serving copy to quit
 */
#include "kivprt.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)nShowCmd;
    return AgentMain((char *)SkipLeadingBlanks(lpCmdLine ? lpCmdLine : (char *)""));
}
