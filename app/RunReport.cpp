#include "app/RunReport.h"

#include "rapi/rapi.h"
#include "win/LateBound.h"
#include "win/RunLog.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace app::report {
namespace {

using win::runlog::Line;
using win::runlog::Utf8FromAnsi;
using win::runlog::Utf8FromWide;

std::string Format(const char* format, auto... values) {
    char text[256];
    const int n = std::snprintf(text, sizeof text, format, values...);
    return std::string(text, n > 0 ? std::min<std::size_t>(n, sizeof text - 1) : 0);
}

std::string Hex(long value) {
    return Format("0x%08lX", static_cast<unsigned long>(value));
}

// ISO 8601 local time with its offset from UTC.
std::string LocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    TIME_ZONE_INFORMATION zone{};
    const DWORD mode = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias + (mode == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                             : mode == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                             : 0);
    const char sign = bias > 0 ? '-' : '+'; // the bias is UTC less local time
    bias = bias < 0 ? -bias : bias;
    return Format("%04u-%02u-%02uT%02u:%02u:%02u%c%02ld:%02ld", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, sign, bias / 60, bias % 60);
}

std::string WindowsLine() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    std::string line = "Windows: ";
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        line += Format("%lu.%lu build %lu", version.dwMajorVersion, version.dwMinorVersion,
                       version.dwBuildNumber);
        line += version.szCSDVersion[0] != L'\0' ? ", " + Utf8FromWide(version.szCSDVersion)
                                                 : std::string(", no service pack");
    } else {
        line += "version unknown";
    }
    BOOL wow64 = FALSE;
    if (sizeof(void*) == 8) {
        line += ", 64-bit program";
    } else if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        line += ", 32-bit program under WOW64";
    } else {
        line += ", 32-bit program on 32-bit Windows";
    }
    return line;
}

std::string FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = win::late::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !win::late::GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !win::late::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr) {
        return "no version";
    }
    return Format("version %lu.%lu.%lu.%lu", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                  LOWORD(fixed->dwFileVersionLS));
}

std::string LibraryLine() {
    if (!rapi::LoadRapi()) {
        return "Connection software: RAPI.DLL not loaded, error " +
               std::to_string(rapi::LoadError());
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(rapi::LoadedLibrary(), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return "Connection software: RAPI.DLL, path unknown";
    }
    return "Connection software: " + Utf8FromWide(path) + ", " + FileVersion(path);
}

std::string EntryText(const pda::DeviceEntry& entry) {
    switch (entry.kind) {
    case pda::DeviceEntry::Absent:
        return "absent";
    case pda::DeviceEntry::File:
        return Format("%llu bytes, attributes 0x%02lX", entry.size,
                      static_cast<unsigned long>(entry.attributes));
    case pda::DeviceEntry::Folder:
        return "a folder";
    case pda::DeviceEntry::Unknown:
        return "unknown";
    case pda::DeviceEntry::Lost:
        return "the link went down";
    }
    return {};
}

std::string FailureText(const pda::CopyFailure& failure) {
    switch (failure.kind) {
    case pda::CopyFailure::None:
        break;
    case pda::CopyFailure::SourceUnreadable:
        return "the scratch file could not be read";
    case pda::CopyFailure::Refused:
        return "refused, device error " + std::to_string(failure.deviceError) + ", link up (" +
               Hex(failure.linkError) + ")";
    case pda::CopyFailure::StorageFull:
        return "storage full, device error " + std::to_string(failure.deviceError);
    case pda::CopyFailure::LinkLost:
        return "the link went down (" + Hex(failure.linkError) + ")";
    }
    return {};
}

} // namespace

void BeginRun() {
    win::runlog::Guarded([&] {
        win::runlog::Begin(LocalTime() + " VeskoUpgrade " VESKO_VERSION_TEXT " " +
                           (sizeof(void*) == 8 ? "x86_64" : "i686"));
        Line(WindowsLine());
        Line(LibraryLine());
    });
}

void Connection() {
    win::runlog::Guarded([&] {
        const std::string waited = "Connection: " + std::to_string(pda::PdaConnectMs) + " ms, ";
        if (pda::PdaConnected) {
            Line(waited + "connected");
        } else if (pda::PdaConnectError != 0) {
            Line(waited + "error " + Hex(pda::PdaConnectError));
        } else {
            Line(waited + "no device answered");
        }
    });
}

void Doctor(const ServiceFinding& finding) {
    win::runlog::Guarded([&] {
        static const char* const kinds[] = {"nothing", "disabled", "not running",
                                            "running as another account"};
        std::string line = "Connection doctor: ";
        line += finding.kind == ServiceFinding::None
                    ? "found nothing in Windows Mobile Device Center's services"
                    : "\"" + Utf8FromAnsi(finding.displayName) + "\" " + kinds[finding.kind];
        if (finding.kind == ServiceFinding::WrongAccount) {
            line += " (" + Utf8FromAnsi(finding.account) + ")";
        }
        static const char* const splits[] = {
            "", "; services in processes of their own: seen", "; services sharing a process: seen",
            "; services in processes of their own: predicted from the memory",
            "; services sharing a process: predicted from the memory"};
        Line(line + splits[finding.split]);
    });
}

void Device(const NotIdentified& answer) {
    win::runlog::Guarded([&] {
        if (answer.cause == NotIdentified::LinkLost || answer.cause == NotIdentified::DeviceError) {
            Line("Device: did not tell its version, error " + Hex(answer.error));
            return;
        }
        Line(Format("Device: Windows CE %lu, screen %d mm and %d pixels high",
                    static_cast<unsigned long>(answer.osMajor), answer.screenMm, answer.screenPx));
    });
}

void Check(const std::vector<pda::PdaTarget>& targets, const std::vector<pda::DeviceEntry>& seen,
           const std::string& refusal) {
    win::runlog::Guarded([&] {
        for (std::size_t i = 0; i < seen.size() && i < targets.size(); ++i) {
            Line("Check: " + Utf8FromAnsi(targets[i].path) + ": " + EntryText(seen[i]));
        }
        Line(refusal.empty() ? "Check: every file can be replaced"
                             : "Check: refused: " + Utf8FromAnsi(refusal));
    });
}

void Item(const std::string& deviceName, unsigned long long bytes, unsigned long long ms,
          bool copied, const pda::CopyFailure& failure) {
    win::runlog::Guarded([&] {
        Line((copied ? "Copied " : "Failed ") + Utf8FromAnsi(deviceName) + ": " +
             std::to_string(bytes) + " bytes in " + std::to_string(ms) + " ms" +
             (copied ? "" : ", " + FailureText(failure)));
    });
}

void EndRun(const std::string& status) {
    win::runlog::Guarded([&] {
        Line("Status: " + Utf8FromAnsi(status));
        win::runlog::End();
    });
}

} // namespace app::report
