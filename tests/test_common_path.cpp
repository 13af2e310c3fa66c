/*
 * The path and folder helpers: folder trees on the prefix's C: drive, the
 * install folder, joining and splitting paths, and network paths on a
 * drive that Wine's mount manager really reports as remote.
 */
#include <gtest/gtest.h>
#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

#include "test_common_util.h"
#include <winioctl.h>
#include "kivcfg.h"
#include "kivpath.h"
#include "kivclient.h"
#include "kivseams.h"
#include "hostile.h"

namespace {

/* A buffer with guard units after the size an operation may use, to see
 * that it writes nothing past it. */
struct GuardedBuffer {
    static const size_t kGuard = 64;
    std::vector<WCHAR> units;
    size_t size;
    explicit GuardedBuffer(size_t n) : units(n + kGuard, (WCHAR)0xCCCC), size(n) {}
    WCHAR *get() { return units.data(); }
    std::wstring text() const { return std::wstring(units.data()); }
    bool GuardIntact() const
    {
        for (size_t i = size; i < units.size(); i++) {
            if (units[i] != (WCHAR)0xCCCC)
                return false;
        }
        return true;
    }
};

/*
 * Wine's mount manager defines drive letters for its own configuration
 * tool through this request (a Wine extension, from Wine's mountmgr.h):
 * a drive of type DRIVE_REMOTE on a Unix folder is what Wine's file
 * system, GetDriveType and the shell take for a network drive.
 */
#define KIV_MOUNTMGR_DEFINE_UNIX_DRIVE \
    CTL_CODE((ULONG)'m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#pragma pack(push, 8)
struct MountMgrUnixDrive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};
#pragma pack(pop)

typedef char *(CDECL *WineGetUnixFileNameProc)(LPCWSTR);

/* Maps drive letter `letter` as a network drive onto the folder `target`
 * of this prefix. */
bool DefineWineNetworkDrive(WCHAR letter, const std::wstring &target)
{
    WineGetUnixFileNameProc pfnUnixName = (WineGetUnixFileNameProc)(void (*)(void))
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!pfnUnixName)
        return false;
    char *unixPath = pfnUnixName(target.c_str());
    if (!unixPath)
        return false;
    std::string mountPoint = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);

    std::vector<char> buf(sizeof(MountMgrUnixDrive) + mountPoint.size() + 1, 0);
    MountMgrUnixDrive *drive = (MountMgrUnixDrive *)buf.data();
    drive->size = (ULONG)buf.size();
    drive->type = DRIVE_REMOTE;
    drive->letter = letter;
    drive->mount_point_offset = sizeof(MountMgrUnixDrive);
    memcpy(buf.data() + sizeof(MountMgrUnixDrive), mountPoint.c_str(), mountPoint.size() + 1);

    HANDLE hMgr = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (hMgr == INVALID_HANDLE_VALUE)
        return false;
    DWORD cb = 0;
    BOOL ok = DeviceIoControl(hMgr, KIV_MOUNTMGR_DEFINE_UNIX_DRIVE, buf.data(), (DWORD)buf.size(),
                              NULL, 0, &cb, NULL);
    CloseHandle(hMgr);
    return ok != FALSE;
}

/* Seams over WNetGetUniversalNameW. */
struct SeamLog {
    int calls;
    std::wstring path;
    DWORD level;
    DWORD size;
};
SeamLog g_seamLog;
std::wstring g_universalName;      /* what the successful lookup answers */
bool g_nameOutsideBuffer = false;  /* answer a pointer that lies elsewhere */
bool g_fillWithoutTerminator = false;

void NoteCall(LPCWSTR pszPath, DWORD dwLevel, LPDWORD pcb)
{
    g_seamLog.calls++;
    g_seamLog.path = pszPath;
    g_seamLog.level = dwLevel;
    g_seamLog.size = *pcb;
}

DWORD WINAPI LookupFails(LPCWSTR pszPath, DWORD dwLevel, LPVOID, LPDWORD pcb)
{
    NoteCall(pszPath, dwLevel, pcb);
    return ERROR_NOT_CONNECTED;   /* what Wine's provider answers for most drives */
}

DWORD WINAPI LookupSucceeds(LPCWSTR pszPath, DWORD dwLevel, LPVOID pBuffer, LPDWORD pcb)
{
    static WCHAR s_szElsewhere[] = L"\\\\elsewhere\\share";
    NoteCall(pszPath, dwLevel, pcb);
    UNIVERSAL_NAME_INFOW *pInfo = (UNIVERSAL_NAME_INFOW *)pBuffer;
    WCHAR *pszName = (WCHAR *)((BYTE *)pBuffer + sizeof(*pInfo));
    size_t room = (*pcb - sizeof(*pInfo)) / sizeof(WCHAR);
    if (g_nameOutsideBuffer) {
        pInfo->lpUniversalName = s_szElsewhere;
        return NO_ERROR;
    }
    if (g_fillWithoutTerminator) {
        for (size_t i = 0; i < room; i++)
            pszName[i] = L'u';
        pInfo->lpUniversalName = pszName;
        return NO_ERROR;
    }
    if (g_universalName.size() + 1 > room) {
        *pcb = (DWORD)(sizeof(*pInfo) + (g_universalName.size() + 1) * sizeof(WCHAR));
        return ERROR_MORE_DATA;
    }
    memcpy(pszName, g_universalName.c_str(), (g_universalName.size() + 1) * sizeof(WCHAR));
    pInfo->lpUniversalName = pszName;
    return NO_ERROR;
}

}  // namespace

/* ---- CreateFolderTree ------------------------------------------------- */

TEST(CreateFolderTree, CreatesEachFolderAlongThePath)
{
    /* Flag 0: every component is a folder. */
    ASSERT_FALSE(PathIsFolder(L"C:\\a"));
    EXPECT_EQ(CreateFolderTree(L"C:\\a\\b\\c", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\a\\b\\c"));
    /* Again: everything exists, still 1. */
    EXPECT_EQ(CreateFolderTree(L"C:\\a\\b\\c", 0), 1);

    /* Flag 1: the last component is a file name and is left alone. */
    EXPECT_EQ(CreateFolderTree(L"C:\\x\\y\\z", 1), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\x\\y"));
    EXPECT_FALSE(PathIsFolder(L"C:\\x\\y\\z"));
    EXPECT_FALSE(PathIsFile(L"C:\\x\\y\\z"));

    /* A trailing backslash ends with an empty component. */
    EXPECT_EQ(CreateFolderTree(L"C:\\t\\u\\", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\t\\u"));
    EXPECT_EQ(CreateFolderTree(L"C:\\t2\\u2\\", 1), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\t2\\u2"));

    /* Forward slashes only: each one separates, folders get backslashes. */
    EXPECT_EQ(CreateFolderTree(L"C:/p/q", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\p\\q"));

    /* Doubled separators give empty components, which exist. */
    EXPECT_EQ(CreateFolderTree(L"C:\\d1\\\\d2", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\d1\\d2"));

    /* The install folder, as setup creates it. */
    WCHAR szInstall[KIV_INSTALL_FOLDER_UNITS];
    ASSERT_EQ(KivImagePrinterFolderExist(szInstall), 0);
    EXPECT_EQ(CreateFolderTree(szInstall, 0), 1);
    EXPECT_TRUE(PathIsFolder(InstallFolder()));
}

TEST(CreateFolderTree, SeparatorsAndWhatIsRefused)
{
    /* Mixed: a forward slash before a later backslash stays inside the
     * component that the backslash ends ("m/n" here), so the system gets
     * C:\m/n as one folder to create; without C:\m it cannot. */
    EXPECT_EQ(CreateFolderTree(L"C:\\m/n\\o", 0), 0);
    EXPECT_FALSE(PathIsFolder(L"C:\\m"));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\m", NULL));
    EXPECT_EQ(CreateFolderTree(L"C:\\m/n\\o", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\m\\n\\o"));
    /* Where the rest holds no backslash, its forward slashes separate. */
    EXPECT_EQ(CreateFolderTree(L"C:\\r/s/t", 0), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\r\\s\\t"));

    /* No separator at all: 0, nothing created. */
    wchar_t szCurrent[MAX_PATH];
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\m"));
    EXPECT_EQ(CreateFolderTree(L"plain", 0), 0);
    EXPECT_EQ(CreateFolderTree(L"plain", 1), 0);
    EXPECT_EQ(CreateFolderTree(L"", 0), 0);
    EXPECT_FALSE(PathIsFolder(L"C:\\m\\plain"));
    GetCurrentDirectoryW(MAX_PATH, szCurrent);
    EXPECT_STREQ(szCurrent, L"C:\\m");
    EXPECT_EQ(CreateFolderTree(NULL, 0), 0);

    /* The root is never created: a drive that does not exist fails at
     * its first folder. */
    EXPECT_EQ(CreateFolderTree(L"Q:\\nope", 0), 0);

    /* A component that is a file: 0. */
    ASSERT_TRUE(CreateDirectoryW(L"C:\\f", NULL));
    ASSERT_TRUE(WriteWholeFile(L"C:\\f\\file", "x"));
    EXPECT_EQ(CreateFolderTree(L"C:\\f\\file\\x", 0), 0);
    EXPECT_EQ(CreateFolderTree(L"C:\\f\\file\\x", 1), 0);
    EXPECT_TRUE(PathIsFile(L"C:\\f\\file"));
    EXPECT_FALSE(PathIsFolder(L"C:\\f\\file\\x"));
    /* A component that cannot be created: 0, the folders made before it
     * in the same call stay. */
    EXPECT_EQ(CreateFolderTree(L"C:\\k\\l\\bad*name\\m", 0), 0);
    EXPECT_TRUE(PathIsFolder(L"C:\\k\\l"));
    EXPECT_FALSE(PathIsFolder(L"C:\\k\\l\\bad*name\\m"));
    /* ... but as the last component with flag 1 it is a file name. */
    EXPECT_EQ(CreateFolderTree(L"C:\\f\\file", 1), 1);

    /* 259 characters are taken; 260 or more: 0 and nothing created. */
    std::wstring base = L"C:\\long1\\";
    std::wstring path259 = base + std::wstring(259 - base.size(), L'a');
    ASSERT_EQ(path259.size(), 259u);
    EXPECT_EQ(CreateFolderTree(path259.c_str(), 1), 1);
    EXPECT_TRUE(PathIsFolder(L"C:\\long1"));
    for (size_t len : {(size_t)260, (size_t)261, (size_t)400}) {
        std::wstring path = L"C:\\long2\\" + std::wstring(len - 9, L'b');
        ASSERT_EQ(path.size(), len);
        EXPECT_EQ(CreateFolderTree(path.c_str(), 1), 0) << len;
        EXPECT_EQ(CreateFolderTree(path.c_str(), 0), 0) << len;
    }
    EXPECT_FALSE(PathIsFolder(L"C:\\long2"));
}

/* ---- The install folder ----------------------------------------------- */

TEST(Paths, InstallFolderBeforeAndAfterItExists)
{
    const std::wstring expected = InstallFolder();
    ASSERT_FALSE(expected.empty());

    GuardedBuffer buf(KIV_INSTALL_FOLDER_UNITS);
    EXPECT_EQ(KivImagePrinterFolderExist(buf.get()), 0);
    EXPECT_EQ(buf.text(), expected);   /* without the trailing backslash */
    EXPECT_TRUE(buf.GuardIntact());

    /* A file of that name is not the folder. */
    ASSERT_TRUE(WriteWholeFile(expected, "x"));
    EXPECT_EQ(KivImagePrinterFolderExist(buf.get()), 0);
    ASSERT_TRUE(DeleteFileW(expected.c_str()));

    ASSERT_EQ(CreateFolderTree(buf.get(), 0), 1);
    EXPECT_EQ(KivImagePrinterFolderExist(buf.get()), 1);
    EXPECT_EQ(buf.text(), expected + L"\\");
    EXPECT_TRUE(buf.GuardIntact());
}

/* ---- IsUNCPath, LocalDirExists ---------------------------------------- */

TEST(Paths, UncAndLocalFolderTests)
{
    struct Case {
        const wchar_t *path;
        int unc;
    };
    const Case cases[] = {
        {L"\\\\server\\share", 1}, {L"\\\\", 1},        {L"\\\\?\\C:\\x", 1},
        {L"//server/share", 0},    {L"\\/server", 0},    {L"/\\server", 0},
        {L"\\folder", 0},          {L"\\", 0},           {L"", 0},
        {L"C:\\\\x", 0},           {L"C:\\", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsUNCPath(c.path), c.unc) << c.path;
    EXPECT_EQ(IsUNCPath(NULL), 0);

    ASSERT_TRUE(CreateDirectoryW(L"C:\\share\\dir", NULL));
    ASSERT_TRUE(WriteWholeFile(L"C:\\share\\file.txt", "x"));
    EXPECT_EQ(LocalDirExists(L"C:\\share\\dir"), 1);
    EXPECT_EQ(LocalDirExists(L"C:\\share\\dir\\"), 1);
    EXPECT_EQ(LocalDirExists(L"C:\\"), 1);
    EXPECT_EQ(LocalDirExists(L"C:\\share\\file.txt"), 0);
    EXPECT_EQ(LocalDirExists(L"C:\\share\\missing"), 0);
    EXPECT_EQ(LocalDirExists(L""), 0);
    EXPECT_EQ(LocalDirExists(NULL), 0);
    /* The share, reached by the system directly (no agent involved). */
    EXPECT_EQ(LocalDirExists(L"\\\\kivtest\\share\\dir"), 1);
    EXPECT_EQ(LocalDirExists(L"\\\\kivtest\\share\\file.txt"), 0);

    /* The two search helpers. */
    const WCHAR text[] = L"a$fb\\c";
    EXPECT_EQ(KivFindString(text, L"$f"), text + 1);
    EXPECT_EQ(KivFindString(text, L"$g"), (WCHAR *)NULL);
    EXPECT_EQ(KivFindChar(text, L'\\'), text + 4);
    EXPECT_EQ(KivFindChar(text, L'/'), (WCHAR *)NULL);
}

/* ---- No "No Disk" box ---------------------------------------------------- */

typedef DWORD(WINAPI *GetFileAttributesWProc)(LPCWSTR);
typedef UINT(WINAPI *GetErrorModeProc)(void);
static GetFileAttributesWProc g_pfnRealGetFileAttributesW;
static int g_cAttributeCalls, g_cUnguardedCalls;

/* Stands in for the system's function in this program's imports, which
 * the statically linked library calls through. */
static DWORD WINAPI GuardedGetFileAttributesW(LPCWSTR pszPath)
{
    HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
    GetErrorModeProc pfnProcess = (GetErrorModeProc)(void (*)(void))GetProcAddress(hKernel32, "GetErrorMode");
    GetErrorModeProc pfnThread = (GetErrorModeProc)(void (*)(void))GetProcAddress(hKernel32, "GetThreadErrorMode");
    g_cAttributeCalls++;
    if (!((pfnProcess() | pfnThread()) & SEM_FAILCRITICALERRORS))
        g_cUnguardedCalls++;
    return g_pfnRealGetFileAttributesW(pszPath);
}

/* Swaps the GetFileAttributesW import of this program; returns the old. */
static void *SwapImport(void *pNew)
{
    BYTE *pBase = (BYTE *)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS *pNt = (IMAGE_NT_HEADERS *)(pBase + ((IMAGE_DOS_HEADER *)pBase)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *pDesc = (IMAGE_IMPORT_DESCRIPTOR *)(pBase + dir.VirtualAddress); pDesc->Name; pDesc++) {
        IMAGE_THUNK_DATA *pName = (IMAGE_THUNK_DATA *)(pBase + pDesc->OriginalFirstThunk);
        IMAGE_THUNK_DATA *pSlot = (IMAGE_THUNK_DATA *)(pBase + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; pName++, pSlot++) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal) ||
                strcmp((char *)((IMAGE_IMPORT_BY_NAME *)(pBase + pName->u1.AddressOfData))->Name, "GetFileAttributesW"))
                continue;
            DWORD dwOld = 0;   /* the old page protection */
            void *pOld = (void *)pSlot->u1.Function;
            VirtualProtect(&pSlot->u1.Function, sizeof(void *), PAGE_READWRITE, &dwOld);
            pSlot->u1.Function = (ULONG_PTR)pNew;
            VirtualProtect(&pSlot->u1.Function, sizeof(void *), dwOld, &dwOld);
            return pOld;
        }
    }
    return NULL;
}

TEST(Paths, LocalTestsRaiseNoBoxForAnEmptyDriveAndKeepTheErrorMode)
{
    UINT uBefore = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    g_pfnRealGetFileAttributesW = (GetFileAttributesWProc)SwapImport((void *)GuardedGetFileAttributesW);
    ASSERT_TRUE(g_pfnRealGetFileAttributesW != NULL);

    KIVPRINTERCFG cfg;
    SetDefaultCfgData(&cfg);
    cfg.bRunApp = 1;
    wcscpy(cfg.szRunAppName, L"C:\\missing\\viewer.exe");
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(LocalDirExists(L"C:\\"), 1);
    EXPECT_EQ(FileExists(L"C:\\missing.txt"), 0);
    SwapImport((void *)g_pfnRealGetFileAttributesW);

    EXPECT_GE(g_cAttributeCalls, 3);
    EXPECT_EQ(g_cUnguardedCalls, 0);
    EXPECT_EQ(SetErrorMode(uBefore), (UINT)SEM_NOGPFAULTERRORBOX) << "the error mode was not put back";
}

/* ---- BuildFullPath, GetFolderOfPath ----------------------------------- */

TEST(Paths, BuildFullPath)
{
    struct Case {
        const wchar_t *folder, *name, *out;
    };
    const Case cases[] = {
        {L"C:\\dir", L"x.dll", L"C:\\dir\\x.dll"},
        {L"C:\\dir\\", L"x.dll", L"C:\\dir\\x.dll"},
        {L"C:\\dir/", L"x.dll", L"C:\\dir/\\x.dll"},   /* a slash is no separator here */
        {L"C:", L"x.dll", L"C:\\x.dll"},
        {L"\\\\srv\\share", L"x", L"\\\\srv\\share\\x"},
        {L"", L"x.dll", L"x.dll"},                       /* no folder: the name alone */
        {L"C:\\dir", L"", L"C:\\dir\\"},
    };
    for (const Case &c : cases) {
        GuardedBuffer out(KIV_PATH_UNITS);
        EXPECT_EQ(BuildFullPath(c.folder, c.name, out.get()), 1) << c.folder;
        EXPECT_EQ(out.text(), c.out) << c.folder << " + " << c.name;
        EXPECT_TRUE(out.GuardIntact());
    }

    /* The output may be the folder's buffer, or the name's. */
    WCHAR szBuf[KIV_PATH_UNITS] = L"C:\\dir";
    EXPECT_EQ(BuildFullPath(szBuf, L"x.dll", szBuf), 1);
    EXPECT_STREQ(szBuf, L"C:\\dir\\x.dll");
    wcscpy(szBuf, L"x.dll");
    EXPECT_EQ(BuildFullPath(L"C:\\dir", szBuf, szBuf), 1);
    EXPECT_STREQ(szBuf, L"C:\\dir\\x.dll");

    /* 259 characters fit 260 units; one more does not: empty, 0, and
     * nothing written past the buffer. */
    std::wstring folder = L"C:\\" + std::wstring(200, L'f');
    std::wstring name55(55, L'n'), name56(56, L'n');
    GuardedBuffer fits(KIV_PATH_UNITS);
    EXPECT_EQ(BuildFullPath(folder.c_str(), name55.c_str(), fits.get()), 1);
    EXPECT_EQ(fits.text(), folder + L"\\" + name55);
    EXPECT_EQ(fits.text().size(), 259u);
    EXPECT_TRUE(fits.GuardIntact());
    GuardedBuffer tooLong(KIV_PATH_UNITS);
    EXPECT_EQ(BuildFullPath(folder.c_str(), name56.c_str(), tooLong.get()), 0);
    EXPECT_EQ(tooLong.text(), L"");
    EXPECT_TRUE(tooLong.GuardIntact());
    std::wstring huge(5000, L'h');
    EXPECT_EQ(BuildFullPath(huge.c_str(), L"x", tooLong.get()), 0);
    EXPECT_TRUE(tooLong.GuardIntact());
    EXPECT_EQ(BuildFullPath(NULL, L"x", tooLong.get()), 0);
    EXPECT_EQ(BuildFullPath(L"C:\\", NULL, tooLong.get()), 0);
}

TEST(Paths, GetFolderOfPathSplitsAsTheRuntimeDoes)
{
    struct Case {
        const wchar_t *path, *folder;
    };
    const Case cases[] = {
        {L"C:\\a\\b\\file.dll", L"C:\\a\\b\\"},
        {L"file.dll", L""},
        {L"C:file.dll", L"C:"},
        {L"\\\\server\\share\\x.dll", L"\\\\server\\share\\"},
        {L"C:/a/b.txt", L"C:/a/"},
        {L"C:\\a\\b\\", L"C:\\a\\b\\"},
        {L"a/b\\c", L"a/b\\"},
        {L"C:\\a.b\\c", L"C:\\a.b\\"},
        {L"\\x", L"\\"},
        {L"C:", L"C:"},
        {L"", L""},
        {L"::x", L"::"},          /* the second character decides the drive */
        {L"C:\\", L"C:\\"},
    };
    for (const Case &c : cases) {
        GuardedBuffer out(KIV_PATH_UNITS);
        EXPECT_EQ(GetFolderOfPath(c.path, out.get()), 1) << c.path;
        EXPECT_EQ(out.text(), c.folder) << c.path;
        EXPECT_TRUE(out.GuardIntact());
    }

    /* In place. */
    WCHAR szBuf[KIV_PATH_UNITS] = L"C:\\a\\b\\file.dll";
    EXPECT_EQ(GetFolderOfPath(szBuf, szBuf), 1);
    EXPECT_STREQ(szBuf, L"C:\\a\\b\\");

    /* A folder part of 255 characters (the runtime's limit) is given
     * whole, drive included: 257 characters. */
    std::wstring dir255 = L"\\" + std::wstring(253, L'd') + L"\\";
    ASSERT_EQ(dir255.size(), 255u);
    GuardedBuffer out(KIV_PATH_UNITS);
    EXPECT_EQ(GetFolderOfPath((L"C:" + dir255 + L"name.ext").c_str(), out.get()), 1);
    EXPECT_EQ(out.text(), L"C:" + dir255);
    EXPECT_TRUE(out.GuardIntact());
    /* A long name in a short folder is fine. */
    EXPECT_EQ(GetFolderOfPath((L"C:\\d\\" + std::wstring(400, L'n')).c_str(), out.get()), 1);
    EXPECT_EQ(out.text(), L"C:\\d\\");
    /* One more folder character: refused rather than cut to another folder. */
    std::wstring dir256 = L"\\" + std::wstring(254, L'd') + L"\\";
    GuardedBuffer refused(KIV_PATH_UNITS);
    EXPECT_EQ(GetFolderOfPath((L"C:" + dir256 + L"name.ext").c_str(), refused.get()), 0);
    EXPECT_EQ(refused.text(), L"");
    EXPECT_TRUE(refused.GuardIntact());
    EXPECT_EQ(GetFolderOfPath((std::wstring(3000, L'\\') + L"x").c_str(), refused.get()), 0);
    EXPECT_TRUE(refused.GuardIntact());
    EXPECT_EQ(GetFolderOfPath(NULL, refused.get()), 0);
}

/* ---- CheckIfNetworkPath ----------------------------------------------- */

TEST(NetworkPath, LocalAndUncPaths)
{
    g_seamLog = SeamLog();
    KivSetGetUniversalNameSeam(LookupSucceeds);
    g_universalName = L"\\\\should\\not\\be\\used";

    WCHAR szPath[KIV_PATH_UNITS];
    const wchar_t *local[] = {L"C:\\windows", L"C:\\missing\\folder", L"relative\\x", L"", L"//server/share"};
    for (const wchar_t *p : local) {
        wcscpy(szPath, p);
        EXPECT_EQ(CheckIfNetworkPath(szPath), 0) << p;
        EXPECT_STREQ(szPath, p);
    }
    /* A UNC path is network at once: the provider is not asked. */
    wcscpy(szPath, L"\\\\kivtest\\share\\dir");
    EXPECT_EQ(CheckIfNetworkPath(szPath), 1);
    EXPECT_STREQ(szPath, L"\\\\kivtest\\share\\dir");
    EXPECT_EQ(g_seamLog.calls, 0);
    EXPECT_EQ(CheckIfNetworkPath(NULL), 0);
    KivSetGetUniversalNameSeam(NULL);
}

TEST(NetworkPath, WineNetworkDrive)
{
    ASSERT_TRUE(CreateDirectoryW(L"C:\\share\\sub", NULL));
    ASSERT_TRUE(DefineWineNetworkDrive(L'n', L"C:\\share"));
    ASSERT_EQ(GetDriveTypeW(L"n:\\"), (UINT)DRIVE_REMOTE);
    ASSERT_TRUE(PathIsFolder(L"n:\\sub"));

    /* The real provider: network, and whatever it answers (Wine's gives
     * the drive path back or fails), the path stays. */
    GuardedBuffer buf(256);
    wcscpy(buf.get(), L"n:\\sub");
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), L"n:\\sub");

    /* A failed lookup: 1, unchanged; the provider is asked for level 1
     * with 1000 bytes. */
    g_seamLog = SeamLog();
    KivSetGetUniversalNameSeam(LookupFails);
    wcscpy(buf.get(), L"n:\\sub");
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), L"n:\\sub");
    EXPECT_EQ(g_seamLog.calls, 1);
    EXPECT_EQ(g_seamLog.path, L"n:\\sub");
    EXPECT_EQ(g_seamLog.level, (DWORD)UNIVERSAL_NAME_INFO_LEVEL);
    EXPECT_EQ(g_seamLog.size, 1000u);

    /* A successful lookup rewrites the path to the UNC form. */
    KivSetGetUniversalNameSeam(LookupSucceeds);
    g_universalName = L"\\\\kivtest\\share\\sub";
    wcscpy(buf.get(), L"n:\\sub");
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), L"\\\\kivtest\\share\\sub");
    EXPECT_TRUE(buf.GuardIntact());

    /* 255 characters are written back; 256 and more leave the path. */
    g_universalName = L"\\\\kivtest\\share\\" + std::wstring(255 - 16, L'u');
    ASSERT_EQ(g_universalName.size(), 255u);
    wcscpy(buf.get(), L"n:\\sub");
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), g_universalName);
    EXPECT_TRUE(buf.GuardIntact());
    for (size_t len : {(size_t)256, (size_t)404, (size_t)480}) {
        g_universalName = L"\\\\kivtest\\share\\" + std::wstring(len - 16, L'u');
        wcscpy(buf.get(), L"n:\\sub");
        EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1) << len;
        EXPECT_EQ(buf.text(), L"n:\\sub") << len;
        EXPECT_TRUE(buf.GuardIntact()) << len;
    }
    /* A result that does not fit the provider's buffer, an unterminated
     * one and one that points elsewhere are not used either. */
    g_universalName = std::wstring(600, L'u');
    g_fillWithoutTerminator = true;
    wcscpy(buf.get(), L"n:\\sub");
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), L"n:\\sub");
    g_fillWithoutTerminator = false;
    g_nameOutsideBuffer = true;
    EXPECT_EQ(CheckIfNetworkPath(buf.get()), 1);
    EXPECT_EQ(buf.text(), L"n:\\sub");
    g_nameOutsideBuffer = false;

    /* The record's output folder on the network drive: a folder that does
     * not exist stays (network folders are not tested), and with a lookup
     * that succeeds it comes out in its UNC form. */
    KivSetGetUniversalNameSeam(NULL);
    KIVPRINTERCFG cfg = DefaultRecord();
    wcscpy(cfg.szInitialPath, L"n:\\not\\there");
    CheckValidityDevOpt(&cfg);
    EXPECT_STREQ(cfg.szInitialPath, L"n:\\not\\there");
    KivSetGetUniversalNameSeam(LookupSucceeds);
    g_universalName = L"\\\\kivtest\\share\\not\\there";
    CheckValidityDevOpt(&cfg);
    EXPECT_STREQ(cfg.szInitialPath, L"\\\\kivtest\\share\\not\\there");
    /* Too long a UNC form for a path field: the drive form stays. */
    wcscpy(cfg.szInitialPath, L"n:\\sub");
    g_universalName = L"\\\\kivtest\\share\\" + std::wstring(300, L's');
    CheckValidityDevOpt(&cfg);
    EXPECT_STREQ(cfg.szInitialPath, L"n:\\sub");
    KivSetGetUniversalNameSeam(NULL);
}

/* ---- Hostile input, counted ----------------------------------------- */

namespace {

/* A random path: lengths 0 to 1,024, most near the limits of 256 and 260
 * or short; backslashes, slashes, colons, dots, letters, now and then a
 * unit above 0x7F; no zero. */
std::wstring RandomPath(HostileRandom &rnd)
{
    static const wchar_t kUnits[] = L"\\\\\\//::...abcxyzCN";
    DWORD shape = rnd.Below(4);
    size_t len = shape == 0 ? rnd.Below(1025) : shape == 1 ? 245 + rnd.Below(20) : rnd.Below(40);
    std::wstring path;
    while (path.size() < len)
        path += rnd.OneIn(10) ? (WCHAR)(0x80 + rnd.Below(0xFF7F)) : kUnits[rnd.Below(wcslen(kUnits))];
    return path;
}

/* Length of a text within the first `units` units; `units` when it has no
 * terminator there. */
size_t BoundedLen(const WCHAR *p, size_t units)
{
    size_t n = 0;
    while (n < units && p[n] != 0)
        n++;
    return n;
}

}  // namespace

TEST(HostileInput, RandomPaths)
{
    const int kPaths = 10000;
    /* Paths on n:, a network drive, are rewritten to whatever the provider
     * answers: random names, long, short and unterminated. */
    ASSERT_TRUE(DefineWineNetworkDrive(L'n', L"C:\\share"));
    KivSetGetUniversalNameSeam(LookupSucceeds);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\fz", NULL));
    std::set<std::wstring> rootBefore = FolderNames(L"C:\\");
    GuardedRegion inA(4096), inB(4096), out(4096);
    ASSERT_TRUE(inA.Ok() && inB.Ok() && out.Ok());
    HostileRandom rnd(0xA54FF53Au);
    int tried = 0, built = 0, split = 0, network = 0, rewritten = 0, trees = 0;
    DWORD start = GetTickCount();

    for (int i = 0; i < kPaths; i++) {
        std::wstring path = RandomPath(rnd);
        SCOPED_TRACE("path " + std::to_string(i) + " of " + std::to_string(path.size()) + " units");

        const WCHAR *pszPath = inA.PlaceText(path);
        int unc = IsUNCPath(pszPath);
        ASSERT_TRUE(unc == 0 || unc == 1);
        /* Wine's path conversion compares the first four units at once,
         * past the end of a shorter text: that one gets zeros after it. */
        int exists = LocalDirExists(inB.PlaceText(path + std::wstring(3, L'\0')));
        ASSERT_TRUE(exists == 0 || exists == 1);

        /* The folder part and the join: terminated inside their buffers. */
        WCHAR *pszOut = (WCHAR *)out.End(KIV_PATH_UNITS * sizeof(WCHAR), 0xCC);
        int r = GetFolderOfPath(pszPath, pszOut);
        ASSERT_TRUE(r == 0 || r == 1);
        ASSERT_LT(BoundedLen(pszOut, KIV_PATH_UNITS), (size_t)KIV_PATH_UNITS);
        split += r;

        std::wstring name = RandomPath(rnd);
        const WCHAR *pszName = inB.PlaceText(name);
        pszOut = (WCHAR *)out.End(KIV_PATH_UNITS * sizeof(WCHAR), 0xCC);
        r = BuildFullPath(pszPath, pszName, pszOut);
        ASSERT_TRUE(r == 0 || r == 1);
        ASSERT_LT(BoundedLen(pszOut, KIV_PATH_UNITS), (size_t)KIV_PATH_UNITS);
        ASSERT_TRUE(path == pszPath && name == pszName) << "an input was changed";
        ASSERT_TRUE(inB.MarginIntact() && out.MarginIntact());
        built += r;

        /* Rewritten in place, in a buffer of 256 units or the path's
         * length and one: unchanged unless the provider's name fits. */
        std::wstring checked = rnd.OneIn(4) ? L"n:\\" + path.substr(0, rnd.Below(300)) : path;
        g_universalName = RandomPath(rnd);
        g_fillWithoutTerminator = rnd.OneIn(8);
        size_t units = std::max((size_t)256, checked.size() + 1);
        WCHAR *pszBuf = (WCHAR *)out.End(units * sizeof(WCHAR), 0xCC);
        memcpy(pszBuf, checked.c_str(), (checked.size() + 1) * sizeof(WCHAR));
        r = CheckIfNetworkPath(pszBuf);
        size_t cch = BoundedLen(pszBuf, units);
        ASSERT_TRUE(r == 0 || r == 1);
        ASSERT_LT(cch, units);
        std::wstring after(pszBuf, cch);
        ASSERT_TRUE(after == checked || (r == 1 && !g_fillWithoutTerminator && after == g_universalName &&
                                         after.size() <= KIV_UNC_REWRITE_MAX_LEN))
            << "rewritten to " << after.size() << " units";
        ASSERT_TRUE(out.MarginIntact());
        network += r;
        rewritten += after != checked;

        /* Folder trees, only ever under C:\fz: the tail holds no "..". */
        std::wstring tree = L"C:\\fz\\" + path;
        for (size_t k = 1; k < tree.size(); k++) {
            if (tree[k] == L'.' && tree[k - 1] == L'.')
                tree[k] = L'x';
        }
        const WCHAR *pszTree = inA.PlaceText(tree);
        r = CreateFolderTree(pszTree, (int)rnd.Below(2));
        ASSERT_TRUE(r == 0 || r == 1);
        ASSERT_TRUE(tree == pszTree) << "the path was changed";
        ASSERT_TRUE(inA.MarginIntact());
        trees += r;

        tried++;
    }
    KivSetGetUniversalNameSeam(NULL);
    printf("hostile paths: %d tried (%d joined, %d split, %d network of which %d rewritten, %d folder trees) "
           "in %lu ms\n", tried, built, split, network, rewritten, trees, (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(tried, kPaths);
    EXPECT_TRUE(FolderNames(L"C:\\") == rootBefore) << "a folder was made outside C:\\fz";
}
