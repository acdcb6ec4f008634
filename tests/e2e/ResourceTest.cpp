// The program's resources, read from the exe loaded as a data file: the dialogs' templates
// control by control, the strings, the menu and the accelerators, the version.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CarrowickVersion.h"
#include "tests/e2e/ProgramSession.h"

namespace {

struct DialogItem {
    int id;
    std::string windowClass;  // predefined classes by name: "button", "static"
    std::string text;         // an ordinal text (an icon) as "#107"
    short x, y, cx, cy;
    DWORD style;
};

struct DialogTemplate {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    WORD pointSize = 0;
    WORD weight = 0;
    std::string font;
    std::vector<DialogItem> items;
};

// Reads an extended dialog template; false when it is not one.
class TemplateReader {
public:
    TemplateReader(const BYTE* bytes, DWORD size) : at_(bytes), end_(bytes + size) {}

    bool read(DialogTemplate& dialog) {
        if (word() != 1 || word() != 0xFFFF) return false;
        dword();  // help id
        dword();  // extended style
        dialog.style = dword();
        WORD count = word();
        dialog.x = static_cast<short>(word());
        dialog.y = static_cast<short>(word());
        dialog.cx = static_cast<short>(word());
        dialog.cy = static_cast<short>(word());
        text();  // menu
        text();  // class
        dialog.caption = text();
        if (dialog.style & DS_SETFONT) {
            dialog.pointSize = word();
            dialog.weight = word();
            word();  // italic, character set
            dialog.font = text();
        }
        for (WORD i = 0; i < count && at_ < end_; ++i) {
            align();
            DialogItem item = {};
            dword();  // help id
            dword();  // extended style
            item.style = dword();
            item.x = static_cast<short>(word());
            item.y = static_cast<short>(word());
            item.cx = static_cast<short>(word());
            item.cy = static_cast<short>(word());
            item.id = static_cast<int>(static_cast<int32_t>(dword()));
            item.windowClass = text();
            item.text = text();
            at_ += word();  // creation data
            dialog.items.push_back(item);
        }
        return at_ <= end_;
    }

private:
    WORD word() {
        WORD value = 0;
        if (at_ + 2 <= end_) value = static_cast<WORD>(at_[0] | (at_[1] << 8));
        at_ += 2;
        return value;
    }
    DWORD dword() {
        DWORD low = word();
        return low | (static_cast<DWORD>(word()) << 16);
    }
    void align() {
        while ((reinterpret_cast<uintptr_t>(at_) & 3) != 0) ++at_;
    }
    // A string, or an ordinal: predefined class atoms by name, others as "#n".
    std::string text() {
        WORD first = word();
        if (first == 0xFFFF) {
            WORD ordinal = word();
            if (ordinal == 0x0080) return "button";
            if (ordinal == 0x0082) return "static";
            return "#" + std::to_string(ordinal);
        }
        std::string value;
        for (WORD c = first; c != 0 && at_ <= end_; c = word()) value += static_cast<char>(c);
        return value;
    }

    const BYTE* at_;
    const BYTE* end_;
};

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExA(ProgramSession::programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_) << "cannot load " << ProgramSession::programPath();
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    DialogTemplate dialog(int id, WORD language) {
        DialogTemplate result;
        HRSRC found = FindResourceExA(module_, MAKEINTRESOURCEA(5) /* RT_DIALOG */, MAKEINTRESOURCEA(id), language);
        EXPECT_NE(nullptr, found) << "no dialog " << id << " in language " << language;
        if (!found) return result;
        const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module_, found)));
        EXPECT_TRUE(TemplateReader(bytes, SizeofResource(module_, found)).read(result)) << "dialog " << id;
        return result;
    }

    HMODULE module_ = nullptr;
};

const WORD kUnitedStates = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD kUnitedKingdom = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);

void expectItem(const DialogItem& item, int id, const char* windowClass, const std::string& text, short x, short y,
                short cx, short cy, DWORD style) {
    SCOPED_TRACE("control " + std::to_string(id) + " " + text);
    EXPECT_EQ(id, item.id);
    EXPECT_EQ(0, lstrcmpiA(windowClass, item.windowClass.c_str())) << item.windowClass;
    EXPECT_EQ(text, item.text);
    EXPECT_EQ(x, item.x);
    EXPECT_EQ(y, item.y);
    EXPECT_EQ(cx, item.cx);
    EXPECT_EQ(cy, item.cy);
    EXPECT_EQ(style, item.style & style);
    EXPECT_TRUE(item.style & WS_VISIBLE);
    EXPECT_TRUE(item.style & WS_CHILD);
}

TEST_F(ResourceTest, ProgressDialogIsTemplate122InBritishEnglish) {
    DialogTemplate progress = dialog(122, kUnitedKingdom);
    const DWORD style = WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(style, progress.style & style);
    EXPECT_FALSE(progress.style & WS_VISIBLE);
    EXPECT_EQ(0, progress.x);
    EXPECT_EQ(0, progress.y);
    EXPECT_EQ(186, progress.cx);
    EXPECT_EQ(47, progress.cy);
    EXPECT_EQ("Lumetra OS Update", progress.caption);
    EXPECT_EQ("MS Shell Dlg", progress.font);
    EXPECT_EQ(8, progress.pointSize);
    EXPECT_EQ(400, progress.weight);
    ASSERT_EQ(2u, progress.items.size());
    expectItem(progress.items[0], 1002, "static", "Update in progress...", 7, 7, 172, 11, WS_GROUP);
    expectItem(progress.items[1], 1001, "msctls_progress32", "", 7, 21, 172, 14, WS_BORDER);
}

TEST_F(ResourceTest, AboutBoxIsTemplate103) {
    DialogTemplate about = dialog(103, kUnitedStates);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(style, about.style & style);
    EXPECT_EQ(220, about.cx);
    EXPECT_EQ(62, about.cy);
    EXPECT_EQ("About Carrowick", about.caption);
    EXPECT_EQ("MS Shell Dlg", about.font);
    EXPECT_EQ(8, about.pointSize);
    ASSERT_EQ(4u, about.items.size());
    // The program's own icon: a template naming an icon the exe lacks could not be created.
    expectItem(about.items[0], -1, "static", "#107", 14, 14, 21, 20, SS_ICON);
    expectItem(about.items[1], -1, "static", std::string("Carrowick, Version ") + CARROWICK_VERSION, 42, 14, 170, 8, SS_NOPREFIX | WS_GROUP);
    expectItem(about.items[2], -1, "static", std::string("Lumetra firmware ") + (sizeof(void*) == 8 ? "v1.169" : "v1.157"),
               42, 26, 170, 8, WS_GROUP);
    expectItem(about.items[3], IDOK, "button", "OK", 163, 41, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP);
}

TEST_F(ResourceTest, StringsMenuAndAccelerators) {
    const std::vector<std::pair<int, std::string>> strings = {
        {103, "Carrowick"},
        {109, "CARROWICK"},
        {121, "An update is available for this software"},
        {122, "version"},
        {123, "Do you want to download and install it?"},
    };
    for (const auto& entry : strings) {
        char text[100] = {};
        EXPECT_GT(LoadStringA(module_, static_cast<UINT>(entry.first), text, sizeof text), 0) << entry.first;
        EXPECT_EQ(entry.second, text) << "string " << entry.first;
    }

    HMENU menu = LoadMenuA(module_, MAKEINTRESOURCEA(109));
    ASSERT_NE(nullptr, menu);
    const struct {
        const char* popup;
        const char* item;
        UINT id;
    } menus[] = {{"&File", "E&xit", 105}, {"&Help", "&About ...", 104}};
    ASSERT_EQ(2, GetMenuItemCount(menu));
    for (int i = 0; i < 2; ++i) {
        char text[64] = {};
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(menus[i].popup, text);
        HMENU popup = GetSubMenu(menu, i);
        ASSERT_NE(nullptr, popup);
        ASSERT_EQ(1, GetMenuItemCount(popup));
        EXPECT_EQ(menus[i].id, GetMenuItemID(popup, 0));
        GetMenuStringA(popup, 0, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(menus[i].item, text);
    }
    DestroyMenu(menu);

    HACCEL table = LoadAcceleratorsA(module_, MAKEINTRESOURCEA(109));
    ASSERT_NE(nullptr, table);
    ACCEL entries[4] = {};
    ASSERT_EQ(2, CopyAcceleratorTableA(table, entries, 4));
    const char keys[] = {'?', '/'};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(keys[i], entries[i].key);
        EXPECT_EQ(104, entries[i].cmd);
        EXPECT_EQ(FALT, entries[i].fVirt & (FVIRTKEY | FSHIFT | FCONTROL | FALT)) << "a character key with Alt";
    }
    DestroyAcceleratorTable(table);
}

// Every place the exe names its version names the build's one: the version resource's texts
// and numbers (the numbers are the text's leading major.minor.patch) and the manifest's.
TEST_F(ResourceTest, VersionResourceAndManifestNameTheBuildsVersion) {
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(3, std::sscanf(CARROWICK_VERSION, "%u.%u.%u", &major, &minor, &patch)) << CARROWICK_VERSION;
    const std::string path = ProgramSession::programPath();
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << "no version resource in " << path;
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

    const struct {
        const char* key;
        std::string expected;
    } texts[] = {
        {"FileVersion", CARROWICK_VERSION},
        {"ProductVersion", CARROWICK_VERSION},
        {"ProductName", "Carrowick"},
        {"OriginalFilename", "Carrowick.exe"},
    };
    for (const auto& text : texts) {
        char* value = nullptr;
        UINT length = 0;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + text.key;
        ASSERT_TRUE(VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << query;
        EXPECT_EQ(text.expected, std::string(value)) << text.key;
    }

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    const struct {
        const char* name;
        DWORD high, low;
    } numbers[] = {{"file", fixed->dwFileVersionMS, fixed->dwFileVersionLS},
                   {"product", fixed->dwProductVersionMS, fixed->dwProductVersionLS}};
    for (const auto& number : numbers) {
        EXPECT_EQ(MAKELONG(minor, major), number.high) << number.name;
        EXPECT_EQ(MAKELONG(0, patch), number.low) << number.name;
    }

    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    ASSERT_NE(nullptr, found);
    const char* manifest = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    const std::string identity = "name=\"Carrowick\" version=\"" + std::to_string(major) + "." + std::to_string(minor) +
                                 "." + std::to_string(patch) + ".0\"";
    EXPECT_NE(std::string::npos, std::string(manifest, SizeofResource(module_, found)).find(identity)) << identity;
}

}  // namespace
