#include "pda/Pda.h"

#include "pda/DeviceName.h"

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

} // namespace

bool CopyFileToDevice(const std::string& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten, DWORD* writeError) {
    if (writeError != nullptr) {
        *writeError = 0;
    }
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
    // The scratch file is let go first: the device file's close is a round
    // trip over the link that may take long or fail.
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
        // One write per read, so the empty read at the end of the file gives
        // a write of 0 bytes, which the device takes as a no-op. A short
        // count is a failed write too.
        DWORD written = 0;
        if (!rapi::CeWriteFile(output.get(), buffer.get(), read, &written, nullptr) ||
            written != read) {
            // Asked before the close, which is a call of its own.
            if (writeError != nullptr) {
                *writeError = rapi::CeGetLastError();
            }
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
