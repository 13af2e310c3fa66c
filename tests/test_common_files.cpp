/*
 * The settings files: the current user id, the slot files, where they lie,
 * saves that fail or collide, and hostile file contents.  Every test runs
 * in a fresh prefix without the install folder unless it makes one, so the
 * files go to the system folder.
 */
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "test_common_util.h"
#include "kivcfg.h"
#include "kivfiles.h"
#include "kivpath.h"
#include "kivseams.h"
#include <sddl.h>

namespace {

std::wstring SlotFile(int id, const std::wstring &folder = SystemFolder())
{
    return folder + L"kivusr" + std::to_wstring(id) + L".bin";
}

std::wstring IdFile(const std::wstring &folder = SystemFolder())
{
    return folder + L"kivusrid.bin";
}

std::string U32Bytes(DWORD v)
{
    return std::string((const char *)&v, 4);
}

/* A well-formed record that a load gives back unchanged (but for its
 * pointer slots), told apart by its counter. */
KIVPRINTERCFG NamedRecord(DWORD counter, BYTE userId = 1)
{
    KIVPRINTERCFG cfg = DefaultRecord(0x3C);
    cfg.dwCounter = counter;
    cfg.bUserId = userId;
    swprintf(cfg.szFileName, KIV_FILENAME_UNITS, L"record%lu", (unsigned long)counter);
    return cfg;
}

/* Compares two records but for their pointer slots. */
bool SameButSlots(const KIVPRINTERCFG &a, const KIVPRINTERCFG &b)
{
    std::string x = RecordBytes(a), y = RecordBytes(b);
    x.replace(24, 8, 8, '\0');
    y.replace(24, 8, 8, '\0');
    return x == y;
}

/* The temporary files a save makes ("kivXXXX.tmp").  Others are not the
 * library's: Wine's ReplaceFileW leaves an "rfXXXX.tmp" of its own when
 * the file to replace was opened between a save's check and its
 * replacement. */
std::vector<std::wstring> TempFilesIn(const std::wstring &folder)
{
    return ListFiles(folder, L"kiv*.tmp");
}

}  // namespace

/* ---- A machine without settings --------------------------------------- */

TEST(SettingsFiles, NoFilesAtAll)
{
    WCHAR szInstall[KIV_INSTALL_FOLDER_UNITS];
    ASSERT_EQ(KivImagePrinterFolderExist(szInstall), 0);
    ASSERT_FALSE(PathIsFile(IdFile()));
    ASSERT_FALSE(PathIsFile(SlotFile(1)));

    EXPECT_EQ(LoadUserID(), 1u);

    /* A failed load leaves the caller's record as it was, apart from the
     * pointer slots, which point at its own texts. */
    KIVPRINTERCFG cfg;
    memset(&cfg, 0x77, sizeof(cfg));
    EXPECT_EQ(LoadKivPrinterSettings(&cfg), 0);
    EXPECT_TRUE(SlotsSet(cfg));
    std::string got = RecordBytes(cfg);
    EXPECT_EQ(got.substr(0, 24), std::string(24, '\x77'));
    EXPECT_EQ(got.substr(32), std::string(KIV_CFG_SIZE - 32, '\x77'));

    /* Loading creates nothing. */
    EXPECT_FALSE(PathIsFile(IdFile()));
    EXPECT_FALSE(PathIsFile(SlotFile(1)));
}

/* ---- The current user id ---------------------------------------------- */

TEST(SettingsFiles, UserIdFileContents)
{
    struct Case {
        std::string bytes;
        DWORD id;
    };
    const Case cases[] = {
        {U32Bytes(0), 1},          {U32Bytes(1), 1},         {U32Bytes(3), 3},
        {U32Bytes(5), 5},          {U32Bytes(6), 1},         {U32Bytes(7), 1},
        {U32Bytes(0x100 | 3), 1},  {U32Bytes(0xFFFFFFFF), 1}, {U32Bytes(0x80000002), 1},
        /* Shorter files replace only the low-order bytes of 1. */
        {"", 1},                   {std::string("\x03", 1), 3}, {std::string("\x00", 1), 1},
        {std::string("\x04\x00", 2), 4}, {std::string("\x02\x00\x00", 3), 2},
        {std::string("\x00\x01", 2), 1}, {std::string("\x09", 1), 1},
        /* Longer files: the first 4 bytes count. */
        {U32Bytes(3) + "\x09\x09\x09\x09", 3},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(WriteWholeFile(IdFile(), c.bytes));
        EXPECT_EQ(LoadUserID(), c.id) << c.bytes.size() << " bytes";
    }

    /* The current id picks the slot a load reads. */
    KIVPRINTERCFG one = NamedRecord(111, 1), three = NamedRecord(333, 3);
    ASSERT_TRUE(WriteWholeFile(SlotFile(1), RecordBytes(one)));
    ASSERT_TRUE(WriteWholeFile(SlotFile(3), RecordBytes(three)));
    KIVPRINTERCFG cfg;
    ASSERT_TRUE(WriteWholeFile(IdFile(), U32Bytes(3)));
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 333u);
    ASSERT_TRUE(WriteWholeFile(IdFile(), U32Bytes(7)));
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 111u);

    /* A record keeps the bUserId stored in it, whichever slot it came from. */
    KIVPRINTERCFG stray = NamedRecord(444, 4);
    ASSERT_TRUE(WriteWholeFile(SlotFile(3), RecordBytes(stray)));
    ASSERT_TRUE(WriteWholeFile(IdFile(), U32Bytes(3)));
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.bUserId, 4);

    /* SaveUserId writes what it is given, unchecked. */
    SaveUserId(9);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(IdFile(), &bytes));
    EXPECT_EQ(bytes, U32Bytes(9));
    EXPECT_EQ(LoadUserID(), 1u);
    SaveUserId(2);
    EXPECT_EQ(LoadUserID(), 2u);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());
}

/* ---- Slot files ------------------------------------------------------- */

TEST(SettingsFiles, SlotFileSizes)
{
    KIVPRINTERCFG saved = NamedRecord(42);
    std::string image = RecordBytes(saved);

    /* Too short: refused, the caller's record untouched. */
    for (size_t size : {(size_t)0, (size_t)1, (size_t)2611}) {
        ASSERT_TRUE(WriteWholeFile(SlotFile(1), image.substr(0, size)));
        KIVPRINTERCFG cfg;
        memset(&cfg, 0x11, sizeof(cfg));
        EXPECT_EQ(LoadKivPrinterSettings(&cfg), 0) << size;
        EXPECT_EQ(RecordBytes(cfg).substr(32), std::string(KIV_CFG_SIZE - 32, '\x11')) << size;
    }

    /* Exactly 2612, and more: the first 2612 bytes. */
    for (const std::string &content : {image, image + std::string(388, '\xEE')}) {
        ASSERT_TRUE(WriteWholeFile(SlotFile(1), content));
        KIVPRINTERCFG cfg;
        memset(&cfg, 0x11, sizeof(cfg));
        EXPECT_EQ(LoadKivPrinterSettings(&cfg), 1) << content.size();
        EXPECT_TRUE(SameButSlots(cfg, saved)) << content.size();
        EXPECT_TRUE(SlotsSet(cfg));
        EXPECT_STREQ(KivCfgFileName(&cfg), L"record42");
    }

    /* Out-of-range values come back repaired. */
    KIVPRINTERCFG bad = saved;
    bad.FileFormat = 200;
    bad.QFactor = 250;
    bad.pszInitialPath = GARBAGE_SLOT(0x12345678);
    ASSERT_TRUE(WriteWholeFile(SlotFile(1), RecordBytes(bad)));
    KIVPRINTERCFG cfg;
    EXPECT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.FileFormat, 5u);
    EXPECT_EQ(cfg.QFactor, 75);
    EXPECT_TRUE(SlotsSet(cfg));

    /* A slot file that is a folder loads nothing. */
    ASSERT_TRUE(DeleteFileW(SlotFile(1).c_str()));
    ASSERT_TRUE(CreateDirectoryW(SlotFile(1).c_str(), NULL));
    EXPECT_EQ(LoadKivPrinterSettings(&cfg), 0);
}

TEST(SettingsFiles, SaveBoundsUserIdAndMakesTheSlotCurrent)
{
    /* bUserId 9 is saved as slot 1, which becomes the current one. */
    ASSERT_TRUE(WriteWholeFile(IdFile(), U32Bytes(4)));
    KIVPRINTERCFG cfg = NamedRecord(9009, 9);
    SaveKivPrinterSettings(&cfg);
    EXPECT_EQ(cfg.bUserId, 1);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(SlotFile(1), &bytes));
    EXPECT_EQ(bytes, RecordBytes(cfg));   /* the record exactly as it lies in memory */
    ASSERT_TRUE(ReadWholeFile(IdFile(), &bytes));
    EXPECT_EQ(bytes, U32Bytes(1));
    EXPECT_FALSE(PathIsFile(SlotFile(9)));

    /* bUserId 0 likewise; 3 to slot 3, which a load then reads. */
    cfg = NamedRecord(1000, 0);
    SaveKivPrinterSettings(&cfg);
    EXPECT_EQ(cfg.bUserId, 1);
    KIVPRINTERCFG three = NamedRecord(3003, 3);
    SaveKivPrinterSettings(&three);
    EXPECT_EQ(LoadUserID(), 3u);
    KIVPRINTERCFG loaded;
    ASSERT_EQ(LoadKivPrinterSettings(&loaded), 1);
    EXPECT_TRUE(SameButSlots(loaded, three));

    /* Only the record's bUserId is touched before saving: an out-of-range
     * field is stored as it is and repaired by the next load. */
    KIVPRINTERCFG odd = NamedRecord(5005, 5);
    odd.QFactor = 200;
    SaveKivPrinterSettings(&odd);
    EXPECT_EQ(odd.QFactor, 200);
    ASSERT_TRUE(ReadWholeFile(SlotFile(5), &bytes));
    EXPECT_EQ((unsigned char)bytes[20], 200);
    ASSERT_EQ(LoadKivPrinterSettings(&loaded), 1);
    EXPECT_EQ(loaded.QFactor, 75);
    EXPECT_EQ(loaded.dwCounter, 5005u);

    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());
}

TEST(SettingsFiles, InstallFolderWhenPresentElseSystemFolder)
{
    const std::wstring install = InstallFolder() + L"\\";

    /* Without the install folder: the system folder. */
    KIVPRINTERCFG sys = NamedRecord(1, 2);
    SaveKivPrinterSettings(&sys);
    EXPECT_TRUE(PathIsFile(SlotFile(2)));
    EXPECT_TRUE(PathIsFile(IdFile()));
    EXPECT_FALSE(PathIsFolder(install));

    /* With it: there, and nothing more in the system folder. */
    ASSERT_TRUE(CreateDirectoryW(InstallFolder().c_str(), NULL));
    std::string sysSlot, sysId;
    ASSERT_TRUE(ReadWholeFile(SlotFile(2), &sysSlot));
    ASSERT_TRUE(ReadWholeFile(IdFile(), &sysId));
    EXPECT_EQ(LoadUserID(), 1u);   /* the install folder has no id file yet */
    KIVPRINTERCFG cfg;
    EXPECT_EQ(LoadKivPrinterSettings(&cfg), 0);

    KIVPRINTERCFG inst = NamedRecord(2, 2);
    SaveKivPrinterSettings(&inst);
    EXPECT_TRUE(PathIsFile(SlotFile(2, install)));
    EXPECT_TRUE(PathIsFile(IdFile(install)));
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 2u);
    std::string now;
    ASSERT_TRUE(ReadWholeFile(SlotFile(2), &now));
    EXPECT_EQ(now, sysSlot);
    ASSERT_TRUE(ReadWholeFile(IdFile(), &now));
    EXPECT_EQ(now, sysId);
    EXPECT_TRUE(TempFilesIn(install).empty());

    /* The folder is worked out afresh each time: gone again, the system
     * folder's files count. */
    ASSERT_TRUE(DeleteFileW(SlotFile(2, install).c_str()));
    ASSERT_TRUE(DeleteFileW(IdFile(install).c_str()));
    ASSERT_TRUE(RemoveDirectoryW(InstallFolder().c_str()));
    EXPECT_EQ(LoadUserID(), 2u);
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 1u);
}

/* ---- Saves that cannot complete --------------------------------------- */

TEST(SettingsFiles, SaveWhileALoadHoldsTheSlotFileFailsAndKeepsTheOldRecord)
{
    KIVPRINTERCFG old = NamedRecord(1, 1);
    SaveKivPrinterSettings(&old);
    std::string oldBytes;
    ASSERT_TRUE(ReadWholeFile(SlotFile(1), &oldBytes));

    /* A load in progress: read access, sharing reading only. */
    HANDLE hLoad = CreateFileW(SlotFile(1).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(hLoad, INVALID_HANDLE_VALUE);

    KIVPRINTERCFG next = NamedRecord(2, 1);
    SaveKivPrinterSettings(&next);
    std::string now;
    ASSERT_TRUE(ReadWholeFile(SlotFile(1), &now));
    EXPECT_EQ(now, oldBytes);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());

    /* A failed save of another slot does not make that slot current. */
    KIVPRINTERCFG other = NamedRecord(3, 3);
    ASSERT_TRUE(WriteWholeFile(SlotFile(3), RecordBytes(NamedRecord(33, 3))));
    HANDLE hLoad3 = CreateFileW(SlotFile(3).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(hLoad3, INVALID_HANDLE_VALUE);
    SaveKivPrinterSettings(&other);
    EXPECT_EQ(LoadUserID(), 1u);
    CloseHandle(hLoad3);

    /* Two loads may run together. */
    KIVPRINTERCFG cfg;
    EXPECT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 1u);

    CloseHandle(hLoad);
    SaveKivPrinterSettings(&next);
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 2u);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());
}

namespace {

BOOL WINAPI WriteHalfThenFail(HANDLE hFile, LPCVOID pData, DWORD cb, LPDWORD pcbWritten, LPOVERLAPPED pOv)
{
    WriteFile(hFile, pData, cb / 2, pcbWritten, pOv);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

BOOL WINAPI WriteOneByteShort(HANDLE hFile, LPCVOID pData, DWORD cb, LPDWORD pcbWritten, LPOVERLAPPED pOv)
{
    return WriteFile(hFile, pData, cb - 1, pcbWritten, pOv);
}

}  // namespace

TEST(SettingsFiles, InterruptedSaveLeavesTheOldRecordLoadable)
{
    KIVPRINTERCFG old = NamedRecord(100, 2);
    SaveKivPrinterSettings(&old);
    ASSERT_EQ(LoadUserID(), 2u);
    std::string oldBytes, oldId;
    ASSERT_TRUE(ReadWholeFile(SlotFile(2), &oldBytes));
    ASSERT_TRUE(ReadWholeFile(IdFile(), &oldId));

    KIVWRITEFILEPROC failures[] = {WriteHalfThenFail, WriteOneByteShort};
    for (KIVWRITEFILEPROC fail : failures) {
        KivSetSettingsWriteSeam(fail);
        KIVPRINTERCFG next = NamedRecord(200, 2);
        SaveKivPrinterSettings(&next);
        KIVPRINTERCFG other = NamedRecord(300, 4);   /* a new slot: not created */
        SaveKivPrinterSettings(&other);
        SaveUserId(5);                               /* the id file is kept whole too */
        KivSetSettingsWriteSeam(NULL);

        std::string now;
        ASSERT_TRUE(ReadWholeFile(SlotFile(2), &now));
        EXPECT_EQ(now, oldBytes);
        ASSERT_TRUE(ReadWholeFile(IdFile(), &now));
        EXPECT_EQ(now, oldId);
        EXPECT_FALSE(PathIsFile(SlotFile(4)));
        EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());

        KIVPRINTERCFG cfg;
        ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
        EXPECT_TRUE(SameButSlots(cfg, old));
    }

    /* With the real call again, the same save goes through. */
    KIVPRINTERCFG next = NamedRecord(200, 2);
    SaveKivPrinterSettings(&next);
    KIVPRINTERCFG cfg;
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 200u);
}

namespace {

DWORD g_dwReplaceError;
bool g_bScannerHolds;
std::vector<HANDLE> g_scanner;

/* A replacement stopped half-way, as on Windows (a virus scanner holds
 * the new file, and may go on holding it): 1176 removes the old file when
 * there is no backup name; 1177 has moved it to the backup name, or
 * without one to a name nobody knows. */
BOOL WINAPI HalfwayReplace(LPCWSTR pszReplaced, LPCWSTR pszTemp, LPCWSTR pszBackup, DWORD, LPVOID, LPVOID)
{
    if (g_bScannerHolds)
        g_scanner.push_back(CreateFileW(pszTemp, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    if (g_dwReplaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT && !pszBackup)
        DeleteFileW(pszReplaced);
    if (g_dwReplaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        MoveFileExW(pszReplaced, pszBackup ? pszBackup : (std::wstring(pszReplaced) + L".old").c_str(),
                    MOVEFILE_REPLACE_EXISTING);
    SetLastError(g_dwReplaceError);
    return FALSE;
}

/* Saves slot 2 over an earlier save; what a load gives (0: slot or id lost). */
DWORD SaveHalfwayAndLoad(DWORD dwError, DWORD counter)
{
    KIVPRINTERCFG cfg = NamedRecord(counter - 1, 2);
    SaveKivPrinterSettings(&cfg);
    g_dwReplaceError = dwError;
    KivSetSettingsReplaceSeam(HalfwayReplace);
    cfg = NamedRecord(counter, 2);
    SaveKivPrinterSettings(&cfg);
    KivSetSettingsReplaceSeam(NULL);
    return LoadKivPrinterSettings(&cfg) ? cfg.dwCounter : 0;
}

}  // namespace

TEST(SettingsFiles, ReplacementsStoppedHalfWayLoseNoSave)
{
    EXPECT_EQ(SaveHalfwayAndLoad(ERROR_UNABLE_TO_REMOVE_REPLACED, 11), 11u);   /* saved in place */
    EXPECT_EQ(SaveHalfwayAndLoad(ERROR_UNABLE_TO_MOVE_REPLACEMENT, 22), 22u);  /* both kept: in place */
    /* The old file moved aside: moved in, and nothing of the old file left. */
    EXPECT_EQ(SaveHalfwayAndLoad(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 44), 44u);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty() && ListFiles(SystemFolder(), L"kivusr*.old").empty());
    /* Held past every retry: written from memory. */
    g_bScannerHolds = true;
    EXPECT_EQ(SaveHalfwayAndLoad(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 33), 33u);
    EXPECT_EQ(TempFilesIn(SystemFolder()).size(), 2u) << "the temporary files were not held";
    for (HANDLE h : g_scanner)
        CloseHandle(h);
}

/* Drive letters exist per logon session: the spooler, an elevated process
 * or another account sees none of the user's mapped drives. */
TEST(SettingsFiles, AFolderOnADriveUnknownHereIsKept)
{
    wchar_t letter = L'Q';
    while (GetLogicalDrives() & (1u << (letter - L'A')))
        letter++;
    const std::wstring drive(1, letter);
    KIVPRINTERCFG cfg = NamedRecord(77), loaded;
    wcscpy(cfg.szInitialPath, (drive + L":\\scans").c_str());
    wcscpy(cfg.szRunAppName, (drive + L":\\tools\\view.exe").c_str());
    wcscpy(cfg.szRunAppParams, L"$f");
    cfg.bRunApp = 1;
    cfg.bNoAppCheck = 0;
    for (int round = 0; round < 2; round++) {   /* a load and a save, twice */
        SaveKivPrinterSettings(&cfg);
        ASSERT_EQ(LoadKivPrinterSettings(&loaded), 1);
        EXPECT_STREQ(loaded.szInitialPath, cfg.szInitialPath);
        EXPECT_EQ(loaded.bRunApp, 1u);
        cfg = loaded;
    }
}

/* ---- Saves on a machine whose administrator set the slot files up ----- */

namespace {

const wchar_t kEveryoneMayWrite[] = L"D:(A;;FA;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)";

bool SetDacl(const std::wstring &path, const wchar_t *pszSddl)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(pszSddl, SDDL_REVISION_1, &pSd, NULL) &&
              SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, pSd);
    if (pSd)
        LocalFree(pSd);
    return ok;
}

/* The access the file's DACL allows everyone (the world SID). */
DWORD EveryonesAccess(const std::wstring &path)
{
    BYTE sd[4096];
    DWORD cb = 0, access = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL pDacl = NULL;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID pEveryone = NULL;

    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, (PSECURITY_DESCRIPTOR)sd, sizeof(sd), &cb) ||
        !GetSecurityDescriptorDacl((PSECURITY_DESCRIPTOR)sd, &present, &pDacl, &defaulted) || !pDacl ||
        !AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &pEveryone))
        return 0;
    for (WORD i = 0; i < pDacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *pAce = NULL;
        if (GetAce(pDacl, i, (void **)&pAce) && pAce->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid((PSID)&pAce->SidStart, pEveryone))
            access |= pAce->Mask;
    }
    FreeSid(pEveryone);
    return access;
}

bool SetLastWrite(const std::wstring &path, LONGLONG hundredNsAgo)
{
    FILETIME ft;
    ULARGE_INTEGER t;
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    GetSystemTimeAsFileTime(&ft);
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    t.QuadPart -= hundredNsAgo;
    ft.dwLowDateTime = t.LowPart;
    ft.dwHighDateTime = t.HighPart;
    bool ok = SetFileTime(h, NULL, NULL, &ft) != FALSE;
    CloseHandle(h);
    return ok;
}

UINT WINAPI NoTempFile(LPCWSTR, LPCWSTR, UINT, LPWSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

}  // namespace

TEST(SettingsFiles, SaveKeepsWhatAnAdministratorGaveTheSlotFile)
{
    KIVPRINTERCFG first = NamedRecord(1, 3);
    SaveKivPrinterSettings(&first);
    const DWORD kGiven = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesW(SlotFile(3).c_str(), kGiven));
    ASSERT_TRUE(SetDacl(SlotFile(3), kEveryoneMayWrite));
    ASSERT_TRUE(EveryonesAccess(SlotFile(3)) & FILE_WRITE_DATA) << "the platform keeps no such permission";

    KIVPRINTERCFG second = NamedRecord(2, 3);
    SaveKivPrinterSettings(&second);
    KIVPRINTERCFG cfg;
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 2u) << "not saved";
    EXPECT_EQ(GetFileAttributesW(SlotFile(3).c_str()), kGiven);
    EXPECT_TRUE(EveryonesAccess(SlotFile(3)) & FILE_WRITE_DATA) << "everyone's write access is gone";
}

TEST(SettingsFiles, SaveWithoutRoomForATemporaryFileWritesInPlace)
{
    KIVPRINTERCFG first = NamedRecord(1, 2);
    SaveKivPrinterSettings(&first);

    KivSetSettingsTempFileSeam(NoTempFile);
    KIVPRINTERCFG over = NamedRecord(2, 2);       /* over an existing slot file */
    SaveKivPrinterSettings(&over);
    KIVPRINTERCFG fresh = NamedRecord(3, 4);      /* a slot file not there yet */
    SaveKivPrinterSettings(&fresh);
    KivSetSettingsTempFileSeam(NULL);

    EXPECT_EQ(LoadUserID(), 4u);
    KIVPRINTERCFG cfg;
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 3u);
    SaveUserId(2);
    ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1);
    EXPECT_EQ(cfg.dwCounter, 2u);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());
}

TEST(SettingsFiles, SaveRemovesTheTemporaryFilesOfKilledSaves)
{
    const LONGLONG kHour = 36000000000LL;
    struct {
        const wchar_t *pszName;
        size_t cb;
        LONGLONG age;
        bool removed;
    } const files[] = {
        { L"kiv1A2B.tmp", KIV_CFG_SIZE, kHour, true },   /* a killed save's */
        { L"kivF.tmp", 4, kHour, true },                  /* a killed id save's */
        { L"kivnotes.tmp", 10, kHour, false },            /* not a name a save makes */
        { L"kiv1A2C.tmp", 5000, kHour, false },           /* larger than any save */
        { L"kiv1A2D.tmp", KIV_CFG_SIZE, 0, false },       /* a save may be writing it now */
        { L"kiv1A2E.tmp", KIV_CFG_SIZE, kHour, false },   /* held open */
    };
    for (const auto &f : files) {
        std::wstring path = SystemFolder() + f.pszName;
        ASSERT_TRUE(WriteWholeFile(path, std::string(f.cb, 'x')));
        ASSERT_TRUE(SetLastWrite(path, f.age));
    }
    HANDLE hHeld = CreateFileW((SystemFolder() + L"kiv1A2E.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);

    KIVPRINTERCFG cfg = NamedRecord(7, 1);
    SaveKivPrinterSettings(&cfg);
    CloseHandle(hHeld);
    for (const auto &f : files)
        EXPECT_EQ(!PathIsFile(SystemFolder() + f.pszName), f.removed) << Narrow(f.pszName);
}

/* ---- Saves and loads at the same time --------------------------------- */

namespace {

const int kSavers = 4;
const int kSavesEach = 25;

DWORD WINAPI SaveMany(void *p)
{
    int thread = (int)(INT_PTR)p;
    for (int i = 0; i < kSavesEach; i++) {
        KIVPRINTERCFG cfg = NamedRecord((DWORD)(thread * 1000 + i), 1);
        SaveKivPrinterSettings(&cfg);
    }
    return 0;
}

struct LoadStats {
    volatile LONG stop;
    int loaded;
    int torn;
};

DWORD WINAPI LoadMany(void *p)
{
    LoadStats *stats = (LoadStats *)p;
    while (!stats->stop) {
        KIVPRINTERCFG cfg;
        if (!LoadKivPrinterSettings(&cfg))
            continue;
        stats->loaded++;
        /* Every record loaded must be one that a saver wrote, whole. */
        KIVPRINTERCFG expected = NamedRecord(cfg.dwCounter, 1);
        if (!SameButSlots(cfg, expected))
            stats->torn++;
    }
    return 0;
}

}  // namespace

TEST(SettingsFiles, ConcurrentSavesNeverCollideAndLoadsSeeWholeRecords)
{
    KIVPRINTERCFG first = NamedRecord(1, 1);
    SaveKivPrinterSettings(&first);

    LoadStats stats = {0, 0, 0};
    HANDLE hLoader = CreateThread(NULL, 0, LoadMany, &stats, 0, NULL);
    HANDLE hSavers[kSavers];
    for (int t = 0; t < kSavers; t++)
        hSavers[t] = CreateThread(NULL, 0, SaveMany, (void *)(INT_PTR)(t + 1), 0, NULL);
    for (int t = 0; t < kSavers; t++) {
        ASSERT_TRUE(hSavers[t] != NULL);
        EXPECT_EQ(WaitForSingleObject(hSavers[t], KIV_TEST_DEADLINE_MS * 3), WAIT_OBJECT_0);
        CloseHandle(hSavers[t]);
    }
    stats.stop = 1;
    ASSERT_TRUE(hLoader != NULL);
    EXPECT_EQ(WaitForSingleObject(hLoader, KIV_TEST_DEADLINE_MS), WAIT_OBJECT_0);
    CloseHandle(hLoader);

    printf("concurrent saves: %d loads succeeded, %d torn\n", stats.loaded, stats.torn);
    EXPECT_GT(stats.loaded, 0);
    EXPECT_EQ(stats.torn, 0);

    /* The slot file holds one whole record that a saver wrote, and no
     * temporary file is left behind. */
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(SlotFile(1), &bytes));
    ASSERT_EQ(bytes.size(), (size_t)KIV_CFG_SIZE);
    KIVPRINTERCFG last = RecordFromBytes(bytes);
    EXPECT_TRUE(SameButSlots(last, NamedRecord(last.dwCounter, 1)));
    EXPECT_GE(last.dwCounter, 1000u);
    EXPECT_TRUE(TempFilesIn(SystemFolder()).empty());
}

/* ---- Hostile files ---------------------------------------------------- */

namespace {

/* xorshift32: the same records on every run. */
struct Random {
    DWORD state;
    DWORD Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

struct TextArea {
    size_t off, units;
};
const TextArea kAreas[] = {{32, 406}, {936, 200}, {1336, 100}, {1558, 405}, {2372, 100}, {2572, 20}};

/* Byte ranges the repair has no rule for: they must come back as stored. */
struct Range {
    size_t off, len;
};
const Range kKept[] = {{0, 8}, {10, 2}, {16, 1}, {22, 2}, {852, 28}, {888, 20}, {909, 19},
                       {932, 4}, {1536, 8}, {1546, 12}, {2368, 4}};

void RemoveTerminators(unsigned char *p, Random &rnd)
{
    for (const TextArea &a : kAreas) {
        WCHAR *text = (WCHAR *)(p + a.off);
        for (size_t i = 0; i < a.units; i++) {
            while (text[i] == 0)
                text[i] = (WCHAR)rnd.Next();
        }
    }
}

/* Checks one loaded record against the stored image; returns a text
 * naming the first fault, empty when there is none. */
std::string CheckLoaded(const KIVPRINTERCFG &cfg, const unsigned char *stored)
{
    const unsigned char *p = (const unsigned char *)&cfg;
    for (const TextArea &a : kAreas) {
        if (!IsTerminated((const WCHAR *)(p + a.off), a.units))
            return "text at " + std::to_string(a.off) + " not terminated";
    }
    for (const Range &r : kKept) {
        if (memcmp(p + r.off, stored + r.off, r.len) != 0)
            return "bytes at " + std::to_string(r.off) + " changed";
    }
    if (!SlotsSet(cfg))
        return "pointer slots";
    if (cfg.bLevel > 100 || cfg.bSelect9 > 2 || cfg.bFormatOption > 2 || cfg.bFormatVariant > 5 ||
        cfg.bSelect19 > 2 || cfg.QFactor > 100 || cfg.bCompression > 2)
        return "a byte field out of range";
    if (!IsValidFileFormat(cfg.FileFormat))
        return "FileFormat";
    if (cfg.szFileName[0] == 0)
        return "empty szFileName";
    if (cfg.szInitialPath[0] == 0)
        return "empty szInitialPath";
    if (cfg.dwCounter > 99990 || cfg.dwNumofDigits < 3 || cfg.dwNumofDigits > 5)
        return "counter or digits";
    if (!(cfg.fFactor1 >= 1.0f && cfg.fFactor1 <= 3.0f) || !(cfg.fFactor2 >= 1.0f && cfg.fFactor2 <= 3.0f))
        return "factors";
    if (cfg.bSelect908 > 2 || cfg.bHidePrintCfgDialog > 1 || cfg.bUserId < 1 || cfg.bUserId > 5)
        return "late byte fields";
    if (cfg.bRunApp && !cfg.bNoAppCheck &&
        (wcslen(cfg.szRunAppName) <= 5 || wcsstr(cfg.szRunAppParams, L"$f") == NULL))
        return "program check";
    /* Texts the repair only terminates keep every unit before the end. */
    for (size_t off : {(size_t)2372, (size_t)2572, (size_t)936}) {
        size_t len = wcslen((const WCHAR *)(p + off));
        if (memcmp(p + off, stored + off, len * 2) != 0)
            return "text at " + std::to_string(off) + " altered";
    }
    return "";
}

/*
 * Loads `count` records of seeded random bytes through
 * LoadKivPrinterSettings, each written as the slot file first, and checks
 * every one.  Every other record runs the program check on an existing
 * program with random parameters, so the completion of the parameters is
 * tried at every length.
 */
void LoadHostileRecords(int count, bool removeTerminators, DWORD seed)
{
    /* The settings in the install folder, with an id file: a small folder
     * where every name looked up exists. */
    ASSERT_TRUE(CreateDirectoryW(InstallFolder().c_str(), NULL));
    const std::wstring folder = InstallFolder() + L"\\";
    ASSERT_TRUE(WriteWholeFile(IdFile(folder), U32Bytes(1)));
    const std::wstring slot = SlotFile(1, folder);
    const std::wstring program = L"C:\\windows\\system32\\notepad.exe";
    ASSERT_TRUE(PathIsFile(program));
    Random rnd = {seed};
    int tested = 0, programChecked = 0;
    DWORD start = GetTickCount();

    for (int i = 0; i < count; i++) {
        unsigned char stored[KIV_CFG_SIZE];
        for (size_t b = 0; b < sizeof(stored); b += 4) {
            DWORD v = rnd.Next();
            memcpy(stored + b, &v, 4);
        }
        KIVPRINTERCFG *pIn = (KIVPRINTERCFG *)stored;
        if (i % 2 == 1) {
            pIn->bRunApp = rnd.Next() | 1;
            pIn->bNoAppCheck = 0;
            wcscpy(pIn->szRunAppName, program.c_str());
            if (i % 6 == 1)
                pIn->szRunAppParams[rnd.Next() % KIV_RUNAPPPARAMS_UNITS] = 0;
        }
        if (i % 8 == 3)
            pIn->FileFormat = rnd.Next() % 140;
        if (removeTerminators) {
            RemoveTerminators(stored, rnd);
            /* ... but keep the program's path whole where there is one. */
            if (i % 2 == 1) {
                wcscpy(pIn->szRunAppName, program.c_str());
                pIn->szRunAppName[program.size()] = 0;
            }
        }

        /* Written as a file any program could have left there (always
         * 2612 bytes, so overwriting in place needs no truncation). */
        HANDLE h = CreateFileW(slot.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        BOOL ok = WriteFile(h, stored, sizeof(stored), &written, NULL);
        CloseHandle(h);
        ASSERT_TRUE(ok && written == sizeof(stored));

        KIVPRINTERCFG cfg;
        ASSERT_EQ(LoadKivPrinterSettings(&cfg), 1) << "record " << i;
        if (pIn->bRunApp && !pIn->bNoAppCheck)
            programChecked++;
        std::string fault = CheckLoaded(cfg, stored);
        ASSERT_EQ(fault, "") << "record " << i;
        tested++;
    }
    printf("hostile records: %d loaded and checked (%s, %d through the program check) in %lu ms\n",
           tested, removeTerminators ? "every terminator removed" : "random bytes", programChecked,
           (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(tested, count);
}

}  // namespace

/* 100,000 records in all, in two prefixes that run side by side. */
TEST(HostileRecords, RandomBytesLoadWithEveryFieldInBounds)
{
    LoadHostileRecords(50000, false, 0x2545F491u);
}

TEST(HostileRecords, RandomBytesWithoutAnyTerminatorLoadWithEveryFieldInBounds)
{
    LoadHostileRecords(50000, true, 0x9E3779B9u);
}
