/*
 * Stand-in for the tray utility "kivtray.exe" while the real one does not
 * exist yet: a process under that program name that runs until it is
 * ended, so that setup has a running tray to end.
 */
#include <windows.h>

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nShowCmd;
    for (;;)
        Sleep(INFINITE);
}
