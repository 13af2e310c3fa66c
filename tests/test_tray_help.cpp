/*
 * The help file kivhlp.chm as its readers get it: opened through the
 * system's reader of compiled help files (the InfoTech storage of
 * itss.dll, which the help viewer uses), page by page.  The setup
 * messages it explains are checked against setup's own table of texts,
 * so the help quotes exactly what users see.
 */
#include <gtest/gtest.h>
#include <objbase.h>
#include <string.h>

#include "setupsteps.h"
#include "traytest.h"

/* The InfoTech storage system: opens a compiled help file as a storage
 * whose streams are its pages.  Not in mingw-w64's headers. */
static const CLSID kClsidITStorage = { 0x5d02926a, 0x212e, 0x11d0, { 0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec } };
static const IID kIidITStorage = { 0x88cc31de, 0x27ab, 0x11d0, { 0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec } };

struct IITStorage : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE StgCreateDocfile(const WCHAR *, DWORD, DWORD, IStorage **) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgCreateDocfileOnILockBytes(ILockBytes *, DWORD, DWORD, IStorage **) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgIsStorageFile(const WCHAR *) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgIsStorageILockBytes(ILockBytes *) = 0;
    virtual HRESULT STDMETHODCALLTYPE StgOpenStorage(const WCHAR *, IStorage *, DWORD, SNB, DWORD, IStorage **) = 0;
};

class TrayHelpFile : public ::testing::Test {
protected:
    IStorage *pStorage = NULL;
    bool comInitialized = false;

    void SetUp() override
    {
        comInitialized = SUCCEEDED(CoInitialize(NULL));
        IITStorage *pIts = NULL;
        ASSERT_EQ(CoCreateInstance(kClsidITStorage, NULL, CLSCTX_INPROC_SERVER, kIidITStorage, (void **)&pIts), S_OK)
            << "no reader of compiled help files";
        std::wstring path = BinPath(L"kivhlp.chm");
        HRESULT hr = pIts->StgOpenStorage(path.c_str(), NULL, STGM_READ | STGM_SHARE_DENY_WRITE, NULL, 0, &pStorage);
        pIts->Release();
        ASSERT_EQ(hr, S_OK) << "kivhlp.chm does not open as a compiled help file";
    }

    void TearDown() override
    {
        if (pStorage)
            pStorage->Release();
        if (comInitialized)
            CoUninitialize();
    }

    /* A page's bytes, or "" when the file has no such page. */
    std::string Page(const wchar_t *pszName)
    {
        IStream *pStream = NULL;
        std::string data;
        if (pStorage->OpenStream(pszName, NULL, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &pStream) != S_OK)
            return data;
        char buffer[4096];
        ULONG got = 0;
        while (pStream->Read(buffer, sizeof(buffer), &got) == S_OK && got)
            data.append(buffer, got);
        pStream->Release();
        return data;
    }
};

static void ReplaceAll(std::string *pText, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = pText->find(from, at)) != std::string::npos; at += to.size())
        pText->replace(at, from.size(), to);
}

/* Text of a piece of HTML: a placeholder <var>...</var> becomes %s, other
 * tags go, entities are decoded.  Blanks stay as they are. */
static std::string HtmlText(std::string html)
{
    std::string out;
    for (size_t i = 0; i < html.size();) {
        if (html.compare(i, 5, "<var>") == 0) {
            size_t end = html.find("</var>", i);
            out += "%s";
            i = end == std::string::npos ? html.size() : end + 6;
        } else if (html[i] == '<') {
            size_t end = html.find('>', i);
            i = end == std::string::npos ? html.size() : end + 1;
        } else {
            out += html[i++];
        }
    }
    ReplaceAll(&out, "&nbsp;", " ");
    ReplaceAll(&out, "&lt;", "<");
    ReplaceAll(&out, "&gt;", ">");
    ReplaceAll(&out, "&quot;", "\"");
    ReplaceAll(&out, "&amp;", "&");
    return out;
}

/* Prose as a reader sees it: runs of blanks and line breaks are one blank. */
static std::string ProseText(const std::string &html)
{
    std::string text = HtmlText(html), out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (blank && (out.empty() || out.back() == ' '))
            continue;
        out += blank ? ' ' : c;
    }
    return out;
}

struct QuotedMessage {
    std::string text, caption;
};

/* Every <pre class="msg"> block of a page, with the caption named right
 * after it as "(caption <i>...</i>)". */
static std::vector<QuotedMessage> QuotedMessages(const std::string &html)
{
    std::vector<QuotedMessage> found;
    const std::string open = "<pre class=\"msg\">", close = "</pre>";
    for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at)) {
        size_t start = at + open.size();
        size_t end = html.find(close, start);
        if (end == std::string::npos)
            break;
        QuotedMessage m;
        m.text = HtmlText(html.substr(start, end - start));
        size_t cap = html.find("(caption <i>", end);
        size_t next = html.find(open, end);
        if (cap != std::string::npos && (next == std::string::npos || cap < next)) {
            size_t capEnd = html.find("</i>", cap);
            m.caption = html.substr(cap + 12, capEnd - cap - 12);
        }
        found.push_back(m);
        at = end;
    }
    return found;
}

TEST_F(TrayHelpFile, QuotesEverySetupMessageExactlyWithItsCaption)
{
    std::string page = Page(L"trouble.htm");
    ASSERT_FALSE(page.empty()) << "no troubleshooting page";
    std::vector<QuotedMessage> quoted = QuotedMessages(page);
    for (int id = 0; id < KIV_MSG_COUNT; id++) {
        std::string text = Narrow(g_aSetupMessages[id].pszText);
        std::string caption = Narrow(g_aSetupMessages[id].pszCaption);
        bool found = false;
        for (const QuotedMessage &q : quoted)
            if (q.text == text) {
                found = true;
                EXPECT_EQ(q.caption, caption) << text;
            }
        EXPECT_TRUE(found) << "not quoted exactly: \"" << text << "\"";
    }
}

TEST_F(TrayHelpFile, ExplainsInstallingTheTrayTheSettingsAndTheAgent)
{
    std::string index = ProseText(Page(L"index.htm"));
    EXPECT_NE(index.find("Kiv Image Printer"), std::string::npos) << "no start page";

    std::string install = ProseText(Page(L"install.htm"));
    for (const char *pszWord : { "kivsetup.exe", "qprinter.ini", "first=0", "final=1", "status=1",
                                 "kivsetup.exe /quiet /package", ".msi" })
        EXPECT_NE(install.find(pszWord), std::string::npos) << "install page lacks " << pszWord;

    std::string tray = ProseText(Page(L"tray.htm"));
    for (const char *pszWord : { "Double-click", "Help", "Home page", "Exit", "Autolaunch whenever Windows starts up",
                                 "Want to automatically run this Kiv Image Printer configuration utility "
                                 "whenever Windows starts up?",
                                 "Changing the default settings of the Kiv Image Printer needs administrator rights. "
                                 "Ask an administrator, or exit the tray utility and start it again as administrator.",
                                 "kivhlp.chm", "kivres.dll" })
        EXPECT_NE(tray.find(pszWord), std::string::npos) << "tray page lacks " << pszWord;

    std::string settings = ProseText(Page(L"settings.htm"));
    for (const char *pszWord : { "KivImagePrinter30", "kivusrid.bin", "kivusr1.bin", "kivusr5.bin", "system folder" })
        EXPECT_NE(settings.find(pszWord), std::string::npos) << "settings page lacks " << pszWord;

    std::string agent = ProseText(Page(L"agent.htm"));
    for (const char *pszWord : { "kivprt.exe", "\\\\server\\share",
                                 "Please use Kiv Image Printer property sheet to specify/respecify UNC folder first" })
        EXPECT_NE(agent.find(pszWord), std::string::npos) << "agent page lacks " << pszWord;
}
