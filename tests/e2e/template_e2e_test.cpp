// The dialog templates as built into UPDATE.exe, read back from its resources: frame, font and
// every control (class, text, style, extended style, rectangle), in order.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "e2e/updater_setup.h"

namespace {

struct Control {
    int id;
    std::string className, text;
    DWORD style, exStyle;
    int x, y, cx, cy;
    bool operator==(const Control& o) const {
        return id == o.id && className == o.className && text == o.text && style == o.style &&
               exStyle == o.exStyle && x == o.x && y == o.y && cx == o.cx && cy == o.cy;
    }
};

struct Template {
    DWORD style = 0, exStyle = 0;
    int cx = 0, cy = 0;
    std::string menu, windowClass, title, font;
    int pointSize = 0, weight = -1, italic = -1, charset = -1;
    std::vector<Control> controls;
};

std::string Narrow(const WCHAR* w) {
    char out[512];
    const int n = WideCharToMultiByte(932, 0, w, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out, n - 1) : std::string("(bad text)");
}

// A name or ordinal: 0 none, 0xFFFF and an ordinal, else a string.
std::string NameOrOrdinal(const WORD*& p) {
    if (*p == 0) {
        ++p;
        return "";
    }
    if (*p == 0xFFFF) {
        static const char* const known[] = {"BUTTON",  "EDIT",      "STATIC",
                                            "LISTBOX", "SCROLLBAR", "COMBOBOX"};
        const WORD ordinal = p[1];
        p += 2;
        if (ordinal >= 0x80 && ordinal <= 0x85)
            return known[ordinal - 0x80];
        return "#" + std::to_string(ordinal);
    }
    std::string s = Narrow((const WCHAR*)p);
    while (*p)
        ++p;
    ++p;
    return s;
}

bool ReadTemplate(HMODULE module, int id, Template* t) {
    HRSRC found = FindResourceExA(module, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(id),
                                  MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (!found)
        return false;
    const BYTE* base = (const BYTE*)LockResource(LoadResource(module, found));
    const WORD* p = (const WORD*)base;
    if (!base || p[0] != 1 || p[1] != 0xFFFF)
        return false; // not an extended template
    const DWORD* d = (const DWORD*)(p + 2);
    t->exStyle = d[1];
    t->style = d[2];
    p = (const WORD*)(d + 3);
    const int count = p[0];
    t->cx = (short)p[3];
    t->cy = (short)p[4];
    p += 5;
    t->menu = NameOrOrdinal(p);
    t->windowClass = NameOrOrdinal(p);
    t->title = NameOrOrdinal(p);
    if (t->style & DS_SETFONT) {
        t->pointSize = p[0];
        t->weight = p[1];
        t->italic = ((const BYTE*)p)[4];
        t->charset = ((const BYTE*)p)[5];
        p += 3;
        t->font = NameOrOrdinal(p);
    }
    for (int i = 0; i < count; ++i) {
        p = (const WORD*)(base + (((const BYTE*)p - base + 3) & ~3));
        d = (const DWORD*)p;
        Control c;
        c.exStyle = d[1];
        c.style = d[2];
        const short* r = (const short*)(d + 3);
        c.x = r[0];
        c.y = r[1];
        c.cx = r[2];
        c.cy = r[3];
        c.id = (int)*(const DWORD*)(r + 4);
        p = (const WORD*)(r + 6);
        c.className = NameOrOrdinal(p);
        CharUpperA(&c.className[0]); // the resource compiler may keep either case
        c.text = NameOrOrdinal(p);
        const WORD extra = *p++;
        p = (const WORD*)((const BYTE*)p + extra);
        t->controls.push_back(c);
    }
    return true;
}

std::string Describe(const Control& c) {
    char line[256];
    wsprintfA(line, "%d %s [%s] style %08lX ex %08lX (%d,%d,%d,%d)", c.id, c.className.c_str(),
              c.text.c_str(), (unsigned long)c.style, (unsigned long)c.exStyle, c.x, c.y, c.cx,
              c.cy);
    return line;
}

const DWORD kChild = WS_CHILD | WS_VISIBLE;
const DWORD kNext = kChild | BS_DEFPUSHBUTTON | WS_TABSTOP;
const DWORD kPush = kChild | BS_PUSHBUTTON | WS_TABSTOP;
const DWORD kInfo = kChild | SS_LEFT | WS_GROUP;
const DWORD kLicence = kChild | ES_MULTILINE | WS_BORDER | WS_VSCROLL;
const DWORD kRadio = kChild | BS_RADIOBUTTON;
// The progress bar of the update run: hidden until the run shows it.
const DWORD kProgress = WS_CHILD | PBS_SMOOTH;

void ExpectTemplate(int id, int height, const std::vector<Control>& expected,
                    const Control& progress) {
    HMODULE module = LoadLibraryExA(BuiltUpdater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << BuiltUpdater;
    Template t;
    ASSERT_TRUE(ReadTemplate(module, id, &t)) << "template " << id;
    FreeLibrary(module);
    EXPECT_EQ((DWORD)(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER |
                      DS_SETFONT),
              t.style);
    EXPECT_EQ(0u, t.exStyle);
    EXPECT_EQ(364, t.cx);
    EXPECT_EQ(height, t.cy);
    EXPECT_EQ("", t.menu);
    EXPECT_EQ("", t.windowClass) << "the standard dialog class";
    EXPECT_EQ("UPDATE", t.title);
    EXPECT_EQ("ＭＳ Ｐゴシック", t.font);
    EXPECT_EQ(10, t.pointSize);
    EXPECT_EQ(0, t.weight);
    EXPECT_EQ(0, t.italic);
    EXPECT_EQ(0, t.charset);
    // The page's controls in their order; the progress bar may stand anywhere among them.
    std::vector<Control> pageControls;
    int progressBars = 0;
    for (const Control& c : t.controls) {
        if (c.id == progress.id) {
            ++progressBars;
            EXPECT_EQ(Describe(progress), Describe(c));
        } else {
            pageControls.push_back(c);
        }
    }
    EXPECT_EQ(1, progressBars) << "template " << id << " needs one progress bar";
    std::string want, got;
    for (const Control& c : expected)
        want += Describe(c) + "\n";
    for (const Control& c : pageControls)
        got += Describe(c) + "\n";
    EXPECT_EQ(want, got) << "template " << id;
}

TEST(DialogTemplates, WithoutLicence) {
    ExpectTemplate(100, 93,
                   {{1, "BUTTON", "次へ", kNext, 0, 261, 72, 44, 14},
                    {2, "BUTTON", "中止", kPush, 0, 313, 72, 44, 14},
                    {4, "BUTTON", "戻る", kPush, 0, 217, 72, 44, 14},
                    {1001, "STATIC", "Info", kInfo, 0, 16, 16, 331, 29}},
                   {1004, "MSCTLS_PROGRESS32", "", kProgress, 0, 16, 50, 331, 10});
}

TEST(DialogTemplates, WithLicence) {
    ExpectTemplate(101, 222,
                   {{1, "BUTTON", "次へ", kNext, 0, 258, 202, 44, 14},
                    {2, "BUTTON", "中止", kPush, 0, 311, 202, 44, 14},
                    {4, "BUTTON", "戻る", kPush, 0, 214, 202, 44, 14},
                    {1001, "STATIC", "Info", kInfo, 0, 16, 9, 331, 65},
                    {1000, "EDIT", "", kLicence, 0, 6, 81, 351, 92},
                    {1002, "BUTTON", "同意する", kRadio, 0, 10, 177, 225, 10},
                    {1003, "BUTTON", "同意しない", kRadio, 0, 10, 189, 225, 10}},
                   {1004, "MSCTLS_PROGRESS32", "", kProgress, 0, 16, 78, 331, 10});
}

} // namespace
