// Faults during an upgrade, one table row each: what the user is shown, the
// window's state afterwards, what changed on the device (every changed file
// is the whole new file or was reported as failed), which scratch files are
// left, that nothing leaks, and that the next run repairs. The causes that
// end a run before it touches anything are upgrade_test's failure table.
#include "support/FormFixture.h"
#include "win/Dialogs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace testing_support;

namespace {

std::string Old(const std::string& name) {
    return "KestrovaCE 2.40: " + name;
}

// Scanned*: another program (a virus scanner) opens each item scratch file,
// sharing delete, as soon as it can; it lets go after half a second, after
// 2.5 s (within the program's wait of about 3 s), or never.
// *Undeletable: it holds the scratch file for good without sharing delete.
enum class Temp {
    Normal,
    Missing,
    AFile,
    Long,
    ItemScratchHeldElsewhere,
    ScannedBriefly,
    ScannedNearlyThreeSeconds,
    ScannedForGood,
    ItemScratchUndeletable,
    ManifestScratchUndeletable,
};
// NoSearch: the full library without CeFindFirstFile.
enum class Library { Full, NoSearch };
// What the device holds beside the old files; undone for the repairing run.
enum class Condition { None, ApplicationReadOnly, FolderForSettingsFile, FolderForApplication };

FARPROC WithoutSearch(HMODULE module, const char* name) {
    return std::strcmp(name, "CeFindFirstFile") == 0 ? nullptr : LookUp(module, name);
}
HMODULE ProductionLoad(const char* name) {
    return rapi::ProductionLoader().load(name);
}

struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings;
    Temp temp;
    Library library;
    std::vector<std::string> boxes; // texts in order; a text ending in "..." is a prefix
    std::string status;
    std::string caption;
    std::vector<std::string> installed; // device files that must be the whole new file
    std::string faulted;                // the one file whose copy is reported failed, if any
    bool manifestScratchLeft;
    Condition condition = Condition::None;
    bool untouched = false; // the device folder byte for byte as before
    bool repairs = false;   // a run once the cause is gone completes
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

bool Matches(const std::string& text, const std::string& expected) {
    const std::string ellipsis = "...";
    if (expected.size() >= 3 && expected.compare(expected.size() - 3, 3, ellipsis) == 0) {
        return text.rfind(expected.substr(0, expected.size() - 3), 0) == 0;
    }
    return text == expected;
}

// Another process that holds a file open with no sharing while a run goes on.
class FileHolder {
  public:
    explicit FileHolder(const fs::path& file) {
        ready_ = CreateEventA(nullptr, TRUE, FALSE, "vk7-holder-ready");
        release_ = CreateEventA(nullptr, TRUE, FALSE, "vk7-holder-release");
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string commandLine = "\"" + std::string(self) + "\" --hold \"" + file.string() + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process_);
        // A new Wine process can take seconds to start on a loaded machine.
        ready = WaitForSingleObject(ready_, 60000) == WAIT_OBJECT_0;
    }
    ~FileHolder() { Release(); }
    bool ready = false; // the file is held
    void Release() {
        if (process_.hProcess != nullptr) {
            SetEvent(release_);
            WaitForSingleObject(process_.hProcess, 10000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
            process_ = {};
        }
        for (HANDLE* h : {&ready_, &release_}) {
            if (*h != nullptr) {
                CloseHandle(*h);
                *h = nullptr;
            }
        }
    }

  private:
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    PROCESS_INFORMATION process_{};
};

// A virus scanner in this process: opens `file` for reading whenever it can,
// sharing everything, and holds it for `holdMs` (for good: INFINITE).
class Scanner {
  public:
    Scanner(fs::path file, DWORD holdMs, bool sharesDelete)
        : file_(std::move(file)), holdMs_(holdMs), sharesDelete_(sharesDelete),
          stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
    ~Scanner() {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
    }
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

  private:
    static DWORD WINAPI Run(void* self) {
        auto* scanner = static_cast<Scanner*>(self);
        do {
            const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE |
                                (scanner->sharesDelete_ ? FILE_SHARE_DELETE : 0);
            HANDLE held = CreateFileW(scanner->file_.wstring().c_str(), GENERIC_READ, share,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
            if (held != INVALID_HANDLE_VALUE) {
                WaitForSingleObject(scanner->stop_, scanner->holdMs_);
                CloseHandle(held);
            }
        } while (WaitForSingleObject(scanner->stop_, 5) == WAIT_TIMEOUT);
        return 0;
    }
    fs::path file_;
    DWORD holdMs_;
    bool sharesDelete_;
    HANDLE stop_;
    HANDLE thread_;
};

int Hold(const char* file) {
    HANDLE held = CreateFileA(file, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    HANDLE ready = OpenEventA(EVENT_ALL_ACCESS, FALSE, "vk7-holder-ready");
    HANDLE release = OpenEventA(EVENT_ALL_ACCESS, FALSE, "vk7-holder-release");
    SetEvent(ready);
    WaitForSingleObject(release, 60000);
    CloseHandle(held);
    return 0;
}

class FaultMatrix : public FormFixture, public ::testing::WithParamInterface<Row> {
  protected:
    void SetUp() override {
        FormFixture::SetUp();
        // As strict as the strictest provider: a second initialisation
        // before an uninitialisation is refused, so a run that leaves its
        // session open shows in the run after it.
        device.set("VK7SIM_REFUSE_REINIT", "1");
        for (const char* name : kDeviceNames) {
            WriteFileBytes(device.appFolder() / name, Old(name));
        }
    }
    // The window and the device as before a first run.
    void Restore() {
        pda::PdaDisconnect();
        for (const char* name : kDeviceNames) {
            SetFileAttributesW((device.appFolder() / name).wstring().c_str(),
                               FILE_ATTRIBUTE_NORMAL);
            std::error_code ignored;
            fs::remove_all(device.appFolder() / name, ignored);
            WriteFileBytes(device.appFolder() / name, Old(name));
        }
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        SetWindowTextA(form.Label1(), "");
        fs::remove(device.logPath());
        SimReset();
    }
    void Click() {
        SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(form.BitBtn1()));
    }
    static bool IsFolder(const std::string& name, Condition condition) {
        return (condition == Condition::FolderForSettingsFile && name == kSettings) ||
               (condition == Condition::FolderForApplication && name == kApplication);
    }
    void Arrange(Condition condition) const {
        const fs::path app = device.appFolder();
        switch (condition) {
        case Condition::None:
            break;
        case Condition::ApplicationReadOnly:
            SetFileAttributesW((app / kApplication).wstring().c_str(), FILE_ATTRIBUTE_READONLY);
            break;
        case Condition::FolderForSettingsFile:
        case Condition::FolderForApplication: {
            const fs::path folder =
                app / (condition == Condition::FolderForSettingsFile ? kSettings : kApplication);
            fs::remove(folder);
            fs::create_directories(folder / "inside");
            WriteFileBytes(folder / "inside" / "note.txt", "the user's");
            break;
        }
        }
    }
    void Undo(Condition condition) const {
        if (condition == Condition::FolderForSettingsFile ||
            condition == Condition::FolderForApplication) {
            const std::string name =
                condition == Condition::FolderForSettingsFile ? kSettings : kApplication;
            fs::remove_all(device.appFolder() / name);
            WriteFileBytes(device.appFolder() / name, Old(name));
        }
    }
    static constexpr const char* kApplication = "KestrovaCE.exe";
    static constexpr const char* kSettings = "Kestrova1.def";
};

// Whether `file` can be opened with no sharing: nobody holds it.
bool Unheld(const fs::path& file) {
    HANDLE h = CreateFileA(file.string().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

TEST_P(FaultMatrix, NothingIsLost) {
    const Row& row = GetParam();
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const auto& [name, value] : row.settings) {
        env.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    std::string tempDirectory = temp.str();
    std::unique_ptr<FileHolder> holder;
    switch (row.temp) {
    case Temp::Normal:
    case Temp::ScannedBriefly: // the scanner starts after the warm-up run
    case Temp::ScannedNearlyThreeSeconds:
    case Temp::ScannedForGood:
    case Temp::ItemScratchUndeletable:
    case Temp::ManifestScratchUndeletable:
        break;
    case Temp::Missing:
        tempDirectory = (temp.path() / "missing").string();
        break;
    case Temp::AFile:
        tempDirectory = (temp.path() / "file").string();
        WriteFileBytes(tempDirectory, "a file, not a folder");
        break;
    case Temp::Long:
        tempDirectory = (temp.path() / std::string(250 - temp.str().size(), 'L')).string();
        fs::create_directories(tempDirectory);
        break;
    case Temp::ItemScratchHeldElsewhere:
        holder = std::make_unique<FileHolder>(temp.path() / "8194b.tmp");
        ASSERT_TRUE(holder->ready) << "the process holding the scratch file did not start";
        break;
    }
    ScopedEnv tmpEnv("TMP", tempDirectory), tempEnv("TEMP", tempDirectory);
    if (row.library == Library::NoSearch) {
        rapi::ResetForTesting(rapi::Loader{ProductionLoad, WithoutSearch});
    }
    Arrange(row.condition);

    // A first run sets up what a process sets up once (libraries, the first
    // message box); leaks show against the second.
    {
        BoxCatcher warmUp;
        Click();
        Restore();
    }
    Arrange(row.condition); // the warm-up run may have changed it
    const auto before = Snapshot(device.appFolder());
    std::unique_ptr<Scanner> scanner;
    const fs::path scanned = temp.path() / "8194b.tmp";
    switch (row.temp) {
    case Temp::ScannedBriefly:
        scanner = std::make_unique<Scanner>(scanned, 500, true);
        break;
    case Temp::ScannedNearlyThreeSeconds:
        scanner = std::make_unique<Scanner>(scanned, 2500, true);
        break;
    case Temp::ScannedForGood:
        scanner = std::make_unique<Scanner>(scanned, INFINITE, true);
        break;
    case Temp::ItemScratchUndeletable:
        scanner = std::make_unique<Scanner>(scanned, INFINITE, false);
        break;
    case Temp::ManifestScratchUndeletable:
        scanner = std::make_unique<Scanner>(temp.path() / "8194a.tmp", INFINITE, false);
        break;
    default:
        break;
    }
    const auto probeBefore = ProbeHandleValue();
    BoxCatcher caught;
    const ULONGLONG clickStart = GetTickCount64();
    Click();
    const ULONGLONG clickMs = GetTickCount64() - clickStart;
    scanner.reset();
    if (row.temp == Temp::ScannedForGood) {
        // The first item, then about 3 s of waiting for the second's scratch
        // file, not much more.
        EXPECT_LT(clickMs, 8000u);
    }
    // Leaks are measured before the checks below, which open files of their
    // own. Whatever ended the run, the connection is closed.
    const int deviceHandles = SimOpenHandles();
    EXPECT_FALSE(SimSessionOpen());
    rapi::ResetForTesting(rapi::ProductionLoader());
    const auto probeAfter = ProbeHandleValue();

    // What the user saw, in order, and the window afterwards.
    const auto texts = caught.texts();
    ASSERT_EQ(texts.size(), row.boxes.size()) << (texts.empty() ? "" : texts.front());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_TRUE(Matches(texts[i], row.boxes[i])) << texts[i];
    }
    EXPECT_EQ(Status(), row.status);
    EXPECT_EQ(Caption(), row.caption);
    EXPECT_TRUE(Enabled());

    if (row.untouched) {
        EXPECT_EQ(Snapshot(device.appFolder()), before);
    }
    // Every device file is the old one, the whole new one, or the one whose
    // failure the user was told of.
    for (const char* name : kDeviceNames) {
        if (IsFolder(name, row.condition)) {
            continue;
        }
        SCOPED_TRACE(name);
        const std::string now = ReadFileBytes(device.appFolder() / name);
        const bool isNew = now == ReadFileBytes(PayloadFile(name));
        const bool mustBeNew =
            std::find(row.installed.begin(), row.installed.end(), name) != row.installed.end();
        if (name == row.faulted) {
            EXPECT_NE(now, Old(name));
            const bool told = std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
                return t == kWriteFailed || t == kDeviceFull || t.find(name) != std::string::npos;
            });
            EXPECT_TRUE(told) << "nothing said of the damaged file";
        } else if (mustBeNew) {
            EXPECT_TRUE(isNew);
        } else {
            EXPECT_EQ(now, Old(name));
        }
    }

    // Scratch files: the item's is always gone or unheld; the manifest's stays
    // only where an error ended the run.
    holder.reset();
    const fs::path manifestScratch = fs::path(tempDirectory) / "8194a.tmp";
    const fs::path itemScratch = fs::path(tempDirectory) / "8194b.tmp";
    EXPECT_EQ(fs::exists(manifestScratch), row.manifestScratchLeft);
    // One that could not be deleted is named in the run log for support.
    if (row.temp == Temp::ItemScratchUndeletable || row.temp == Temp::ManifestScratchUndeletable) {
        const fs::path left =
            row.temp == Temp::ItemScratchUndeletable ? itemScratch : manifestScratch;
        const std::string logged = LastRunLogged();
        EXPECT_NE(logged.find("\r\nScratch file left: " + left.string() + ", error "),
                  std::string::npos)
            << logged;
    }
    for (const auto& scratch : {manifestScratch, itemScratch}) {
        if (fs::exists(scratch)) {
            EXPECT_TRUE(Unheld(scratch)) << scratch;
        }
    }

    EXPECT_EQ(deviceHandles, 0);
    EXPECT_LE(probeAfter, probeBefore);

    if (row.repairs) {
        env.clear();
        Undo(row.condition);
        BoxCatcher repairing;
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        Click();
        EXPECT_TRUE(repairing.texts().empty()) << repairing.texts().front();
        EXPECT_EQ(Status(), "Upgrade Complete");
        for (const char* name : kDeviceNames) {
            EXPECT_EQ(ReadFileBytes(device.appFolder() / name), ReadFileBytes(PayloadFile(name)))
                << name;
        }
    }
}

std::vector<std::string> AllBut(const std::vector<std::string>& excluded) {
    std::vector<std::string> names;
    for (const char* name : kDeviceNames) {
        if (std::find(excluded.begin(), excluded.end(), name) == excluded.end()) {
            names.push_back(name);
        }
    }
    return names;
}

// A device with 100 KB free beside the old files, one cluster each.
constexpr unsigned long long kCluster = 4096;
constexpr unsigned long long kNearlyFull = 9 * kCluster + 100 * 1024;

// The KB a run is short of on a device of `capacity`: the room it needs is
// the payload less the old files (every item grows), plus a cluster each.
unsigned long long ShortfallKb(unsigned long long capacity) {
    unsigned long long needed = 9 * kCluster;
    for (const char* name : kDeviceNames) {
        needed += fs::file_size(PayloadFile(name)) - Old(name).size();
    }
    const unsigned long long free = capacity - 9 * kCluster;
    return (needed - free + 1023) / 1024;
}

const std::string kFirst = "KestrovaCE.exe";                    // 2125824 bytes: 67 chunks
const std::string kMiddle = "Vesko-Plinto-4-HighContrast.par1"; // 607102 bytes: 19 chunks
const std::string kLast = "FontSizes2.def";                     // 250 bytes: 1 chunk

// A failed write of `file`, or of its close, which commits it: the others
// are copied, and the next run repairs it.
Row WriteFault(const char* name, const std::string& file, int write,
               const char* setting = "VK7SIM_WRITE_FAULT") {
    return Row{name,
               {{setting, write > 0 ? file + ":" + std::to_string(write) : file}},
               Temp::Normal,
               Library::Full,
               {kWriteFailed, kCopyError},
               "Error Copying Files",
               "Press to Exit",
               AllBut({file}),
               file,
               false,
               Condition::None,
               false,
               true};
}

std::vector<Row> Rows() {
    std::vector<Row> rows = {
        WriteFault("FirstItemFirstChunk", kFirst, 1),
        WriteFault("FirstItemMiddleChunk", kFirst, 30),
        WriteFault("FirstItemLastChunk", kFirst, 67),
        WriteFault("MiddleItemFirstChunk", kMiddle, 1),
        WriteFault("MiddleItemMiddleChunk", kMiddle, 10),
        WriteFault("MiddleItemLastChunk", kMiddle, 19),
        WriteFault("LastItemOnlyChunk", kLast, 1),
        WriteFault("LastItemClosingEmptyWrite", kLast, 2),
        WriteFault("LastItemsCloseFails", kLast, 0, "VK7SIM_CLOSE_FAULT"),
    };
    const std::vector<std::string> none;
    rows.push_back({"UnpluggedMidItem",
                    {{"VK7SIM_UNPLUG_AFTER_BYTES", "3000000"}},
                    Temp::Normal,
                    Library::Full,
                    {LostWhileCopying("Vesko-Plinto-4-UTM.par1")},
                    "Error Copying Files",
                    "Press to Exit",
                    {kFirst, "Vesko-Plinto-4.par1"},
                    "Vesko-Plinto-4-UTM.par1",
                    false,
                    Condition::None,
                    false,
                    true});
    rows.push_back({"UnpluggedAtTheLastItemsClose",
                    {{"VK7SIM_CLOSE_UNPLUG", kLast}},
                    Temp::Normal,
                    Library::Full,
                    {LostWhileCopying(kLast)},
                    "Error Copying Files",
                    "Press to Exit",
                    AllBut({kLast}),
                    kLast,
                    false,
                    Condition::None,
                    false,
                    true});
    // The check before the first byte: a refused run leaves the device as it
    // was and the button as it was, and once the cause is gone a run repairs.
    const auto refused =
        [&](const char* name, std::vector<std::pair<std::string, std::string>> settings,
            Condition condition, std::string box, Library library = Library::Full) {
            Row row{name,
                    std::move(settings),
                    Temp::Normal,
                    library,
                    {std::move(box)},
                    "",
                    "Press to Upgrade",
                    none,
                    "",
                    false,
                    condition,
                    true,
                    true};
            return row;
        };
    rows.push_back(refused("ApplicationRunning", {{"VK7SIM_BUSY", "KestrovaCE.exe"}},
                           Condition::None, kRunning));
    rows.push_back(refused("SettingsFileHeldOpen", {{"VK7SIM_BUSY", "Kestrova2.def"}},
                           Condition::None, kRunning));
    rows.push_back(refused("StorageNearlyFull", {{"VK7SIM_CAPACITY", std::to_string(kNearlyFull)}},
                           Condition::None, NoRoom(ShortfallKb(kNearlyFull))));
    rows.push_back(refused("FolderInASettingsFilesPlace", {}, Condition::FolderForSettingsFile,
                           CannotReplace("Kestrova1.def")));
    rows.push_back(refused("FolderInTheApplicationsPlace", {}, Condition::FolderForApplication,
                           kNotInstalled));
    rows.push_back(refused("LibraryWithoutTheSearch", {}, Condition::None,
                           NotFound(Incomplete("CeFindFirstFile")), Library::NoSearch));
    rows.back().repairs = false; // the library stays as it is
    rows.push_back({"ReadOnlyApplicationIsReplaced",
                    {},
                    Temp::Normal,
                    Library::Full,
                    {},
                    "Upgrade Complete",
                    "Press to Exit",
                    AllBut({}),
                    "",
                    false,
                    Condition::ApplicationReadOnly});
    // Where the device cannot tell its free space, a full device stops the
    // copy: the file being written is lost, the later ones keep their old bytes.
    rows.push_back(
        {"StorageFullWithoutFreeSpaceQuery",
         {{"VK7SIM_CAPACITY", std::to_string(kNearlyFull)}, {"VK7SIM_FREE_SPACE_FAILS", "1"}},
         Temp::Normal,
         Library::Full,
         {kDeviceFull},
         "Error Copying Files",
         "Press to Exit",
         none,
         kFirst,
         false,
         Condition::None,
         false,
         true});
    rows.push_back({"TemporaryDirectoryMissing",
                    {},
                    Temp::Missing,
                    Library::Full,
                    {"Cannot create file \"..."},
                    "",
                    "Press to Upgrade",
                    none,
                    "",
                    false});
    rows.push_back({"TemporaryDirectoryNotWritable",
                    {},
                    Temp::AFile,
                    Library::Full,
                    {"Cannot create file \"..."},
                    "",
                    "Press to Upgrade",
                    none,
                    "",
                    false});
    // The whole path is used. Wine's wide file calls take a scratch path
    // past MAX_PATH (Windows without long paths refuses it with the error
    // box of the rows above, nothing touched): the upgrade completes.
    rows.push_back({"TemporaryDirectoryLongerThan249",
                    {},
                    Temp::Long,
                    Library::Full,
                    {},
                    "Upgrade Complete",
                    "Press to Exit",
                    AllBut({}),
                    "",
                    false});
    rows.push_back({"ItemScratchScannedForMoments",
                    {},
                    Temp::ScannedBriefly,
                    Library::Full,
                    {},
                    "Upgrade Complete",
                    "Press to Exit",
                    AllBut({}),
                    "",
                    false});
    rows.push_back({"ItemScratchScannedForNearlyThreeSeconds",
                    {},
                    Temp::ScannedNearlyThreeSeconds,
                    Library::Full,
                    {},
                    "Upgrade Complete",
                    "Press to Exit",
                    AllBut({}),
                    "",
                    false});
    // Held past the wait from the first item's copy on: the second item's
    // scratch file cannot be made once the first item has changed the device.
    rows.push_back({"ItemScratchScannedForGood",
                    {},
                    Temp::ScannedForGood,
                    Library::Full,
                    {"Cannot create file \"..."},
                    "Error Copying Files",
                    "Press to Exit",
                    {kFirst},
                    "",
                    true,
                    Condition::None,
                    false,
                    true});
    // Held without delete sharing: the first item's scratch file cannot be
    // deleted once that item is on the device (the link slowed so that the
    // scanner has it before the copy ends). It is left, and the second
    // item's unpack cannot replace it.
    rows.push_back({"ItemScratchUndeletable",
                    {{"VK7SIM_LINK_BPS", "4000000"}},
                    Temp::ItemScratchUndeletable,
                    Library::Full,
                    {"Cannot create file \"..."},
                    "Error Copying Files",
                    "Press to Exit",
                    {kFirst},
                    "",
                    true,
                    Condition::None,
                    false,
                    true});
    // The manifest's, after every item was copied: the device is whole, and
    // the file is left for the next run to replace.
    rows.push_back({"ManifestScratchUndeletableAfterACompleteCopy",
                    {},
                    Temp::ManifestScratchUndeletable,
                    Library::Full,
                    {},
                    "Upgrade Complete",
                    "Press to Exit",
                    AllBut({}),
                    "",
                    true});
    // A scratch file that cannot be deleted never hides how the run went:
    // each box is the one the run shows without the scanner.
    rows.push_back({"ItemScratchUndeletableAndUnpluggedInThatItem",
                    {{"VK7SIM_LINK_BPS", "1000000"}, {"VK7SIM_UNPLUG_AFTER_BYTES", "600000"}},
                    Temp::ItemScratchUndeletable,
                    Library::Full,
                    {LostWhileCopying(kFirst)},
                    "Error Copying Files",
                    "Press to Exit",
                    none,
                    kFirst,
                    false,
                    Condition::None,
                    false,
                    true});
    rows.push_back({"ManifestScratchUndeletableAndUnpluggedMidItem",
                    {{"VK7SIM_UNPLUG_AFTER_BYTES", "3000000"}},
                    Temp::ManifestScratchUndeletable,
                    Library::Full,
                    {LostWhileCopying("Vesko-Plinto-4-UTM.par1")},
                    "Error Copying Files",
                    "Press to Exit",
                    {kFirst, "Vesko-Plinto-4.par1"},
                    "Vesko-Plinto-4-UTM.par1",
                    true,
                    Condition::None,
                    false,
                    true});
    // Each device call slowed, so that the scanner holds the manifest's
    // scratch file before the check refuses.
    rows.push_back(refused("ManifestScratchUndeletableAndApplicationRunning",
                           {{"VK7SIM_BUSY", "KestrovaCE.exe"}, {"VK7SIM_CALL_DELAY_MS", "50"}},
                           Condition::None, kRunning));
    rows.back().temp = Temp::ManifestScratchUndeletable;
    rows.back().manifestScratchLeft = true;
    rows.push_back({"ItemScratchHeldByAnotherProcess",
                    {},
                    Temp::ItemScratchHeldElsewhere,
                    Library::Full,
                    {"Cannot create file \"..."},
                    "",
                    "Press to Upgrade",
                    none,
                    "",
                    true});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FormFixture, FiftyRunsInARowStayFlat) {
    const auto run = [&] {
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        form.BitBtn1Click();
        ASSERT_EQ(Status(), "Upgrade Complete");
    };
    device.set("VK7SIM_LOG", ""); // the log would grow by itself
    run();
    const auto handle = ProbeHandleValue();
    const auto memory = PrivateCommittedBytes();
    for (int i = 0; i < 50; ++i) {
        run();
    }
    EXPECT_LE(ProbeHandleValue(), handle);
    EXPECT_LT(PrivateCommittedBytes(), memory + 256 * 1024);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_FALSE(ScratchLeft());
    EXPECT_EQ(SimOpenHandles(), 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) {
        return Hold(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
