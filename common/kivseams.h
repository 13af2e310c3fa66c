/*
 * Seams for the library's own tests: each replaces one system call of the
 * library for the whole process.  Passing NULL restores the real call.
 * Product code never sets them.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVSEAMS_H
#define KIV_KIVSEAMS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* WNetGetUniversalNameW, as CheckIfNetworkPath calls it. */
typedef DWORD (WINAPI *KIVGETUNIVERSALNAMEPROC)(LPCWSTR pszLocalPath, DWORD dwInfoLevel,
                                                LPVOID pBuffer, LPDWORD pcbBuffer);
void KivSetGetUniversalNameSeam(KIVGETUNIVERSALNAMEPROC pfn);

/* WriteFile, as the settings files are written. */
typedef BOOL (WINAPI *KIVWRITEFILEPROC)(HANDLE hFile, LPCVOID pBuffer, DWORD cbToWrite,
                                        LPDWORD pcbWritten, LPOVERLAPPED pOverlapped);
void KivSetSettingsWriteSeam(KIVWRITEFILEPROC pfn);

/* GetTempFileNameW, as a save makes its temporary file. */
typedef UINT (WINAPI *KIVGETTEMPFILENAMEPROC)(LPCWSTR pszPath, LPCWSTR pszPrefix, UINT uUnique,
                                              LPWSTR pszTempFileName);
void KivSetSettingsTempFileSeam(KIVGETTEMPFILENAMEPROC pfn);

/* ReplaceFileW, as a save puts its temporary file in place of the old
 * file: for the failures Windows gives only under a virus scanner or
 * unusual permissions. */
typedef BOOL (WINAPI *KIVREPLACEFILEPROC)(LPCWSTR pszReplaced, LPCWSTR pszReplacement,
                                          LPCWSTR pszBackup, DWORD dwFlags,
                                          LPVOID pExclude, LPVOID pReserved);
void KivSetSettingsReplaceSeam(KIVREPLACEFILEPROC pfn);

/* The account check of the agent client (agentobjects.h), which then
 * looks for the agent of the token's user and starts none: 1 when the
 * process runs under a service account. */
typedef int (*KIVSERVICEACCOUNTPROC)(void);
void KivSetServiceAccountSeam(KIVSERVICEACCOUNTPROC pfn);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVSEAMS_H */
