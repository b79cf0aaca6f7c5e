// A RAPI.DLL planted where the old search order looked (the current
// directory, PATH) must not stand in for the installed library, on either
// road HardenDllSearch takes.
#include "app/Program.h"
#include "rapi/rapi.h"
#include "support/TestSupport.h"
#include "win/LateBound.h"
#include "win/SystemDirectory.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return text;
}

std::wstring PathOf(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return Lower(std::wstring(path, n < MAX_PATH ? n : 0));
}

} // namespace

// Runs first: where SetDefaultDllDirectories is missing (XP, an unpatched
// 7), the DLLs the program and the system load by name are loaded from the
// system directory before anything asks for them.
TEST(DllSearch, WithoutSafeDefaultsTheNamedDllsComeFromTheSystemDirectory) {
    win::late::SetFakesForTesting({.noSetDefaultDllDirectories = true});
    app::HardenDllSearch();
    win::late::SetFakesForTesting({});
    const std::wstring system = Lower(win::SystemDirectory());
    for (const wchar_t* name : {L"uxtheme.dll", L"version.dll", L"dwmapi.dll"}) {
        const HMODULE module = GetModuleHandleW(name);
        ASSERT_NE(module, nullptr) << "not loaded: " << fs::path(name).string();
        EXPECT_EQ(PathOf(module), system + L"\\" + name);
    }
}

TEST(DllSearch, PlantedLibraryInTheCurrentDirectoryOrOnPathIsNotLoaded) {
    ScratchDir planted("planted");
    fs::copy_file(ProgramFolder().parent_path() / "devicesim" / "partial" / "RAPI.DLL",
                  planted.path() / "RAPI.DLL");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(planted.str().c_str());
    ScopedEnv path("PATH", planted.str());

    app::HardenDllSearch();
    rapi::ResetForTesting(rapi::ProductionLoader());
    ASSERT_TRUE(rapi::LoadRapi());
    EXPECT_EQ(PathOf(rapi::LoadedLibrary()), Lower(SimLibraryPath()));
    // The planted copy lacks CeWriteFile; the system directory's has it.
    EXPECT_TRUE(rapi::HasEntryPoint("CeWriteFile"));
    // Nothing asked for by name comes from there either.
    const HMODULE byName = LoadLibraryW(L"RAPI.DLL");
    EXPECT_EQ(byName, rapi::LoadedLibrary());
    FreeLibrary(byName);
    SetCurrentDirectoryA(previous);
}
