/*
 * The settings record: its defaults, its repair and the FileFormat
 * helpers.  Expected images are built from the byte offsets of the record
 * layout, independently of the structure declaration.
 */
#include <gtest/gtest.h>
#include <math.h>
#include <string>

#include "test_common_util.h"
#include "kivcfg.h"

extern "C" int KivCommonHeadersFromC(void);
extern "C" int KivCommonHeadersFromCxx98(void);

namespace {

typedef std::string Image;

void PutU8(Image &img, size_t off, unsigned v) { img[off] = (char)v; }

void PutU32(Image &img, size_t off, DWORD v)
{
    memcpy(&img[off], &v, 4);
}

void PutF32(Image &img, size_t off, float v)
{
    memcpy(&img[off], &v, 4);
}

void PutText(Image &img, size_t off, const wchar_t *text)
{
    memcpy(&img[off], text, (wcslen(text) + 1) * sizeof(wchar_t));
}

DWORD FloatBits(float f)
{
    DWORD bits;
    memcpy(&bits, &f, 4);
    return bits;
}

/* The image SetDefaultCfgData must leave, given the bytes before. */
Image ExpectedDefaults(const Image &before, const void *pRecord)
{
    Image img = before;
    memset(&img[1558], 0, 401);
    memset(&img[32], 0, 403);
    const KIVPRINTERCFG &cfg = *(const KIVPRINTERCFG *)pRecord;
    PutU32(img, 24, ExpectedSlot(cfg, cfg.szInitialPath));
    PutU32(img, 28, ExpectedSlot(cfg, cfg.szFileName));
    PutU32(img, 0, 0);
    PutU32(img, 4, 0);
    PutU8(img, 8, 60);
    PutU8(img, 9, 0);
    PutU32(img, 12, 5);
    PutU8(img, 16, 0);
    PutU8(img, 17, 1);
    PutU8(img, 18, 1);
    PutU8(img, 19, 1);
    PutU8(img, 20, 75);
    PutU8(img, 21, 0);
    PutText(img, 32, L"temp");
    PutText(img, 1558, L"c:\\");
    PutU32(img, 848, 4);
    PutU32(img, 844, 0);
    for (size_t off = 852; off < 880; off += 4)
        PutU32(img, off, 0);
    PutF32(img, 880, 1.0f);
    PutF32(img, 884, 1.0f);
    for (size_t off = 888; off < 908; off += 4)
        PutU32(img, off, 0);
    PutU8(img, 908, 0);
    PutU32(img, 912, 1);
    PutU8(img, 916, 0);
    PutU32(img, 920, 1);
    PutU8(img, 924, 0);
    PutU32(img, 2368, 0);
    PutText(img, 2372, L"");
    PutText(img, 2572, L"");
    PutU32(img, 928, 1);
    PutU32(img, 932, 1);
    PutText(img, 936, L"");
    PutText(img, 1336, L" $f ");
    PutU32(img, 1536, 0);
    PutU32(img, 1540, 0);
    PutU8(img, 1544, 1);
    PutU8(img, 1545, 0);
    PutU32(img, 1548, 0);
    PutU32(img, 1552, 0);
    return img;
}

void ExpectSameImage(const Image &expected, const KIVPRINTERCFG &cfg, const char *what)
{
    Image got = RecordBytes(cfg);
    int diff = FirstDifference(expected.data(), got.data(), KIV_CFG_SIZE);
    EXPECT_EQ(diff, -1) << what << ": first difference at offset " << diff << " (expected 0x"
                        << std::hex << (diff >= 0 ? (unsigned)(unsigned char)expected[diff] : 0u)
                        << ", got 0x" << (diff >= 0 ? (unsigned)(unsigned char)got[diff] : 0u) << ")";
}

/* The image of a record as the repair leaves one it has nothing to do
 * for: its pointer slots at its own texts. */
Image Unchanged(const KIVPRINTERCFG &cfg)
{
    Image img = RecordBytes(cfg);
    PutU32(img, 24, ExpectedSlot(cfg, cfg.szInitialPath));
    PutU32(img, 28, ExpectedSlot(cfg, cfg.szFileName));
    return img;
}

/* A record with every field in range, over a background pattern, so that
 * the repair has nothing to change; its output folder exists. */
KIVPRINTERCFG InRangeRecord()
{
    KIVPRINTERCFG cfg = DefaultRecord(0xA5);
    wcscpy(cfg.szInitialPath, L"C:\\windows");
    return cfg;
}

std::wstring OwnPath()
{
    wchar_t sz[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, sz, MAX_PATH);
    return std::wstring(sz, n);
}

}  // namespace

/* ---- Defaults --------------------------------------------------------- */

TEST(Defaults, EveryFieldOfTheTableAndNothingElse)
{
    const unsigned char patterns[] = {0xA5, 0x5A, 0x00, 0xFF};
    for (unsigned char pattern : patterns) {
        KIVPRINTERCFG cfg;
        memset(&cfg, pattern, sizeof(cfg));
        Image before = RecordBytes(cfg);

        EXPECT_EQ(SetDefaultCfgData(&cfg), &cfg);
        ExpectSameImage(ExpectedDefaults(before, &cfg), cfg, "defaults");

        /* The named fields, as a driver component reads them. */
        EXPECT_TRUE(SlotsSet(cfg));
        EXPECT_STREQ(cfg.szFileName, L"temp");
        EXPECT_STREQ(cfg.szInitialPath, L"c:\\");
        EXPECT_STREQ(cfg.szRunAppParams, L" $f ");
        EXPECT_EQ(cfg.FileFormat, 5u);
        EXPECT_EQ(cfg.bUserId, 1);

        /* Bytes the defaults leave alone: gaps, 1556, the area tails. */
        const size_t untouched[] = {10, 11, 22, 23, 435, 843, 909, 911, 917, 919, 925, 927,
                                    938, 1346, 1546, 1547, 1556, 1557, 1959, 2367, 2374, 2574};
        for (size_t off : untouched)
            EXPECT_EQ((unsigned char)before[off], ((unsigned char *)&cfg)[off]) << "offset " << off;
        /* The clears are 403 and 401 bytes: the odd last byte is cleared. */
        EXPECT_EQ(((unsigned char *)&cfg)[32 + 402], 0);
        EXPECT_EQ(((unsigned char *)&cfg)[1558 + 400], 0);
    }
}

/* ---- Repair ----------------------------------------------------------- */

TEST(Repair, AllZeroRecord)
{
    KIVPRINTERCFG cfg;
    memset(&cfg, 0, sizeof(cfg));
    CheckValidityDevOpt(&cfg);

    Image expected(KIV_CFG_SIZE, '\0');
    PutU32(expected, 24, ExpectedSlot(cfg, cfg.szInitialPath));
    PutU32(expected, 28, ExpectedSlot(cfg, cfg.szFileName));
    PutText(expected, 1558, L"c:\\");
    PutText(expected, 32, L"temp");
    PutU32(expected, 848, 3);
    PutF32(expected, 880, 1.0f);
    PutF32(expected, 884, 1.0f);
    PutU8(expected, 1544, 1);
    ExpectSameImage(expected, cfg, "all-zero record");

    EXPECT_EQ(cfg.FileFormat, 0u);        /* valid, unchanged */
    EXPECT_EQ(cfg.QFactor, 0);            /* in range, unchanged */
    EXPECT_EQ(cfg.bRunApp, 0u);           /* off, unchanged */
    EXPECT_EQ(cfg.dwNumofDigits, 3u);
}

TEST(Repair, FormatCodesAndTheirOptions)
{
    /* The format step comes after the option checks: variant 1, not 2. */
    KIVPRINTERCFG cfg = InRangeRecord();
    cfg.FileFormat = 10;
    cfg.bFormatVariant = 7;
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(cfg.FileFormat, 5u);
    EXPECT_EQ(cfg.bFormatOption, 1);
    EXPECT_EQ(cfg.bFormatVariant, 1);

    /* A valid code keeps its format; bad options get their own values. */
    cfg = InRangeRecord();
    cfg.FileFormat = 7;
    cfg.bFormatOption = 3;
    cfg.bFormatVariant = 6;
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(cfg.FileFormat, 7u);
    EXPECT_EQ(cfg.bFormatOption, 1);
    EXPECT_EQ(cfg.bFormatVariant, 2);

    /* Every invalid code, large ones included, becomes 5 / 1 / 1. */
    const DWORD invalid[] = {10, 127, 132, 255, 256, 0x80000000u, 0xFFFFFFFFu};
    for (DWORD code : invalid) {
        cfg = InRangeRecord();
        cfg.FileFormat = code;
        cfg.bFormatOption = 2;
        cfg.bFormatVariant = 4;
        CheckValidityDevOpt(&cfg);
        EXPECT_EQ(cfg.FileFormat, 5u) << code;
        EXPECT_EQ(cfg.bFormatOption, 1) << code;
        EXPECT_EQ(cfg.bFormatVariant, 1) << code;
    }

    /* 128 survives a repair but not mode 1; 9 and 5 survive mode 1 with
     * their options; other modes change nothing. */
    cfg = InRangeRecord();
    cfg.FileFormat = 128;
    cfg.bFormatOption = 2;
    cfg.bFormatVariant = 4;
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(cfg.FileFormat, 128u);
    Image beforeModes = RecordBytes(cfg);
    ValidateFileFormat(0, &cfg);
    ValidateFileFormat(2, &cfg);
    ValidateFileFormat(-1, &cfg);
    ExpectSameImage(beforeModes, cfg, "modes other than 1");
    ValidateFileFormat(1, &cfg);
    EXPECT_EQ(cfg.FileFormat, 5u);
    EXPECT_EQ(cfg.bFormatOption, 1);
    EXPECT_EQ(cfg.bFormatVariant, 1);

    const DWORD kept[] = {5, 9};
    for (DWORD code : kept) {
        cfg = InRangeRecord();
        cfg.FileFormat = code;
        cfg.bFormatOption = 2;
        cfg.bFormatVariant = 4;
        ValidateFileFormat(1, &cfg);
        EXPECT_EQ(cfg.FileFormat, code);
        EXPECT_EQ(cfg.bFormatOption, 2);
        EXPECT_EQ(cfg.bFormatVariant, 4);
    }
    const DWORD replaced[] = {0, 4, 8, 129, 130, 131, 200};
    for (DWORD code : replaced) {
        cfg = InRangeRecord();
        cfg.FileFormat = code;
        ValidateFileFormat(1, &cfg);
        EXPECT_EQ(cfg.FileFormat, 5u) << code;
    }
}

TEST(Repair, ScalarBoundsAreUnsigned)
{
    struct ByteCase {
        size_t off;
        unsigned in, out;
    };
    const ByteCase bytes[] = {
        {8, 100, 100},  {8, 101, 60},  {8, 0x80, 60},  {8, 0xFF, 60},     /* level */
        {9, 2, 2},      {9, 3, 0},     {9, 0xFF, 0},                       /* selector 9 */
        {17, 2, 2},     {17, 3, 1},    {17, 0x80, 1},                      /* bFormatOption */
        {18, 5, 5},     {18, 6, 2},    {18, 0xFF, 2},                      /* bFormatVariant */
        {19, 2, 2},     {19, 3, 1},    {19, 0xFF, 1},                      /* selector 19 */
        {20, 100, 100}, {20, 101, 75}, {20, 0x80, 75}, {20, 0xFF, 75},     /* QFactor */
        {21, 2, 2},     {21, 3, 0},    {21, 0xFF, 0},                      /* bCompression */
        {908, 2, 2},    {908, 3, 2},   {908, 0xFF, 2},                     /* selector 908 */
        {1545, 1, 1},   {1545, 2, 0},  {1545, 0xFF, 0},                    /* bHidePrintCfgDialog */
        {1544, 0, 1},   {1544, 5, 5},  {1544, 6, 1},   {1544, 0xFF, 1},    /* bUserId */
    };
    for (const ByteCase &c : bytes) {
        KIVPRINTERCFG cfg = InRangeRecord();
        ((unsigned char *)&cfg)[c.off] = (unsigned char)c.in;
        Image expected = Unchanged(cfg);
        PutU8(expected, c.off, c.out);
        CheckValidityDevOpt(&cfg);
        ExpectSameImage(expected, cfg, ("byte " + std::to_string(c.off) + " = " + std::to_string(c.in)).c_str());
    }

    struct WordCase {
        size_t off;
        DWORD in, out;
    };
    const WordCase words[] = {
        {844, 99990, 99990}, {844, 99991, 99990}, {844, 100000, 99990},
        {844, 0x80000000u, 99990}, {844, 0xFFFFFFFFu, 99990},            /* dwCounter */
        {848, 0, 3}, {848, 2, 3}, {848, 3, 3}, {848, 5, 5}, {848, 6, 5},
        {848, 9, 5}, {848, 0x80000000u, 5}, {848, 0xFFFFFFFFu, 5},        /* dwNumofDigits */
    };
    for (const WordCase &c : words) {
        KIVPRINTERCFG cfg = InRangeRecord();
        memcpy((char *)&cfg + c.off, &c.in, 4);
        Image expected = Unchanged(cfg);
        PutU32(expected, c.off, c.out);
        CheckValidityDevOpt(&cfg);
        ExpectSameImage(expected, cfg, ("word " + std::to_string(c.off) + " = " + std::to_string(c.in)).c_str());
    }

    /* Factors, by bit pattern: in-range values are not even rewritten. */
    struct FactorCase {
        DWORD in, out;
    };
    const FactorCase factors[] = {
        {FloatBits(0.5f), FloatBits(1.0f)},   {FloatBits(3.5f), FloatBits(3.0f)},
        {FloatBits(2.25f), FloatBits(2.25f)}, {FloatBits(1.0f), FloatBits(1.0f)},
        {FloatBits(3.0f), FloatBits(3.0f)},   {FloatBits(-0.0f), FloatBits(1.0f)},
        {FloatBits(-2.0f), FloatBits(1.0f)},  {FloatBits(INFINITY), FloatBits(3.0f)},
        {FloatBits(-INFINITY), FloatBits(1.0f)},
        {0x7FC00000u, FloatBits(1.0f)},        /* quiet NaN */
        {0x7F800001u, FloatBits(1.0f)},        /* signalling NaN */
        {0xFFFFFFFFu, FloatBits(1.0f)},        /* NaN, all bits set */
        {0x00000001u, FloatBits(1.0f)},        /* smallest denormal */
    };
    for (const FactorCase &c : factors) {
        for (size_t off : {(size_t)880, (size_t)884}) {
            KIVPRINTERCFG cfg = InRangeRecord();
            memcpy((char *)&cfg + off, &c.in, 4);
            Image expected = Unchanged(cfg);
            PutU32(expected, off, c.out);
            CheckValidityDevOpt(&cfg);
            ExpectSameImage(expected, cfg, ("factor at " + std::to_string(off) + " bits " + std::to_string(c.in)).c_str());
            EXPECT_GE(((float *)((char *)&cfg + off))[0], 1.0f);
        }
    }

    /* Every byte 0xFF: every bound taken as unsigned. */
    KIVPRINTERCFG cfg;
    memset(&cfg, 0xFF, sizeof(cfg));
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(cfg.bLevel, 60);
    EXPECT_EQ(cfg.bSelect9, 0);
    EXPECT_EQ(cfg.FileFormat, 5u);
    EXPECT_EQ(cfg.bFormatOption, 1);
    EXPECT_EQ(cfg.bFormatVariant, 1);
    EXPECT_EQ(cfg.bSelect19, 1);
    EXPECT_EQ(cfg.QFactor, 75);
    EXPECT_EQ(cfg.bCompression, 0);
    EXPECT_EQ(cfg.dwCounter, 99990u);
    EXPECT_EQ(cfg.dwNumofDigits, 5u);
    EXPECT_EQ(cfg.fFactor1, 1.0f);
    EXPECT_EQ(cfg.fFactor2, 1.0f);
    EXPECT_EQ(cfg.bSelect908, 2);
    EXPECT_EQ(cfg.bHidePrintCfgDialog, 0);
    EXPECT_EQ(cfg.bUserId, 1);
    EXPECT_EQ(cfg.bRunApp, 0xFFFFFFFFu);   /* bNoAppCheck is on: no program check */
    EXPECT_EQ(cfg.dwValue0, 0xFFFFFFFFu);  /* defaults-only fields are never repaired */
    EXPECT_EQ(cfg.dwValue912, 0xFFFFFFFFu);
}

TEST(Repair, ProgramCheck)
{
    const std::wstring self = OwnPath();
    ASSERT_GT(self.size(), 5u);
    ASSERT_LT(self.size(), (size_t)KIV_RUNAPPNAME_UNITS);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\ab", NULL));     /* exists, 5 characters */
    ASSERT_TRUE(WriteWholeFile(L"C:\\abc", "x"));        /* exists, 6 characters */

    /* Check skipped while bNoAppCheck is on: an empty program stays on. */
    KIVPRINTERCFG cfg = InRangeRecord();
    ASSERT_EQ(cfg.bRunApp, 1u);
    ASSERT_EQ(cfg.bNoAppCheck, 1u);
    cfg.szRunAppParams[0] = 0;
    Image before = Unchanged(cfg);
    CheckValidityDevOpt(&cfg);
    ExpectSameImage(before, cfg, "check skipped");
    EXPECT_EQ(cfg.bRunApp, 1u);

    /* Any nonzero value is on, any zero off. */
    cfg = InRangeRecord();
    cfg.bNoAppCheck = 0x80000000u;
    cfg.szRunAppName[0] = 0;
    CheckValidityDevOpt(&cfg);
    EXPECT_EQ(cfg.bRunApp, 1u);

    struct Case {
        const wchar_t *name;
        const wchar_t *params;
        DWORD runAfter;
        const wchar_t *paramsAfter;
    };
    const Case cases[] = {
        {L"C:\\ab", L"-v", 0, L"-v"},                    /* 5 characters, though it exists */
        {L"", L"-v", 0, L"-v"},
        {L"C:\\nothere\\app.exe", L"-v", 0, L"-v"},      /* cannot be reached */
        {L"C:\\abc", L"-v", 1, L"-v $f "},               /* 6 characters, exists */
        {self.c_str(), L"-v", 1, L"-v $f "},
        {self.c_str(), L"", 1, L" $f "},
        {self.c_str(), L"$f", 1, L"$f"},
        {self.c_str(), L"-o=x$fy", 1, L"-o=x$fy"},       /* inside a word still counts */
        {self.c_str(), L"-o $F", 1, L"-o $F $f "},       /* the placeholder is lower case */
    };
    for (const Case &c : cases) {
        cfg = InRangeRecord();
        cfg.bRunApp = 1;
        cfg.bNoAppCheck = 0;
        wcscpy(cfg.szRunAppName, c.name);
        wcscpy(cfg.szRunAppParams, c.params);
        CheckValidityDevOpt(&cfg);
        EXPECT_EQ(cfg.bRunApp, c.runAfter) << c.name << " / " << c.params;
        EXPECT_STREQ(cfg.szRunAppParams, c.paramsAfter) << c.name;
        EXPECT_STREQ(cfg.szRunAppName, c.name);
    }

    /* bRunApp off: nothing is checked or completed. */
    cfg = InRangeRecord();
    cfg.bRunApp = 0;
    cfg.bNoAppCheck = 0;
    wcscpy(cfg.szRunAppName, self.c_str());
    wcscpy(cfg.szRunAppParams, L"-v");
    before = Unchanged(cfg);
    CheckValidityDevOpt(&cfg);
    ExpectSameImage(before, cfg, "bRunApp off");

    /* The 100-unit parameter area: 95 characters take " $f " exactly
     * (99 and the terminator); 96 leave no room, so the program is not
     * run and the user's parameters stay as they were. */
    for (size_t len : {(size_t)95, (size_t)96, (size_t)99}) {
        cfg = InRangeRecord();
        cfg.bRunApp = 1;
        cfg.bNoAppCheck = 0;
        wcscpy(cfg.szRunAppName, self.c_str());
        std::wstring params(len, L'p');
        wcscpy(cfg.szRunAppParams, params.c_str());
        Image img = RecordBytes(cfg);
        CheckValidityDevOpt(&cfg);
        if (len == 95) {
            EXPECT_EQ(cfg.bRunApp, 1u);
            EXPECT_EQ(std::wstring(cfg.szRunAppParams), params + L" $f ");
        } else {
            EXPECT_EQ(cfg.bRunApp, 0u) << len;
            EXPECT_EQ(std::wstring(cfg.szRunAppParams), params) << len;
        }
        /* Nothing past the parameter area was touched. */
        EXPECT_EQ(memcmp((char *)&cfg + 1536, &img[1536], KIV_CFG_SIZE - 1536), 0) << len;
    }
}

TEST(Repair, TextsWithoutTerminatorAreEndedInTheirArea)
{
    struct Area {
        size_t off, units;
    };
    const Area areas[] = {{32, 406}, {936, 200}, {1336, 100}, {1558, 405}, {2372, 100}, {2572, 20}};

    KIVPRINTERCFG cfg = InRangeRecord();
    cfg.bNoAppCheck = 0;   /* the program check reads name and parameters */
    for (const Area &a : areas) {
        WCHAR *p = (WCHAR *)((char *)&cfg + a.off);
        for (size_t i = 0; i < a.units; i++)
            p[i] = L'A';
    }
    Image before = RecordBytes(cfg);
    CheckValidityDevOpt(&cfg);
    Image after = RecordBytes(cfg);

    for (const Area &a : areas) {
        const WCHAR *p = (const WCHAR *)(after.data() + a.off);
        EXPECT_EQ(p[a.units - 1], 0) << "area at " << a.off;
    }
    /* Texts that were only terminated keep every other unit. */
    for (size_t off : {(size_t)32, (size_t)2372, (size_t)2572}) {
        size_t units = off == 32 ? 406 : off == 2372 ? 100 : 20;
        EXPECT_EQ(memcmp(after.data() + off, before.data() + off, (units - 1) * 2), 0) << off;
    }
    /* "AAA..." is no folder: "c:\" is written, the rest of the area stays. */
    EXPECT_STREQ(cfg.szInitialPath, L"c:\\");
    EXPECT_EQ(memcmp(after.data() + 1558 + 8, before.data() + 1558 + 8, 404 * 2 - 8), 0);
    /* The program "AAA..." (199 characters) cannot be reached: off. */
    EXPECT_EQ(cfg.bRunApp, 0u);
    EXPECT_EQ(wcslen(cfg.szRunAppParams), 99u);

    /* A text whose terminator is its area's last unit is well-formed. */
    cfg = InRangeRecord();
    for (size_t i = 0; i < 405; i++)
        cfg.szFileName[i] = L'n';
    cfg.szFileName[405] = 0;
    for (size_t i = 0; i < 19; i++)
        cfg.szText2572[i] = L't';
    cfg.szText2572[19] = 0;
    before = Unchanged(cfg);
    CheckValidityDevOpt(&cfg);
    ExpectSameImage(before, cfg, "terminators at the last units");
}

TEST(Repair, InRangeRecordKeptByteForByteAndPointerSlotsSetAgain)
{
    /* Everything at its bounds, random bytes in every place the repair has
     * no rule for: nothing may change but the pointer slots. */
    srand(7);
    for (int round = 0; round < 50; round++) {
        KIVPRINTERCFG cfg;
        for (size_t i = 0; i < sizeof(cfg); i++)
            ((unsigned char *)&cfg)[i] = (unsigned char)rand();
        cfg.bLevel = (BYTE)(round % 2 ? 100 : 0);
        cfg.bSelect9 = (BYTE)(round % 3);
        cfg.FileFormat = round % 2 ? 131 : 9;
        cfg.bFormatOption = (BYTE)(round % 3);
        cfg.bFormatVariant = (BYTE)(round % 6);
        cfg.bSelect19 = 2;
        cfg.QFactor = 100;
        cfg.bCompression = 2;
        wcscpy(cfg.szFileName, L"page");
        cfg.dwCounter = round % 2 ? 99990 : 0;
        cfg.dwNumofDigits = 3 + round % 3;
        cfg.fFactor1 = 1.0f;
        cfg.fFactor2 = round % 2 ? 3.0f : 1.5f;
        cfg.bSelect908 = 2;
        cfg.bHidePrintCfgDialog = (BYTE)(round % 2);
        cfg.bUserId = (BYTE)(1 + round % 5);
        cfg.bRunApp = (DWORD)rand() | 1;
        cfg.bNoAppCheck = 0;
        wcscpy(cfg.szRunAppName, L"C:\\windows\\system32\\notepad.exe");
        wcscpy(cfg.szRunAppParams, L"/p \"$f\"");
        wcscpy(cfg.szInitialPath, round % 2 ? L"C:\\windows\\" : L"c:\\");
        cfg.szText2372[round % 100] = 0;
        cfg.szText2572[round % 20] = 0;
        /* Garbage in the pointer slots, as a file holds them. */
        cfg.pszInitialPath = GARBAGE_SLOT(0xDEADBEEF);
        cfg.pszFileName = GARBAGE_SLOT(round % 2 ? 0 : 1);

        Image expected = RecordBytes(cfg);
        PutU32(expected, 24, ExpectedSlot(cfg, cfg.szInitialPath));
        PutU32(expected, 28, ExpectedSlot(cfg, cfg.szFileName));
        CheckValidityDevOpt(&cfg);
        ExpectSameImage(expected, cfg, ("round " + std::to_string(round)).c_str());
        /* The slots are set again, and the texts are reached. */
        EXPECT_TRUE(SlotsSet(cfg));
        EXPECT_STREQ(KivCfgFileName(&cfg), L"page");
        if (::testing::Test::HasFailure())
            break;
    }
}

TEST(Repair, OutputFolder)
{
    ASSERT_TRUE(CreateDirectoryW(L"C:\\out", NULL));
    struct Case {
        const wchar_t *in, *out;
    };
    const Case cases[] = {
        {L"C:\\out", L"C:\\out"},
        {L"C:\\out\\", L"C:\\out\\"},
        {L"C:\\missing", L"c:\\"},
        {L"", L"c:\\"},
        {L"C:\\windows\\win.ini", L"c:\\"},                    /* a file, not a folder */
        {L"\\\\kivtest\\share\\nothere", L"\\\\kivtest\\share\\nothere"},  /* network: never tested */
        {L"\\\\nohost\\x", L"\\\\nohost\\x"},
    };
    for (const Case &c : cases) {
        KIVPRINTERCFG cfg = InRangeRecord();
        wcscpy(cfg.szInitialPath, c.in);
        CheckValidityDevOpt(&cfg);
        EXPECT_STREQ(cfg.szInitialPath, c.out) << c.in;
    }
}

/* ---- FileFormat helpers ----------------------------------------------- */

TEST(Formats, ClassificationFollowsTheCodeTable)
{
    struct Row {
        DWORD code;
        int family;  /* -1: invalid */
        const wchar_t *colour;
    };
    const Row rows[] = {
        {0, 0, L"True color"},     {1, 0, L"Grayscale"},     {2, 2, L"True color"},
        {3, 2, L"Grayscale"},      {4, 2, L"256 color"},     {5, 2, L"Monochrome"},
        {6, 6, L"True color"},     {7, 6, L"Grayscale"},     {8, 6, L"256 color"},
        {9, 6, L"Monochrome"},     {128, 128, L"Monochrome"}, {129, 128, L"256 color"},
        {130, 128, L"True color"}, {131, 128, L"Grayscale"},
    };
    for (DWORD code = 0; code < 400; code++) {
        const Row *row = NULL;
        for (const Row &r : rows) {
            if (r.code == code)
                row = &r;
        }
        KIVPRINTERCFG cfg = DefaultRecord();
        cfg.FileFormat = code;
        std::wstring colour = row ? row->colour : L"unknown file format";
        int family = row ? row->family : -1;

        EXPECT_EQ(IsValidFileFormat(code), row != NULL) << code;
        EXPECT_EQ(std::wstring(GetColorTypeName(&cfg)), colour) << code;
        EXPECT_EQ(IsFamily0Format(&cfg), family == 0) << code;
        EXPECT_EQ(IsFamily0Grayscale(&cfg), code == 1) << code;
        EXPECT_EQ(IsFamily2Format(&cfg), family == 2) << code;
        EXPECT_EQ(IsFamily6Format(&cfg), family == 6) << code;
        EXPECT_EQ(Is256ColorFormat(&cfg), colour == L"256 color") << code;
        EXPECT_EQ(IsMonochromeFormat(&cfg), colour == L"Monochrome") << code;
        for (BYTE option = 0; option < 5; option++) {
            cfg.bFormatOption = option;
            EXPECT_EQ(IsFamily2WithFormatOption(&cfg), family == 2 && (option == 1 || option == 2))
                << code << "/" << (int)option;
        }
    }
    for (DWORD code : {0x100u, 0x101u, 0x80000000u, 0x80000005u, 0xFFFFFFFFu}) {
        KIVPRINTERCFG cfg = DefaultRecord();
        cfg.FileFormat = code;
        EXPECT_EQ(IsValidFileFormat(code), 0) << code;
        EXPECT_STREQ(GetColorTypeName(&cfg), L"unknown file format");
        EXPECT_EQ(IsMonochromeFormat(&cfg) | Is256ColorFormat(&cfg) | IsFamily2Format(&cfg), 0);
    }
}

/* ---- Public headers in C and in the compilers of the driver kits ------- */

TEST(Headers, CompileAndLinkInACTranslationUnit)
{
    /* test_common_c.c (C89) includes every public header and calls into
     * the library; it answers the record size and the default format. */
    EXPECT_EQ(KivCommonHeadersFromC(), KIV_CFG_SIZE * 10 + 5);
}

TEST(Headers, CompileAndLinkInACxx98TranslationUnit)
{
    EXPECT_EQ(KivCommonHeadersFromCxx98(), KIV_CFG_SIZE * 10 + 5);
}
