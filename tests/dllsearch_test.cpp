// A RAPI.DLL planted in the current directory must not stand in for the
// installed library.
#include "app/Program.h"
#include "rapi/rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

TEST(DllSearch, PlantedLibraryInTheCurrentDirectoryIsNotLoaded) {
    ScratchDir planted("planted");
    fs::copy_file(ProgramFolder().parent_path() / "devicesim" / "RAPI.DLL",
                  planted.path() / "RAPI.DLL");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(planted.str().c_str());

    // Without the hardening the planted copy would be found.
    HMODULE found = LoadLibraryA("RAPI.DLL");
    ASSERT_NE(found, nullptr);
    FreeLibrary(found);
    ASSERT_EQ(GetModuleHandleA("RAPI.DLL"), nullptr);

    app::HardenDllSearch();
    rapi::ResetForTesting(rapi::ProductionLoader());
    EXPECT_FALSE(rapi::LoadRapi());
    EXPECT_EQ(GetModuleHandleA("RAPI.DLL"), nullptr);

    // The rest of the search order stays: the library is still found on PATH.
    const auto simFolder = ProgramFolder().parent_path() / "devicesim";
    ScopedEnv path("PATH", simFolder.string());
    EXPECT_TRUE(rapi::LoadRapi());
    SetCurrentDirectoryA(previous);
}
