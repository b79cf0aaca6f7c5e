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

// Whether a library in the system directory, loaded as RAPI.DLL is, takes
// its own import from a copy planted in the program's folder (the marker
// leaves a file where it lies once loaded).
bool ItsImportComesFromTheProgramFolder() {
    const fs::path fixtures = ProgramFolder() / "planted";
    const fs::path importer = fs::path(win::SystemDirectory()) / "vk7_importer.dll";
    const fs::path planted = ProgramFolder() / "marker.dll";
    const fs::path loaded = ProgramFolder() / "marker.dll.loaded";
    // Wine holds the file of a library whose load failed until the process
    // ends: the second call finds it there, and it is left for the next run.
    CopyFileW((fixtures / "vk7_importer.dll").c_str(), importer.c_str(), FALSE);
    EXPECT_TRUE(fs::exists(importer));
    EXPECT_TRUE(CopyFileW((fixtures / "marker.dll").c_str(), planted.c_str(), FALSE));
    fs::remove(loaded);
    if (const HMODULE module = rapi::ProductionLoader().load("vk7_importer.dll")) {
        FreeLibrary(module);
    }
    std::error_code held;
    fs::remove(importer, held);
    fs::remove(planted);
    return fs::remove(loaded);
}

} // namespace

// Runs first: where SetDefaultDllDirectories is missing (XP, an unpatched
// 7), the DLLs the program and the system load by name are loaded from the
// system directory before anything asks for them.
TEST(DllSearch, WithoutSafeDefaultsTheNamedDllsComeFromTheSystemDirectory) {
    win::late::SetFakesForTesting({.noSetDefaultDllDirectories = true});
    app::HardenDllSearch();
    const std::wstring system = Lower(win::SystemDirectory());
    for (const wchar_t* name : {L"uxtheme.dll", L"version.dll", L"dwmapi.dll"}) {
        const HMODULE module = GetModuleHandleW(name);
        EXPECT_NE(module, nullptr) << "not loaded: " << fs::path(name).string();
        EXPECT_EQ(PathOf(module), system + L"\\" + name);
    }
    // Nor does the DLL directory bring the program's folder back for the
    // imports of a library loaded from the system directory.
    EXPECT_FALSE(ItsImportComesFromTheProgramFolder());
    win::late::SetFakesForTesting({});
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
    EXPECT_FALSE(ItsImportComesFromTheProgramFolder());
    // Nothing asked for by name comes from there either.
    const HMODULE byName = LoadLibraryW(L"RAPI.DLL");
    EXPECT_EQ(byName, rapi::LoadedLibrary());
    FreeLibrary(byName);
    SetCurrentDirectoryA(previous);
}
