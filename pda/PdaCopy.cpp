#include "pda/Pda.h"

#include "rapi/rapi.h"
#include "win/Dialogs.h"
#include "win/FaultInjection.h"
#include "win/ScopedWin.h"

#include <memory>

namespace pda {
namespace {

struct DeviceFileTraits {
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { rapi::CeCloseHandle(h); }
};
using ScopedDeviceFile = win::Scoped<HANDLE, DeviceFileTraits>;

constexpr const char* kWriteFailed = "Cannot write to Destination file";

// The device path as zero-terminated UTF-16 of at most 399 units; false when
// it does not fit, so that nothing is sent under a wrong name.
bool ToDeviceName(const std::string& path, wchar_t* name) {
    int units = 0;
    if (!path.empty()) {
        units = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), name,
                                    kMaxDevicePathUnits);
        if (units == 0) {
            return false;
        }
    }
    name[units] = L'\0';
    return true;
}

} // namespace

bool CopyFileToDevice(const std::string& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten) {
    const auto buffer = std::make_unique<char[]>(kChunkSize);
    win::ScopedHandle input(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!input) {
        return false;
    }
    const auto name = std::make_unique<wchar_t[]>(kNameBufferUnits);
    if (!ToDeviceName(destination, name.get())) {
        return false;
    }
    ScopedDeviceFile output(rapi::CeCreateFile(name.get(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                               CREATE_ALWAYS, 0, nullptr));
    if (!output) {
        return false;
    }
    // The source is closed before the device file, on every path.
    const auto closeBoth = [&] {
        input.reset();
        output.reset();
    };
    for (;;) {
        DWORD read = 0;
        // A failed read is a failed copy, not the end of the file.
        if (win::InjectFault(win::FaultPoint::ScratchRead) ||
            !ReadFile(input.get(), buffer.get(), kChunkSize, &read, nullptr)) {
            closeBoth();
            return false;
        }
        // The last pass writes 0 bytes. A short count is a failed write too.
        DWORD written = 0;
        if (!rapi::CeWriteFile(output.get(), buffer.get(), read, &written, nullptr) ||
            written != read) {
            closeBoth();
            win::ShowMessage(kWriteFailed);
            return false;
        }
        if (read > 0 && chunkWritten) {
            chunkWritten(read);
        }
        win::ProcessMessages();
        if (read == 0) {
            closeBoth();
            return true;
        }
    }
}

} // namespace pda
