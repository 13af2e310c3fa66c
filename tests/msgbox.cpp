/*
 * msgbox: shows message boxes for the dialog helper's own test.
 *   msgbox STYLE CAPTION TEXT [STYLE CAPTION TEXT ...]
 * Shows each box in turn (no owner); the exit code is the sum of
 * result * 16^i over the boxes, so a test sees every answer.
 */
#include <windows.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int code = 0, shift = 0;

    for (int i = 1; argv && i + 2 < argc; i += 3, shift += 4) {
        UINT style = (UINT)wcstoul(argv[i], NULL, 0);
        code |= MessageBoxW(NULL, argv[i + 2], argv[i + 1], style) << shift;
    }
    LocalFree(argv);
    return code;
}
