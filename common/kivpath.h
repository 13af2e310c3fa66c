/*
 * Path and folder helpers: the install folder, folder trees, UNC and
 * network paths, joining a folder and a name, the folder part of a path.
 *
 * Paths are zero-terminated UTF-16 texts in the caller's buffers.  The
 * helpers keep no state, show nothing and report failure only through
 * their results (1 true or done, 0 false or failed).  Each operation
 * states the output buffer it needs; a result that would not fit is never
 * written in part: the output is left empty and the result is 0.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVPATH_H
#define KIV_KIVPATH_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The install folder: "KivImagePrinter30" under Program Files. */
#define KIV_INSTALL_FOLDER_NAME   L"KivImagePrinter30"

/* Output buffer sizes, in UTF-16 units, terminator included. */
#define KIV_INSTALL_FOLDER_UNITS  256      /* KivImagePrinterFolderExist */
#define KIV_PATH_UNITS            MAX_PATH /* BuildFullPath, GetFolderOfPath */

/* Longest path CreateFolderTree accepts: it works on a private copy of
 * MAX_PATH characters. */
#define KIV_FOLDER_TREE_MAX_LEN   (MAX_PATH - 1)

/* Longest UNC form CheckIfNetworkPath writes back: it must fit the
 * smallest path buffer of its callers (256 units) and a path field of the
 * agent's shared block, which is the only way to reach it. */
#define KIV_UNC_REWRITE_MAX_LEN   255

/*
 * Finds the install folder.  pszFolder needs KIV_INSTALL_FOLDER_UNITS
 * (256) units.
 *   1: the folder exists; pszFolder holds it with a trailing backslash.
 *   0: it does not; pszFolder holds it without the trailing backslash
 *      (the text to create it from), or is empty when Program Files
 *      cannot be found or the install folder path with its trailing
 *      backslash would not fit 256 units.
 */
int KivImagePrinterFolderExist(WCHAR *pszFolder);

/*
 * Creates every missing folder along pszPath.  The first component (the
 * drive, "C:") is taken as it is.  A component ends at a backslash; only
 * where the rest of the path holds no backslash does a forward slash end
 * one.  With bLastIsFile nonzero the last component is a file name and is
 * left alone.  Returns 1 when every folder along the path exists
 * afterwards; 0 when one can be neither found nor created (folders made
 * before it stay), when the path holds no separator, or when it has
 * KIV_FOLDER_TREE_MAX_LEN + 1 (260) characters or more (then nothing is
 * created).
 */
int CreateFolderTree(const WCHAR *pszPath, int bLastIsFile);

/* 1 when the first two characters are backslashes. */
int IsUNCPath(const WCHAR *pszPath);

/* 1 when the path names an existing folder (a local test; never the agent). */
int LocalDirExists(const WCHAR *pszPath);

/* GetFileAttributesW without the system's "No Disk" box for an empty
 * removable drive, which inside the spooler would stop printing until
 * somebody answers it.  The error mode is set for the call only (for the
 * calling thread where Windows has thread error modes) and put back. */
DWORD KivQuietFileAttributes(const WCHAR *pszPath);

/*
 * 1 for a UNC path or a path on a network drive, 0 for a local path or
 * when the shell's test (shlwapi's PathIsNetworkPathW, loaded at the time
 * of the call) is not available.  A path on a mapped drive is rewritten in
 * place to its UNC form when the network provider returns one of at most
 * KIV_UNC_REWRITE_MAX_LEN (255) characters; otherwise it is left as it
 * was, and the result is still 1.  The buffer needs 256 units or the
 * length of the path plus one, whichever is more.
 */
int CheckIfNetworkPath(WCHAR *pszPath);

/*
 * pszOut := pszFolder, a backslash unless the folder already ends with
 * one, pszName.  An empty folder gives the name alone (no backslash that
 * would point the name at the root of the drive).  pszOut needs
 * KIV_PATH_UNITS (260) units and may be the same buffer as pszFolder.
 * Returns 1; 0 with pszOut empty when the result would not fit.
 */
int BuildFullPath(const WCHAR *pszFolder, const WCHAR *pszName, WCHAR *pszOut);

/*
 * pszOut := the drive and folder part of pszPath, split as the C runtime's
 * path splitter does: drive when the second character is a colon, folder
 * up to and including the last backslash or forward slash; file name and
 * extension dropped.  "C:\a\b\file.dll" gives "C:\a\b\", "file.dll" the
 * empty text, "C:file.dll" "C:".  pszOut needs KIV_PATH_UNITS (260) units
 * and may be the same buffer as pszPath.  Returns 1; 0 with pszOut empty
 * when the folder part has more than 255 characters, the most the
 * runtime's splitter holds: a folder cut short would name another folder.
 */
int GetFolderOfPath(const WCHAR *pszPath, WCHAR *pszOut);

/* The standard wide-character searches, as the library uses them. */
WCHAR *KivFindString(const WCHAR *pszText, const WCHAR *pszFind);
WCHAR *KivFindChar(const WCHAR *pszText, WCHAR ch);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVPATH_H */
