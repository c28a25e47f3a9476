// The resources of the built program, read back from usb-thermometer.exe as Windows reads them:
// its icon in every size from 16 to 256 pixels, its version for Explorer's properties, and the
// manifest that asks for the user's visual style, dpi awareness per monitor and no elevation.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which it needs.
#include <winver.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/row_name.h"
#include "window/win32/resources.h"

namespace {

using thermo::PrintTo;
using thermo::rowName;

// The program's Linux path (the build tree's), as wine sees it: drive Z: is the root.
std::wstring programPath() {
    std::wstring path = L"Z:";
    for (const char* c = THERMO_PROGRAM; *c != '\0'; ++c) path += *c == '/' ? L'\\' : *c;
    return path;
}

struct ModuleDeleter {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleDeleter>;

// The headers spell the predefined ids (RT_ICON, ...) for the A functions here.
LPCWSTR wideId(LPCSTR id) {
    return MAKEINTRESOURCEW(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id)));
}

std::string_view resourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return {};
    return {static_cast<const char*>(bytes), SizeofResource(module, found)};
}

class ProgramResources : public ::testing::Test {
  protected:
    void SetUp() override {
        module_.reset(LoadLibraryExW(programPath().c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_NE(module_, nullptr) << "cannot open the program, error " << GetLastError();
    }

    std::wstring versionString(const wchar_t* name) const {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(version_.data(), key.c_str(), &value, &length) || length == 0) {
            return {};
        }
        return std::wstring(static_cast<const wchar_t*>(value), length - 1);  // no terminator
    }

    void readVersion() {
        const std::wstring path = programPath();
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0U) << "no version information, error " << GetLastError();
        version_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, version_.data()));
    }

    Module module_;
    std::vector<char> version_;
};

// The icon's directory as Windows picks an image from it: 6 bytes of header, then 14 bytes per
// image (width, height, with 0 for 256; bits per pixel at 6; the image's id at 12). Every size
// Windows asks for on screens of 96 to 384 dpi is there exactly, with an alpha channel.
TEST_F(ProgramResources, IconHasEachSizeFrom16To256With32BitsPerPixel) {
    const std::string_view group =
        resourceBytes(module_.get(), MAKEINTRESOURCEW(THERMO_ICON_ID), wideId(RT_GROUP_ICON));
    ASSERT_GE(group.size(), 6U) << "no icon " << THERMO_ICON_ID;
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(group[at]); };
    const auto word = [&](std::size_t at) { return byte(at) | byte(at + 1) << 8; };
    const std::size_t count = static_cast<std::size_t>(word(4));
    ASSERT_EQ(group.size(), 6 + 14 * count);
    std::set<int> sizes;
    for (std::size_t entry = 6; entry < group.size(); entry += 14) {
        const int width = byte(entry) == 0 ? 256 : byte(entry);
        EXPECT_EQ(byte(entry + 1) == 0 ? 256 : byte(entry + 1), width);
        EXPECT_EQ(word(entry + 6), 32) << width << " pixels";
        EXPECT_FALSE(
            resourceBytes(module_.get(), MAKEINTRESOURCEW(word(entry + 12)), wideId(RT_ICON))
                .empty())
            << "no image for " << width << " pixels";
        sizes.insert(width);
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 128, 256}));
}

TEST_F(ProgramResources, VersionNamesTheProgramAndTheProjectsVersion) {
    readVersion();
    EXPECT_EQ(versionString(L"FileDescription"), L"USB Thermometer");
    EXPECT_EQ(versionString(L"ProductName"), L"USB Thermometer");
    EXPECT_EQ(versionString(L"FileVersion"), L"" THERMO_VERSION);
    EXPECT_EQ(versionString(L"ProductVersion"), L"" THERMO_VERSION);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(version_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(THERMO_VERSION_MINOR, THERMO_VERSION_MAJOR));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), THERMO_VERSION_PATCH);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

struct ManifestCase {
    const char* name;
    const char* text;  // what the manifest must say
};

class Manifest : public ProgramResources, public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(Manifest, Says) {
    const std::string_view manifest = resourceBytes(
        module_.get(), wideId(CREATEPROCESS_MANIFEST_RESOURCE_ID), wideId(RT_MANIFEST));
    ASSERT_FALSE(manifest.empty()) << "no manifest";
    EXPECT_NE(manifest.find(GetParam().text), std::string_view::npos) << manifest;
}

INSTANTIATE_TEST_SUITE_P(
    Program, Manifest,
    ::testing::Values(
        ManifestCase{"VisualStyles",
                     "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""},
        ManifestCase{"NoElevation", "<requestedExecutionLevel level=\"asInvoker\""},
        ManifestCase{"PerMonitorV2", ">PerMonitorV2, PerMonitor</dpiAwareness>"},
        ManifestCase{"PerMonitorBeforeWindows10", ">true/pm</dpiAware>"}),
    rowName);

}  // namespace
