// The click handler with a manifest of its own, compiled in from
// tests/manifests/<VARIANT>.txt.
#include "support/FormFixture.h"
#include "win/Dialogs.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

fs::path ManifestFolder() {
    return SourceRoot() / "tests" / "manifests";
}

class Variant : public FormFixture {
  protected:
    void Click() {
        SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(form.BitBtn1()));
    }
    std::string OnDevice(const char* name) const {
        return ReadFileBytes(device.appFolder() / name);
    }
    std::string Payload(const char* path) const { return ReadFileBytes(ManifestFolder() / path); }
};

#if defined(VARIANT_only_r1)
TEST_F(Variant, ManifestOfOnlyItsOwnRowCopiesNothingAndCompletes) {
    Click();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(Calls(device.log(), "CeCreateFile").empty());
    EXPECT_EQ(Status(), "Upgrade Complete");
    EXPECT_EQ(Caption(), "Press to Exit");
    EXPECT_FALSE(ScratchLeft());
}
#elif defined(VARIANT_tab_row)
TEST_F(Variant, TabOnlyRowStopsTheRunWithTheMissingResourceError) {
    Click();
    EXPECT_EQ(OnDevice("a.bin"), Payload("Files/a.bin"));
    EXPECT_FALSE(fs::exists(device.appFolder() / "b.bin"));
    // a.bin was replaced: the run ends as a failed copy does.
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, std::string("Resource xx not found.\n\n") + kNotComplete);
    EXPECT_EQ(boxes.boxes()[0].icon, "stop");
    EXPECT_EQ(Caption(), "Press to Exit");
    EXPECT_TRUE(Enabled());
    EXPECT_EQ(Status(), "Error Copying Files");
    EXPECT_FALSE(SimSessionOpen());
    // The manifest's scratch file is left where the error found it.
    EXPECT_TRUE(fs::exists(Scratch("8194a.tmp")));
}
#elif defined(VARIANT_missing)
TEST_F(Variant, RowNamingAResourceNotCarriedStopsTheRun) {
    Click();
    EXPECT_EQ(OnDevice("a.bin"), Payload("Files/a.bin"));
    EXPECT_FALSE(fs::exists(device.appFolder() / "b.bin"));
    EXPECT_EQ(boxes.texts(),
              std::vector<std::string>{std::string("Resource U2 not found.\n\n") + kNotComplete});
    EXPECT_EQ(Caption(), "Press to Exit");
    EXPECT_TRUE(Enabled());
}
#elif defined(VARIANT_r1_lower)
TEST_F(Variant, LowerCaseR1IsAnItem) {
    Click();
    EXPECT_TRUE(boxes.boxes().empty());
    // Resource names are found regardless of case, so the item is the manifest itself.
    EXPECT_EQ(OnDevice("manifest.txt"), Payload("r1_lower.txt"));
    EXPECT_EQ(Status(), "Upgrade Complete");
}
#elif defined(VARIANT_duplicate)
TEST_F(Variant, LaterRowWithTheSameDeviceNameWins) {
    Click();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(Calls(device.log(), "CeCreateFile").size(), 2u);
    EXPECT_EQ(OnDevice("a.bin"), Payload("Other/a.bin"));
    EXPECT_EQ(Status(), "Upgrade Complete");
}
#else
#error "VARIANT_<name> selects the manifest"
#endif

} // namespace
