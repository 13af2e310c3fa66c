/*
 * A program that links the whole common library, as a driver component
 * may, so that the import check sees every system function the library
 * can call, also those that no deliverable of ours links.
 */
#include <windows.h>

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR pszCmdLine, int nShow)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)pszCmdLine;
    (void)nShow;
    return 0;
}
