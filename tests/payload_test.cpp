#include "payload/Payload.h"
#include "support/TestSupport.h"
#include "win/RunLog.h"
#include "win/TextConversion.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

using namespace payload;
using namespace testing_support;

namespace {

// The items in manifest order; their sizes are the payload files', whatever
// files the build carries.
struct Item {
    const char* resource;
    const char* deviceName;
};
constexpr Item kItems[] = {
    {"U1", "KestrovaCE.exe"},
    {"U2", "Vesko-Plinto-4.par1"},
    {"U3", "Vesko-Plinto-4-UTM.par1"},
    {"U4", "Vesko-Plinto-4-HighContrast.par1"},
    {"U5", "Vesko-Plinto-4-UTM-HighContrast.par1"},
    {"U6", "VeskoPointer.mmp"},
    {"U7", "Kestrova1.def"},
    {"U8", "Kestrova2.def"},
    {"U9", "FontSizes2.def"},
};

std::string SystemText(DWORD error) {
    char buffer[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const PayloadError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Manifest, CompiledScriptGivesThirteenLinesAndNineItems) {
    ScratchDir temp;
    const auto lines = LoadManifest(temp.path().wstring());
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "R1 EXEFILE \"upgrade.txt\"");
    EXPECT_EQ(lines[3], "U1 EXEFILE \"Files\\KestrovaCE.exe\"");
    EXPECT_EQ(lines[12], "");
    std::vector<ManifestItem> items;
    for (const auto& line : lines) {
        if (auto item = ParseManifestRow(line)) {
            items.push_back(*item);
        }
    }
    ASSERT_EQ(items.size(), std::size(kItems));
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].resourceName, kItems[i].resource);
        EXPECT_EQ(items[i].deviceName, kItems[i].deviceName);
    }
    // The manifest passes through its scratch file, which stays in place.
    EXPECT_EQ(ReadFileBytes(temp.path() / "8194a.tmp"),
              ReadFileBytes(SourceRoot() / "payload" / "upgrade.txt"));
}

TEST(Manifest, ResourcesHaveThePayloadSizes) {
    for (const auto& item : kItems) {
        SCOPED_TRACE(item.resource);
        HRSRC info = FindResourceA(nullptr, item.resource, "EXEFILE");
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(SizeofResource(nullptr, info), fs::file_size(PayloadFile(item.deviceName)));
    }
}

TEST(Manifest, ScratchCopyIsTheScriptByteForByte) {
    ScratchDir temp;
    ExtractPayloadItem("R1", (temp.path() / "r1.txt").wstring());
    const std::string r1 = ReadFileBytes(temp.path() / "r1.txt");
    EXPECT_EQ(r1.substr(0, 2), "\r\n");
    EXPECT_EQ(r1.substr(r1.size() - 4), "\r\n\r\n");
    EXPECT_EQ(r1.find("\n\n"), std::string::npos); // every LF has its CR
}

TEST(ParseManifestRow, TableOfRows) {
    const struct {
        std::string row;
        std::optional<std::pair<std::string, std::string>> item;
    } rows[] = {
        {"", std::nullopt},
        {"    ", std::nullopt},
        {"R1 EXEFILE \"upgrade.txt\"", std::nullopt},
        {"U1 EXEFILE \"Files\\x.exe\"", {{"U1", "x.exe"}}},
        {"U10 EXEFILE \"Files\\x.exe\"", {{"U10", "x.exe"}}},
        {"U1 EXEFILE \"Files\\Sub\\x.exe\"", {{"U1", "Sub\\x.exe"}}},
        {"R1X EXEFILE \"Files\\x\"", {{"R1X", "x"}}},
        {"\t\t", {{"xx", ""}}},
        // Characterisation: what the parser makes of rows the build's checker
        // refuses, so that no built manifest holds them; pinned only so that
        // a change shows, not because anything relies on these results.
        {"U1  EXEFILE \"Files\\x.exe\"", {{"U1", "es\\x.exe"}}},
        {" U1 EXEFILE \"Files\\x.exe\"", {{"U1", "es\\x.exe"}}},
        {"U1\tEXEFILE\t\"Files\\x.exe\"", {{"U1", "s\\x.exe"}}},
        {"U1 EXEFILE\t\"Files\\x.exe\"", {{"U1", "s\\x.exe"}}},
        {"U1 EXEFILE Files\\x.exe", {{"U1", "x.exe"}}},
        {"U1 EXEFILE \"x.exe\"", {{"U1", ""}}},
        {"U1", {{"U1", ""}}},
        {"r1 EXEFILE \"upgrade.txt\"", {{"r1", "e.txt"}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("[" + r.row + "]");
        const auto item = ParseManifestRow(r.row);
        ASSERT_EQ(item.has_value(), r.item.has_value());
        if (item) {
            EXPECT_EQ(item->resourceName, r.item->first);
            EXPECT_EQ(item->deviceName, r.item->second);
        }
    }
}

// The build's and the release's checker (tools/manifest_script.py) and the
// program's parser read the same tricky rows (manifests/tricky_rows.txt):
// every row the checker accepts, the parser reads as the checker does, so a
// checked script is never misread; the rest the checker refuses.
TEST(ParseManifestRow, ReadsEveryRowTheCheckerAcceptsAsTheCheckerDoes) {
    std::istringstream answers(ReadFileBytes(ProgramFolder() / "tricky_rows.answers"));
    std::size_t accepted = 0, refused = 0;
    for (std::string line; std::getline(answers, line);) {
        std::istringstream fields(line);
        std::string hex, answer, name, device;
        std::getline(fields, hex, '\t');
        std::getline(fields, answer, '\t');
        std::getline(fields, name, '\t');
        std::getline(fields, device, '\t');
        std::string row;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            row += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        SCOPED_TRACE("[" + row + "] " + answer);
        const auto item = ParseManifestRow(row);
        if (answer == "item") {
            ++accepted;
            ASSERT_TRUE(item.has_value());
            EXPECT_EQ(item->resourceName, name);
            EXPECT_EQ(item->deviceName, device);
        } else if (answer == "none") {
            EXPECT_FALSE(item.has_value());
        } else {
            EXPECT_EQ(answer, "refused");
            ++refused;
        }
    }
    EXPECT_GE(accepted, 5u);
    EXPECT_GE(refused, 15u);
}

TEST(SplitLines, TableOfLineEnds) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string text;
        Lines lines;
    } rows[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc", {"a", "b", "c"}},
        {"a\n\rb", {"a", "", "b"}},
        {"\r\n\r\n", {"", ""}},
        {std::string("a\r\nb\0c\r\n", 8), {"a", "b"}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(SplitLines(r.text), r.lines);
    }
}

// A scratch file already gone, or whose folder is, counts as deleted; one
// there is deleted.
TEST(DeleteScratchFile, WhatIsGoneCountsAsDeleted) {
    ScratchDir temp;
    WriteFileBytes(temp.path() / "8194b.tmp", "item");
    const struct {
        const char* what;
        fs::path path;
    } rows[] = {{"there", temp.path() / "8194b.tmp"},
                {"no such file", temp.path() / "8194a.tmp"},
                {"no such folder", temp.path() / "gone" / "8194a.tmp"}};
    for (const auto& row : rows) {
        EXPECT_TRUE(DeleteScratchFile(row.path.wstring())) << row.what;
        EXPECT_FALSE(fs::exists(row.path)) << row.what;
    }
}

TEST(ExtractPayloadItem, ReplacesALongerScratchFileCompletely) {
    ScratchDir temp;
    const auto path = temp.path() / "8194b.tmp";
    WriteFileBytes(path, std::string(5000, 'z'));
    ExtractPayloadItem("U9", path.wstring());
    EXPECT_EQ(ReadFileBytes(path), ReadFileBytes(ProgramFolder() / ".." / ".." / ".." / "payload" /
                                                 "Files" / "FontSizes2.def"));
}

TEST(ExtractPayloadItem, ErrorsCarryTheirExactTexts) {
    ScratchDir temp;
    EXPECT_EQ(ErrorOf([&] { ExtractPayloadItem("U42", (temp.path() / "x").wstring()); }),
              "Resource U42 not found");
    const fs::path noFolder = temp.path() / "missing" / "8194b.tmp";
    EXPECT_EQ(ErrorOf([&] { ExtractPayloadItem("U9", noFolder.wstring()); }),
              "Cannot create file \"" + noFolder.string() + "\". " +
                  SystemText(ERROR_PATH_NOT_FOUND));

    // A scratch file held open by someone else cannot be replaced.
    const fs::path held = temp.path() / "8194b.tmp";
    HANDLE other =
        CreateFileW(held.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(ErrorOf([&] { ExtractPayloadItem("U9", held.wstring()); }),
              "Cannot create file \"" + held.string() + "\". " +
                  SystemText(ERROR_SHARING_VIOLATION));
    CloseHandle(other);
    EXPECT_EQ(ErrorOf([&] { LoadManifest((temp.path() / "missing").wstring()); }),
              "Cannot create file \"" + (temp.path() / "missing").string() + "\\8194a.tmp\". " +
                  SystemText(ERROR_PATH_NOT_FOUND));
}

TEST(ExtractPayloadItem, LeavesNoHandleOpen) {
    ScratchDir temp;
    const auto path = (temp.path() / "8194b.tmp").wstring();
    ExtractPayloadItem("U6", path);
    LoadManifest(temp.path().wstring());
    // Exclusive opens succeed only when nothing else holds the files.
    for (const auto& file : {path, (temp.path() / "8194a.tmp").wstring()}) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << fs::path(file).string();
        CloseHandle(h);
    }
    const auto before = ProbeHandleValue();
    for (int i = 0; i < 20; ++i) {
        ExtractPayloadItem("U6", path);
        ErrorOf([&] { ExtractPayloadItem("U42", path); });
        ErrorOf([&] { ExtractPayloadItem("U6", (temp.path() / "no" / "x").wstring()); });
    }
    EXPECT_LE(ProbeHandleValue(), before);
}

TEST(GetTempDirectory, DropsExactlyOneTrailingBackslash) {
    const struct {
        std::string tmp;
        std::wstring expected;
    } rows[] = {
        {"C:\\Temp\\", L"C:\\Temp"},
        {"C:\\Temp", L"C:\\Temp"},
    };
    for (const auto& r : rows) {
        ScopedEnv tmp("TMP", r.tmp), temp("TEMP", r.tmp);
        EXPECT_EQ(GetTempDirectory(), r.expected) << r.tmp;
    }
}

TEST(GetTempDirectory, TakesAPathLongerThanTheClassicBuffer) {
    // Windows and Wine give at most MAX_PATH characters.
    for (std::size_t length : {248u, 249u, 250u, 251u, 254u}) {
        std::string path = "C:\\";
        while (path.size() < length) {
            path += "d";
        }
        ScopedEnv tmp("TMP", path + "\\"), temp("TEMP", path + "\\");
        EXPECT_EQ(GetTempDirectory(), std::wstring(path.begin(), path.end())) << length;
    }
}

// This program has no UTF-8 manifest: its ANSI code page is the system's,
// as on a Windows that ignores the manifest's setting. A folder named
// outside it, and one whose best-fit ANSI form names another folder, get
// the scratch files all the same.
TEST(GetTempDirectory, FolderNamesOutsideTheCodePageGetTheRealFolder) {
    ASSERT_NE(GetACP(), 65001u);
    ScratchDir base("cp");
    const ScopedEnv keepTmp("TMP", ""), keepTemp("TEMP", ""); // restored at the end
    // "Lukasz" stands beside "\u0141ukasz", whose best-fit ANSI form it is.
    fs::create_directories(base.path() / "Lukasz");
    for (const std::wstring name : {L"\u4E2D\u6587", L"\u0141ukasz"}) {
        const fs::path folder = base.path() / name;
        fs::create_directories(folder);
        const std::wstring wide = folder.wstring() + L"\\";
        SetEnvironmentVariableW(L"TMP", wide.c_str());
        SetEnvironmentVariableW(L"TEMP", wide.c_str());
        const std::wstring directory = GetTempDirectory();
        EXPECT_EQ(directory, folder.wstring());
        LoadManifest(directory);
        EXPECT_TRUE(fs::exists(folder / "8194a.tmp"));
        EXPECT_TRUE(fs::is_empty(base.path() / "Lukasz"));
        fs::remove(folder / "8194a.tmp");
    }
}

// The run log is UTF-8 where the ANSI code page is the system's, as it is
// on every Windows before 10 1903 whatever the manifest says.
TEST(RunLogText, AnsiTextIsWrittenAsUtf8WhereTheCodePageIsNotUtf8) {
    ASSERT_NE(GetACP(), 65001u);
    const std::string ansi = win::FromWide(L"Jos\u00E9");
    ASSERT_EQ(ansi.size(), 4u) << "the code page has no single byte for \\u00E9";
    EXPECT_EQ(win::runlog::Utf8FromAnsi(ansi), "Jos\xC3\xA9");
}

} // namespace
