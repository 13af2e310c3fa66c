/*
 * The dialog helper reads what a message box says and presses the button
 * a test chose, in another process of the same prefix.
 */
#include <gtest/gtest.h>
#include "testsupport.h"

static DWORD RunMsgBoxes(const std::wstring &args)
{
    DWORD code = 0xdeadbeef;
    HANDLE h = Launch(L"\"" + BinPath(L"msgbox.exe") + L"\" " + args);
    EXPECT_TRUE(h != NULL);
    EXPECT_TRUE(WaitExit(h, KIV_TEST_DEADLINE_MS, &code)) << "message box was not answered";
    if (h)
        CloseHandle(h);
    return code;
}

TEST(DialogHelper, ReadsExactTextsAndPressesTheDefaultButton)
{
    DialogHelper helper;
    ASSERT_TRUE(helper.Start());
    /* MB_OK, a caption and a text with a double blank and a tab. */
    DWORD code = RunMsgBoxes(L"0 \"UNC folder Error\" \"Square 64 x  64 mm\tend\"");
    ASSERT_TRUE(helper.Finish());
    EXPECT_EQ(code, (DWORD)IDOK);

    std::vector<DialogRecord> r = helper.Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].caption, "UNC folder Error");
    EXPECT_EQ(r[0].text, "Square 64 x  64 mm\tend");
    ASSERT_EQ(r[0].buttons.size(), 1u);
    EXPECT_EQ(r[0].buttons[0].first, IDOK);
    EXPECT_EQ(r[0].defaultId, IDOK);
    EXPECT_EQ(r[0].pressed, IDOK);
}

TEST(DialogHelper, PressesTheChosenButtonsInTurn)
{
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("7", 2));
    /* MB_YESNO (4) twice: No for the first, the default (Yes) for the second. */
    DWORD code = RunMsgBoxes(L"4 First \"Install?\" 4 Second \"Again?\"");
    ASSERT_TRUE(helper.Finish());
    EXPECT_EQ(code & 0xF, (DWORD)IDNO);
    EXPECT_EQ(code >> 4, (DWORD)IDYES);

    std::vector<DialogRecord> r = helper.Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].caption, "First");
    EXPECT_EQ(r[0].text, "Install?");
    ASSERT_EQ(r[0].buttons.size(), 2u);
    EXPECT_EQ(r[0].buttons[0].first, IDYES);
    EXPECT_EQ(r[0].buttons[1].first, IDNO);
    EXPECT_EQ(r[0].pressed, IDNO);
    EXPECT_EQ(r[1].caption, "Second");
    EXPECT_EQ(r[1].pressed, IDYES);
}

TEST(DialogHelper, GivesUpWhenNoDialogComes)
{
    DialogHelper helper;
    ASSERT_TRUE(helper.Start("", 1, 300));
    EXPECT_FALSE(helper.Finish());
    EXPECT_TRUE(helper.Records().empty());
}
