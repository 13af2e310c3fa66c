/*
 * CheckIfNetworkPath: tells a network path from a local one and turns a
 * path on a mapped drive into its UNC form.
 *
 * The shell's test is looked up in shlwapi.dll at the time of each call,
 * so that a program linking this library starts without that DLL and a
 * missing test only makes every path local.  The DLL is not freed: later
 * calls find it loaded.  The UNC form comes from the network provider
 * (mpr).  Wine's provider answers 2250 (not connected) for drives it does
 * not know as network connections and hands the drive path back for its
 * own network drives, so the library's tests reach a rewrite through a
 * seam (kivseams.h).
 */
#include "kivpath.h"
#include "kivseams.h"

#include <winnetwk.h>
#include <wchar.h>

/* Size of the result buffer handed to the network provider. */
#define KIV_UNIVERSAL_NAME_BYTES 1000

typedef BOOL (WINAPI *PATHISNETWORKPATHWPROC)(LPCWSTR pszPath);

static KIVGETUNIVERSALNAMEPROC g_pfnGetUniversalNameSeam = NULL;

void KivSetGetUniversalNameSeam(KIVGETUNIVERSALNAMEPROC pfn)
{
    g_pfnGetUniversalNameSeam = pfn;
}

static DWORD GetUniversalName(LPCWSTR pszPath, LPVOID pBuffer, LPDWORD pcbBuffer)
{
    if (g_pfnGetUniversalNameSeam != NULL)
        return g_pfnGetUniversalNameSeam(pszPath, UNIVERSAL_NAME_INFO_LEVEL, pBuffer, pcbBuffer);
    return WNetGetUniversalNameW(pszPath, UNIVERSAL_NAME_INFO_LEVEL, pBuffer, pcbBuffer);
}

/*
 * Copies the universal name out of the provider's result over the path.
 * The name is used only when it lies inside the result buffer with its
 * terminator, and only when it has at most KIV_UNC_REWRITE_MAX_LEN
 * characters; otherwise the path stays as it was.
 */
static void RewriteToUniversalName(WCHAR *pszPath, const BYTE *pResult, DWORD cbResult)
{
    const UNIVERSAL_NAME_INFOW *pInfo = (const UNIVERSAL_NAME_INFOW *)pResult;
    const BYTE *pName = (const BYTE *)pInfo->lpUniversalName;
    const WCHAR *pszName;
    size_t cchRoom, cch;

    if (pName == NULL || pName < pResult || pName >= pResult + cbResult)
        return;
    pszName = (const WCHAR *)pName;
    cchRoom = (size_t)(pResult + cbResult - pName) / sizeof(WCHAR);
    for (cch = 0; cch < cchRoom && pszName[cch] != L'\0'; cch++)
        ;
    if (cch == cchRoom || cch == 0 || cch > KIV_UNC_REWRITE_MAX_LEN)
        return;
    CopyMemory(pszPath, pszName, (cch + 1) * sizeof(WCHAR));
}

int CheckIfNetworkPath(WCHAR *pszPath)
{
    /* DWORD-aligned, as the record the provider writes needs. */
    DWORD adwResult[KIV_UNIVERSAL_NAME_BYTES / sizeof(DWORD)];
    DWORD cbResult = sizeof(adwResult);
    HMODULE hShlwapi;
    PATHISNETWORKPATHWPROC pfnPathIsNetworkPath;

    if (pszPath == NULL)
        return 0;
    if (IsUNCPath(pszPath))
        return 1;

    hShlwapi = LoadLibraryW(L"shlwapi.dll");
    if (hShlwapi == NULL)
        return 0;
    pfnPathIsNetworkPath = (PATHISNETWORKPATHWPROC)(void (*)(void))
        GetProcAddress(hShlwapi, "PathIsNetworkPathW");
    if (pfnPathIsNetworkPath == NULL)
        return 0;
    if (!pfnPathIsNetworkPath(pszPath))
        return 0;

    ZeroMemory(adwResult, sizeof(adwResult));
    if (GetUniversalName(pszPath, adwResult, &cbResult) == NO_ERROR)
        RewriteToUniversalName(pszPath, (const BYTE *)adwResult, sizeof(adwResult));
    return 1;
}
