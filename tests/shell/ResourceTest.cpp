// The resources of the built VelmoMon.exe, read back with the resource API:
// every one in Spanish (3082), the start-up text, the about box template,
// the icon's geometry and the version block; and the Windows-1252 text of
// the PIN tool warning in the program's data.
#include <gtest/gtest.h>

#include <string.h>

#include <fstream>
#include <iterator>

#include "Driver.h"

namespace {

const WORD Spanish = 3082;

class Resources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(driver::velmoMonPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_TRUE(module != NULL);
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }

    // The resource's bytes, or empty when it is not there in Spanish.
    std::vector<BYTE> resource(LPCSTR type, LPCSTR name)
    {
        HRSRC found = FindResourceExA(module, type, name, Spanish);
        if (!found)
            return std::vector<BYTE>();
        const BYTE *data = (const BYTE *)LockResource(LoadResource(module, found));
        return std::vector<BYTE>(data, data + SizeofResource(module, found));
    }

    HMODULE module = NULL;
};

BOOL CALLBACK addLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list)
{
    ((std::vector<WORD> *)list)->push_back(language);
    return TRUE;
}

std::vector<WORD> languagesOf(HMODULE module, LPCSTR type, LPCSTR name)
{
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module, type, name, addLanguage, (LONG_PTR)&languages);
    return languages;
}

TEST_F(Resources, EveryResourceIsInSpanishOnly)
{
    const std::vector<WORD> spanish{Spanish};
    EXPECT_EQ(languagesOf(module, RT_GROUP_ICON, MAKEINTRESOURCEA(106)), spanish);
    EXPECT_EQ(languagesOf(module, RT_GROUP_ICON, MAKEINTRESOURCEA(107)), spanish);
    EXPECT_EQ(languagesOf(module, RT_MANIFEST, MAKEINTRESOURCEA(1)), spanish);
    EXPECT_EQ(languagesOf(module, RT_DIALOG, MAKEINTRESOURCEA(109)), spanish);
    EXPECT_EQ(languagesOf(module, RT_STRING, MAKEINTRESOURCEA(1)), spanish); // strings 0 to 15
    EXPECT_EQ(languagesOf(module, RT_VERSION, MAKEINTRESOURCEA(1)), spanish);
}

// A string table block holds 16 counted UTF-16 strings.
std::wstring tableString(const std::vector<BYTE> &block, unsigned index)
{
    size_t offset = 0;
    for (unsigned i = 0; i <= index && offset + 2 <= block.size(); i++) {
        WORD length;
        memcpy(&length, &block[offset], 2);
        offset += 2;
        if (offset + length * 2u > block.size())
            return L"(cut)";
        if (i == index)
            return std::wstring((const wchar_t *)&block[offset], length);
        offset += length * 2u;
    }
    return L"(missing)";
}

TEST_F(Resources, StartupErrorText)
{
    const std::vector<BYTE> block = resource(RT_STRING, MAKEINTRESOURCEA(1));
    EXPECT_EQ(tableString(block, 1), L"No se ha podido cargar la aplicaccion.");
    EXPECT_EQ(tableString(block, 0), L"");
}

// Reads a dialog template field by field.
struct TemplateReader {
    const std::vector<BYTE> &bytes;
    size_t at;

    WORD word()
    {
        WORD value = 0;
        if (at + 2 <= bytes.size())
            memcpy(&value, &bytes[at], 2);
        at += 2;
        return value;
    }
    DWORD dword()
    {
        const WORD low = word();
        return (DWORD)word() << 16 | low;
    }
    // A string or an ordinal (written "#n").
    std::string text()
    {
        WORD first = word();
        if (first == 0xFFFF)
            return "#" + std::to_string(word());
        std::string value;
        for (; first; first = word())
            value += (char)first;
        return value;
    }
    void alignToDword() { at = (at + 3) & ~(size_t)3; }
};

TEST_F(Resources, AboutBoxTemplate)
{
    const std::vector<BYTE> bytes = resource(RT_DIALOG, MAKEINTRESOURCEA(109));
    ASSERT_FALSE(bytes.empty());
    TemplateReader reader{bytes, 0};
    EXPECT_EQ(reader.dword(), 0x800008C0u); // WS_POPUP | DS_CENTER | DS_MODALFRAME | DS_SETFONT
    EXPECT_EQ(reader.dword(), 0u);
    ASSERT_EQ(reader.word(), 4u);
    EXPECT_EQ(reader.word(), 0u);
    EXPECT_EQ(reader.word(), 0u);
    EXPECT_EQ(reader.word(), 146u);
    EXPECT_EQ(reader.word(), 65u);
    EXPECT_EQ(reader.text(), ""); // menu
    EXPECT_EQ(reader.text(), ""); // class
    EXPECT_EQ(reader.text(), ""); // title
    EXPECT_EQ(reader.word(), 8u);
    EXPECT_EQ(reader.text(), "MS Sans Serif");

    struct Item {
        DWORD style;
        short x, y, width, height;
        WORD id;
        const char *className;
        const char *text;
    };
    const Item expected[] = {
        {0x50010001, 59, 43, 42, 14, IDOK, "#128", "Aceptar"},
        {0x50020000, 59, 13, 71, 15, 0xFFFF, "#130", "VelmoMon 1.0.0.9"},
        {0x50020000, 59, 27, 42, 15, 0xFFFF, "#130", "Zimvor"},
        {0x50000003, 13, 15, 20, 20, 0xFFFF, "#130", "#106"},
    };
    for (const Item &item : expected) {
        reader.alignToDword();
        EXPECT_EQ(reader.dword(), item.style) << item.text;
        EXPECT_EQ(reader.dword(), 0u) << item.text;
        EXPECT_EQ((short)reader.word(), item.x) << item.text;
        EXPECT_EQ((short)reader.word(), item.y) << item.text;
        EXPECT_EQ((short)reader.word(), item.width) << item.text;
        EXPECT_EQ((short)reader.word(), item.height) << item.text;
        EXPECT_EQ(reader.word(), item.id) << item.text;
        EXPECT_EQ(reader.text(), item.className) << item.text;
        EXPECT_EQ(reader.text(), item.text);
        EXPECT_EQ(reader.word(), 0u) << item.text; // no creation data
    }
    EXPECT_LE(reader.at, bytes.size());
}

TEST_F(Resources, IconIsOne32By32ImageIn16Colours)
{
    const std::vector<BYTE> group = resource(RT_GROUP_ICON, MAKEINTRESOURCEA(106));
    ASSERT_EQ(group.size(), 6u + 14u);
    EXPECT_EQ(group[2] | group[3] << 8, 1); // icons
    EXPECT_EQ(group[4] | group[5] << 8, 1); // one image
    EXPECT_EQ(group[6], 32); // width
    EXPECT_EQ(group[7], 32); // height
    EXPECT_EQ(group[8], 16); // colours
    EXPECT_EQ(group[12] | group[13] << 8, 4); // bits per pixel
    const WORD imageId = (WORD)(group[18] | group[19] << 8);

    const std::vector<BYTE> image = resource(RT_ICON, MAKEINTRESOURCEA(imageId));
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64); // colour and mask
    EXPECT_EQ(header.biBitCount, 4);
    // Header, 16 palette entries, 4-bit colour rows, 1-bit mask rows.
    EXPECT_EQ(image.size(), 40u + 64u + 512u + 128u);
}

// The notification area's sizes in 32-bit colour, in a group apart from the
// about box's image.
TEST_F(Resources, TrayImagesAreTheNotificationAreasSizesIn32BitColour)
{
    const std::vector<BYTE> group = resource(RT_GROUP_ICON, MAKEINTRESOURCEA(107));
    ASSERT_EQ(group.size(), 6u + 5u * 14u);
    const BYTE sides[] = {16, 20, 24, 32, 48};
    for (int i = 0; i < 5; i++) {
        const BYTE *entry = &group[6 + 14 * i];
        EXPECT_EQ(entry[0], sides[i]);
        EXPECT_EQ(entry[1], sides[i]);
        EXPECT_EQ(entry[6] | entry[7] << 8, 32); // bits per pixel
        const std::vector<BYTE> image = resource(RT_ICON, MAKEINTRESOURCEA(entry[12] | entry[13] << 8));
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER header;
        memcpy(&header, image.data(), sizeof header);
        EXPECT_EQ(header.biWidth, sides[i]);
        EXPECT_EQ(header.biBitCount, 32);
    }
}

// The system can make the program's activation context from its manifest.
TEST_F(Resources, ManifestMakesAnActivationContext)
{
    const std::string path = driver::velmoMonPath();
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE made = CreateActCtxA(&context);
    ASSERT_NE(made, INVALID_HANDLE_VALUE) << GetLastError();
    ReleaseActCtx(made);
}

std::wstring versionString(const std::vector<BYTE> &block, const wchar_t *key)
{
    std::wstring path = std::wstring(L"\\StringFileInfo\\0c0a04b0\\") + key;
    void *value = NULL;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length))
        return L"(missing)";
    return length ? std::wstring((const wchar_t *)value) : std::wstring();
}

TEST_F(Resources, VersionInformation)
{
    std::vector<BYTE> block = resource(RT_VERSION, MAKEINTRESOURCEA(1));
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 10u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 10u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_APP);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);

    // The n with tilde came through from Windows-1252 as U+00F1.
    EXPECT_EQ(versionString(block, L"Comments"), L"Tama\u00F1o del certificado soportado hasta 4069 bits.");
    EXPECT_EQ(versionString(block, L"FileDescription"), L"VelmoMon");
    EXPECT_EQ(versionString(block, L"FileVersion"), L"1, 0, 0, 10");
    EXPECT_EQ(versionString(block, L"InternalName"), L"VelmoMon");
    EXPECT_EQ(versionString(block, L"LegalTrademarks"), L"");
    EXPECT_EQ(versionString(block, L"OriginalFilename"), L"VelmoMon.exe");
    EXPECT_EQ(versionString(block, L"PrivateBuild"), L"");
    EXPECT_EQ(versionString(block, L"ProductName"), L"Zimvor,  VelmoMon");
    EXPECT_EQ(versionString(block, L"ProductVersion"), L"1, 0, 0, 10");
    EXPECT_EQ(versionString(block, L"SpecialBuild"), L"");

    WORD *translation = NULL;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void **)&translation, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0C0A);
    EXPECT_EQ(translation[1], 1200);
}

TEST(ProgramData, PinToolWarningIsStoredInWindows1252)
{
    std::ifstream file(driver::velmoMonPath().c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.find(std::string("No se pudo lanzar la aplicaci\xF3n Cambio de Pin\0", 46)), std::string::npos);
    EXPECT_EQ(bytes.find("aplicaci\xC3\xB3n"), std::string::npos) << "UTF-8 text in the program";
}

} // namespace
