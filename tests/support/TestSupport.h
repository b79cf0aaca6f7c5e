// What the tests share: a scratch folder, environment settings undone at the
// end of a test, the simulated device's controls and call log, captured
// message boxes, and leak probes that work under Wine.
#pragma once

#include "support/Probes.h"

#include <windows.h>

#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh folder under the temporary directory, removed at the end.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    fs::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_;
};

void WriteFileBytes(const fs::path& path, const std::string& bytes);
std::string ReadFileBytes(const fs::path& path);
// Every file and folder under `folder` with its bytes ("<folder>" for a
// folder) and whether it is read-only, to tell that nothing changed.
std::map<std::string, std::string> Snapshot(const fs::path& folder);
std::string Pattern(std::size_t size, unsigned seed = 1);

// One line of the simulated device's call log.
struct LogEntry {
    std::string function;
    std::string subject; // device path, handle or index
    long long bytes;
    long long result;
    std::string detail; // arguments some calls log, e.g. CeCreateFile's
};
std::vector<LogEntry> ReadCallLog(const fs::path& log);
std::vector<LogEntry> Calls(const std::vector<LogEntry>& log, const std::string& function);

// Controls of the simulated device loaded in this process: its open
// handles, whether a session is open (initialised, not yet uninitialised),
// its last error as an earlier call would leave it, and a reset.
int SimOpenHandles();
bool SimSessionOpen();
void SimSetLastError(DWORD error);
void SimReset();

// A simulated VK7 for one test: its device folder (with the application
// folder ResidentFlash\VKNAV) and its call log, set through the environment.
class SimDevice {
  public:
    SimDevice();
    fs::path appFolder() const { return root() / "ResidentFlash" / "VKNAV"; }
    fs::path root() const { return dir_.path() / "device"; }
    fs::path logPath() const { return dir_.path() / "calls.log"; }
    std::vector<LogEntry> log() const { return ReadCallLog(logPath()); }
    void installApplication(const std::string& bytes = "old KestrovaCE") const;
    void set(const std::string& name, const std::string& value);

  private:
    ScratchDir dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// A captured message box: its text, caption and icon.
struct Box {
    std::string text;
    std::string caption;
    std::string icon; // "information", "stop", "none", ...
    HWND owner = nullptr;
};

// Captures the message boxes this thread shows and presses OK on each.
// `onBox` runs while the box is up (before it is answered).
class BoxCatcher {
  public:
    BoxCatcher();
    ~BoxCatcher();
    BoxCatcher(const BoxCatcher&) = delete;
    BoxCatcher& operator=(const BoxCatcher&) = delete;
    const std::vector<Box>& boxes() const;
    std::vector<std::string> texts() const;
    std::function<void(const Box&)> onBox;

  private:
    BoxCatcher* previous_;
    HHOOK hook_;
};

// The folder holding the running test program, its name without extension
// (the title its boxes carry), and the source tree's root.
fs::path ProgramFolder();
std::string ProgramName();
// The VeskoUpgrade.exe the end-to-end tests drive: VESKO_E2E_EXE when set
// (a release package's), else the one of this build.
std::string ProductExe();
fs::path SourceRoot();

// Why the device was not found, after the first line and a blank one.
inline constexpr const char* kNotFound = "Vesko Navigator not found.";
inline std::string NotFound(const std::string& cause) {
    return std::string(kNotFound) + "\n\n" + cause;
}
inline constexpr const char* kNoSoftware =
    "This computer has no ActiveSync connection software. Install ActiveSync (Windows XP) or "
    "Windows Mobile Device Center (Windows Vista and later), then press the button again.";
inline std::string Incomplete(const std::string& names) {
    return "The ActiveSync connection software on this computer is incomplete: it lacks " + names +
           ". Reinstall ActiveSync or Windows Mobile Device Center, then press the button again.";
}
inline std::string ProviderError(const std::string& hex) {
    return "The connection software reported error " + hex +
           ". Disconnect the Vesko Navigator and connect it again, then press the button again.";
}
inline constexpr const char* kNoAnswer =
    "No device answered within 5 seconds. Connect the Vesko Navigator with its cable and wait "
    "until ActiveSync or Windows Mobile Device Center shows it as connected, then press the "
    "button again.";
// What stops Windows Mobile Device Center's service DISPLAY, and the fix.
inline std::string ServiceDisabled(const std::string& display) {
    return "Windows Mobile Device Center cannot connect: its service \"" + display +
           "\" is disabled. In Services, open \"" + display +
           "\", set its Startup type to Automatic, choose \"Local System account\" on its Log On "
           "page, and start it. Then connect the Vesko Navigator again and press the button again.";
}
inline std::string ServiceNotRunning(const std::string& display) {
    return "Windows Mobile Device Center cannot connect: its service \"" + display +
           "\" is not running. In Services, open \"" + display +
           "\", choose \"Local System account\" on its Log On page, and start it. Then connect "
           "the Vesko Navigator again and press the button again.";
}
inline std::string ServiceAccount(const std::string& display, const std::string& account) {
    return "Windows Mobile Device Center's service \"" + display + "\" runs as " + account +
           ", which often fails on Windows 10 and later. In Services, open \"" + display +
           "\", choose \"Local System account\" on its Log On page, and restart it. Then "
           "connect the Vesko Navigator again and press the button again.";
}
inline std::string OtherDevice(int version, int pixels, int mm) {
    return "The connected device is not a Vesko Navigator VK7: it reports Windows CE " +
           std::to_string(version) + " and a screen " + std::to_string(pixels) + " pixels and " +
           std::to_string(mm) +
           " mm high. Connect the Vesko Navigator instead, then press the "
           "button again.";
}
// A lost link: before anything on the device changed, and after.
inline constexpr const char* kLost = "The connection to the Vesko Navigator was lost. Nothing on "
                                     "it was changed. Connect it again, then press the button "
                                     "again.";
inline const std::string kCannotConnect =
    std::string("Cannot connect to Vesko Navigator\n\n") + kLost;
inline std::string LostWhileCopying(const std::string& deviceName) {
    return "The connection to the Vesko Navigator was lost while copying " + deviceName +
           ". Its upgrade is not complete. Connect it again, then run this program once more.";
}

// What the user is shown when a copy fails, and at the end of such a run.
inline constexpr const char* kWriteFailed = "Cannot write to Destination file";
inline constexpr const char* kCopyError = "There is an Error copying files - make sure KestrovaCE "
                                          "is not running on the Vesko Navigator.";
inline constexpr const char* kDeviceFull = "There is not enough free space on the Vesko Navigator. "
                                           "Free some space on it, then run the upgrade again.";
// Why the check before the first byte refuses a run.
inline constexpr const char* kRunning = "KestrovaCE is running on the Vesko Navigator. Close it, "
                                        "then press the button again.";
inline std::string NoRoom(unsigned long long kilobytes) {
    return "There is not enough free space on the Vesko Navigator. Free at least " +
           std::to_string(kilobytes) + " KB on it, then press the button again.";
}
inline std::string CannotReplace(const std::string& deviceName) {
    return "Cannot replace " + deviceName + " on the Vesko Navigator.";
}
inline constexpr const char* kNotInstalled = "Cannot find KestrovaCE on the Vesko Navigator";
// After the text of an error that ended a run once the device had changed.
inline constexpr const char* kNotComplete =
    "The upgrade of the Vesko Navigator is not complete. Solve this, then run this program "
    "again: it repairs the upgrade.";

// The device file names of the release payload, in manifest order, and the
// payload file behind one of them (in VESKO_E2E_PAYLOAD when set, the
// folder a release package was built from).
extern const char* const kDeviceNames[9];
fs::path PayloadFile(const std::string& deviceName);

// Where the program loads RAPI.DLL from, and the tests' fixture puts the
// simulated device's: the system directory (syswow64 of the prefix for the
// i686 build).
std::wstring SimLibraryPath();

// Loaders for rapi::ResetForTesting: no library at all, the partial library
// (without CeGetVersionEx and CeWriteFile), and the look-up of entry points.
HMODULE NoLibrary(const char* name);
HMODULE PartialLibrary(const char* name);
FARPROC LookUp(HMODULE module, const char* name);

// The last run's block of the run log at `log`, CR LF line ends and all;
// empty where there is none.
std::string LastRunIn(const fs::path& log);

// Processes this thread's messages until `done` or the timeout.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Whether this is the i686 build run under qemu-i386 (scripts/test says so
// in VESKO_I686_MODE).
bool EmulatedI686();

} // namespace testing_support
