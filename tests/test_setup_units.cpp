/*
 * Parts of the setup program tested in-process, linked from the very
 * objects kivsetup.exe is built from: the options reader, the spooler
 * service control (against Wine's own spooler service), and the progress
 * window's dialog resource as it lies in kivsetup.exe.
 */
#include <gtest/gtest.h>
#include <algorithm>
#include <ctype.h>
#include <stdio.h>

#include "kivsetup.h"
#include "testsupport.h"
#include "hostile.h"

/* ---- The options file --------------------------------------------------- */

static std::wstring TempOptionsPath()
{
    wchar_t szTemp[MAX_PATH], szFile[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    GetTempFileNameW(szTemp, L"opt", 0, szFile);
    return szFile;
}

/* Reads an options file of exactly these bytes; returns the flags. */
static QPRINTERSETUPCFG ReadOptions(const std::string &content)
{
    std::wstring path = TempOptionsPath();
    EXPECT_TRUE(WriteWholeFile(path, content));
    /* Something else first, so that a reader that keeps old values fails. */
    QprinterSetUpCfg.bFirstMsgBoxPrompt = 77;
    QprinterSetUpCfg.bFinalDlgBoxPrompt = 77;
    QprinterSetUpCfg.bStatusDlgBox = 77;
    ReadSetupOptions(Narrow(path).c_str());
    DeleteFileW(path.c_str());
    return QprinterSetUpCfg;
}

struct OptionsCase {
    const char *what;
    std::string content;
    int first, final, status;
};

TEST(OptionsReader, KeysValuesAndOddLines)
{
    const OptionsCase cases[] = {
        { "all three off", "first=0\nfinal=0\nstatus=0\n", 0, 0, 0 },
        { "capitalised keys", "First=0\r\nFinal=0\r\nStatus=0\r\n", 0, 0, 0 },
        { "a semicolon line is no comment", ";first=0\n", 0, 1, 1 },
        { "keys in capitals are not recognised", "FIRST=0\nFINAL=0\nSTATUS=0\n", 1, 1, 1 },
        { "final is tried before status", "finalstatus=0\n", 1, 0, 1 },
        { "first is tried before the others", "status final first=0\n", 0, 1, 1 },
        { "a key without '=' is blanked entirely", "first 0\n", 1, 1, 1 },
        { "a value that is no integer leaves the flag", "first=no\n", 1, 1, 1 },
        { "any nonzero value is on", "first=2\nfinal=-1\nstatus=0\n", 2, -1, 0 },
        { "text after the value", "final=0 please\n", 1, 0, 1 },
        { "blanks around the value", "status =   0   \n", 1, 1, 0 },
        { "only the first '=' is blanked", "first=0=1\n", 0, 1, 1 },
        { "the later line wins", "first=0\nfirst=1\n", 1, 1, 1 },
        { "no line break at the end", "status=0", 1, 1, 0 },
        { "a line without any key", "hello=0\n", 1, 1, 1 },
        { "an empty file", "", 1, 1, 1 },
    };
    for (const OptionsCase &c : cases) {
        SCOPED_TRACE(c.what);
        QPRINTERSETUPCFG cfg = ReadOptions(c.content);
        EXPECT_EQ(cfg.bFirstMsgBoxPrompt, c.first);
        EXPECT_EQ(cfg.bFinalDlgBoxPrompt, c.final);
        EXPECT_EQ(cfg.bStatusDlgBox, c.status);
    }
}

TEST(OptionsReader, MissingFileLeavesEveryFlagOn)
{
    QprinterSetUpCfg.bFirstMsgBoxPrompt = 0;
    QprinterSetUpCfg.bFinalDlgBoxPrompt = 0;
    QprinterSetUpCfg.bStatusDlgBox = 0;
    ReadSetupOptions("C:\\no such folder\\qprinter.ini");
    EXPECT_EQ(QprinterSetUpCfg.bFirstMsgBoxPrompt, 1);
    EXPECT_EQ(QprinterSetUpCfg.bFinalDlgBoxPrompt, 1);
    EXPECT_EQ(QprinterSetUpCfg.bStatusDlgBox, 1);
}

TEST(OptionsReader, LongLinesAreReadInPiecesOf255Characters)
{
    /* 300 characters: the key in the second piece still counts. */
    std::string keyLate = std::string(260, 'x') + "first=0";
    keyLate += std::string(300 - keyLate.size(), ' ') + "\n";
    ASSERT_EQ(keyLate.size(), 301u);
    QPRINTERSETUPCFG cfg = ReadOptions(keyLate);
    EXPECT_EQ(cfg.bFirstMsgBoxPrompt, 0);

    /* The key in the first piece and its value in the second: the first
     * piece has no '=' and is blanked whole, the second has no key. */
    std::string split = "first" + std::string(295, ' ') + "=0\n";
    cfg = ReadOptions(split);
    EXPECT_EQ(cfg.bFirstMsgBoxPrompt, 1);

    /* A long line of another key does not disturb the next line. */
    cfg = ReadOptions(std::string(299, 'y') + "\nstatus=0\n");
    EXPECT_EQ(cfg.bStatusDlgBox, 0);
    EXPECT_EQ(cfg.bFirstMsgBoxPrompt, 1);
}

TEST(OptionsReader, BlankKeyPartBlanksThroughTheFirstEquals)
{
    char a[] = "first=0";
    BlankKeyPart(a);
    EXPECT_STREQ(a, "      0");
    char b[] = "a=b=c";
    BlankKeyPart(b);
    EXPECT_STREQ(b, "  b=c");
    char c[] = "no equals";
    BlankKeyPart(c);
    EXPECT_STREQ(c, "         ");
    char d[] = "";
    BlankKeyPart(d);
    EXPECT_STREQ(d, "");
}

static const char *const kOptionKeys[] = {"first", "First", "final", "Final", "status", "Status"};

/* A random options file: the key names in the forms that count and in
 * forms that do not, '=' anywhere, numbers (some too long for an int),
 * blanks, line ends of every kind or none, zero bytes, 0x1A (the end of a
 * text-mode file), bytes above 0x7F, and lines longer than a read holds. */
static std::string RandomOptionsFile(HostileRandom &rnd)
{
    static const char *const kOthers[] = {"FIRST", "STATUS", "fir", "stat", "Fina", "=", "==", "-", "+", " ",
                                          "\t", "\r\n", "\n", "\r", ";", "[setup]"};
    bool withKeys = !rnd.OneIn(4);
    std::string file;
    for (DWORD n = rnd.Below(60); n > 0; n--) {
        switch (rnd.Below(8)) {
        case 0:
            if (withKeys)
                file += kOptionKeys[rnd.Below(6)] +
                        (rnd.OneIn(2) ? "=" + std::to_string((int)rnd.Below(100) - 50) : "");
            break;
        case 1:
        case 2:
            file += kOthers[rnd.Below(sizeof(kOthers) / sizeof(kOthers[0]))];
            break;
        case 3:
            if (!file.empty() && isdigit((unsigned char)file.back()))
                file += ' ';
            file += std::to_string((int)rnd.Below(1000000000) * (rnd.OneIn(3) ? -1 : 1));
            if (rnd.OneIn(64))
                file += std::to_string(rnd.Next());
            break;
        case 4:
            file += std::string(rnd.OneIn(8) ? rnd.Below(1200) : rnd.Below(8), (char)('a' + rnd.Below(26)));
            break;
        case 5:
            for (DWORD k = rnd.Below(16); k > 0; k--)
                file += (char)rnd.Below(256);
            break;
        case 6:
            file += rnd.OneIn(2) ? '\0' : '\x1A';
            break;
        default:
            file += '=';
        }
    }
    return file;
}

TEST(HostileInput, RandomOptionsFiles)
{
    const int kFiles = 2000;
    GuardedRegion region(4096);
    ASSERT_TRUE(region.Ok());
    HostileRandom rnd(0x3C6EF372u);
    int tried = 0, withoutKeys = 0;
    DWORD start = GetTickCount();

    for (int i = 0; i < kFiles; i++) {
        std::string file = RandomOptionsFile(rnd);
        SCOPED_TRACE("file " + std::to_string(i));
        QPRINTERSETUPCFG cfg = ReadOptions(file);
        bool hasKey = false;
        for (const char *pszKey : kOptionKeys)
            hasKey = hasKey || file.find(pszKey) != std::string::npos;
        if (!hasKey) {
            ASSERT_EQ(cfg.bFirstMsgBoxPrompt, 1);
            ASSERT_EQ(cfg.bFinalDlgBoxPrompt, 1);
            ASSERT_EQ(cfg.bStatusDlgBox, 1);
        }
        withoutKeys += !hasKey;

        /* One line of it blanked in place: nothing past its end touched. */
        std::string line = file.substr(rnd.Below((DWORD)file.size() + 1));
        line = line.substr(0, std::min(line.find_first_of(std::string("\n\0", 2)), (size_t)4000));
        char *pszLine = region.PlaceText(line);
        BlankKeyPart(pszLine);
        ASSERT_EQ(pszLine[line.size()], 0);
        ASSERT_TRUE(region.MarginIntact());
        tried++;
    }
    printf("hostile options files: %d read (%d without any key name) in %lu ms\n", tried, withoutKeys,
           (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(tried, kFiles);
}

/* ---- The progress window's resource ------------------------------------- */

struct TemplateReader {
    const BYTE *p;
    WORD Word() { WORD w; memcpy(&w, p, 2); p += 2; return w; }
    DWORD Dword() { DWORD d; memcpy(&d, p, 4); p += 4; return d; }
    std::wstring Text()
    {
        std::wstring s;
        for (WORD w = Word(); w; w = Word())
            s += (wchar_t)w;
        return s;
    }
    void AlignDword(const BYTE *base) { p = base + (((p - base) + 3) & ~3); }
};

TEST(ProgressWindow, ResourceIsThePlainDialogTemplate102)
{
    HMODULE hExe = LoadLibraryExW(BinPath(L"kivsetup.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(hExe != NULL);
    HRSRC hRes = FindResourceExA(hExe, RT_DIALOG, MAKEINTRESOURCEA(102), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_TRUE(hRes != NULL) << "no dialog 102 in English (United States)";
    const BYTE *base = (const BYTE *)LockResource(LoadResource(hExe, hRes));
    ASSERT_TRUE(base != NULL);

    TemplateReader r = { base };
    DWORD style = r.Dword();
    /* A DLGTEMPLATEEX would start with version 1 and signature 0xFFFF. */
    ASSERT_FALSE(LOWORD(style) == 1 && HIWORD(style) == 0xFFFF) << "extended dialog template";
    EXPECT_EQ(style, (DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND |
                             DS_SETFONT));
    EXPECT_EQ(style & WS_VISIBLE, 0u);
    EXPECT_EQ(r.Dword(), 0u);            /* extended style */
    EXPECT_EQ(r.Word(), 1);              /* controls */
    EXPECT_EQ((short)r.Word(), 0);       /* x */
    EXPECT_EQ((short)r.Word(), 0);       /* y */
    EXPECT_EQ((short)r.Word(), 187);     /* width */
    EXPECT_EQ((short)r.Word(), 38);      /* height */
    EXPECT_EQ(r.Word(), 0);              /* no menu */
    EXPECT_EQ(r.Word(), 0);              /* the standard dialog class */
    EXPECT_EQ(r.Text(), L"Kiv Image Printer Setup");
    EXPECT_EQ(r.Word(), 8);              /* point size */
    EXPECT_EQ(r.Text(), L"MS Sans Serif");

    r.AlignDword(base);
    EXPECT_EQ(r.Dword(), (DWORD)(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT));
    EXPECT_EQ(r.Dword(), 0u);            /* extended style */
    EXPECT_EQ((short)r.Word(), 16);
    EXPECT_EQ((short)r.Word(), 14);
    EXPECT_EQ((short)r.Word(), 154);
    EXPECT_EQ((short)r.Word(), 8);
    EXPECT_EQ(r.Word(), 0xFFFF);         /* identifier -1 */
    EXPECT_EQ(r.Word(), 0xFFFF);         /* class by atom... */
    EXPECT_EQ(r.Word(), 0x0082);         /* ...STATIC */
    EXPECT_EQ(r.Text(), L"Please wait for the setup to complete...");
    EXPECT_EQ(r.Word(), 0);              /* no creation data */

    FreeLibrary(hExe);
}

TEST(ProgressWindow, DialogProcedureHandlesOnlyInitDialog)
{
    EXPECT_EQ(ProgressDlgProc(NULL, WM_INITDIALOG, 0, 0), TRUE);
    for (UINT msg : { (UINT)WM_COMMAND, (UINT)WM_CLOSE, (UINT)WM_PAINT, (UINT)WM_DESTROY })
        EXPECT_EQ(ProgressDlgProc(NULL, msg, IDCANCEL, 0), FALSE) << msg;
}

/* ---- The spooler service -------------------------------------------------- */

static DWORD SpoolerState()
{
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hManager ? OpenServiceW(hManager, L"spooler", SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status;
    DWORD state = 0;

    if (hService && QueryServiceStatus(hService, &status))
        state = status.dwCurrentState;
    if (hService)
        CloseServiceHandle(hService);
    if (hManager)
        CloseServiceHandle(hManager);
    return state;
}

/* Starts the spooler from outside the code under test and waits until it
 * runs. */
static bool StartSpoolerAndWait()
{
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hManager ? OpenServiceW(hManager, L"spooler", SERVICE_START) : NULL;
    bool started = hService && StartServiceW(hService, 0, NULL);
    if (hService)
        CloseServiceHandle(hService);
    if (hManager)
        CloseServiceHandle(hManager);
    return started && WaitFor([] { return SpoolerState() == SERVICE_RUNNING; });
}

TEST(SpoolerService, StartWhenStopped)
{
    ASSERT_EQ(SpoolerState(), (DWORD)SERVICE_STOPPED);
    SetLastError(0xdeadbeef);
    EXPECT_NE(StartSpoolerService(), 0);
    EXPECT_TRUE(WaitFor([] { return SpoolerState() == SERVICE_RUNNING; })) << SpoolerState();
}

TEST(SpoolerService, StartWhenRunningFailsAndLeavesTheReason)
{
    ASSERT_TRUE(StartSpoolerAndWait());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(StartSpoolerService(), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(SpoolerState(), (DWORD)SERVICE_RUNNING);
}

TEST(SpoolerService, StopWhenRunningReturnsOnceItStopped)
{
    ASSERT_TRUE(StartSpoolerAndWait());
    SetLastError(0xdeadbeef);
    EXPECT_NE(StopSpoolerService(), 0);
    /* Read at once: the call has waited for the stop. */
    EXPECT_EQ(SpoolerState(), (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(SpoolerService, StopWhenStoppedIsRefusedWithTheErrorCleared)
{
    ASSERT_EQ(SpoolerState(), (DWORD)SERVICE_STOPPED);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(StopSpoolerService(), 0);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(SpoolerState(), (DWORD)SERVICE_STOPPED);
}
