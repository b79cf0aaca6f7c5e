#include "pda/Pda.h"

#include "pda/DeviceName.h"

#include "rapi/rapi.h"
#include "win/Dialogs.h" // ProcessMessages
#include "win/FaultInjection.h"
#include "win/ScopedWin.h"

#include <memory>

namespace pda {
namespace {

// How a device call of the copy failed; the device's error is asked only
// over a link that held.
CopyFailure DeviceFailure(bool deviceChanged) {
    HRESULT linkError = 0;
    if (PdaLinkAfterFailure(&linkError) == PdaLink::Lost) {
        return CopyFailure{CopyFailure::LinkLost, deviceChanged, 0, linkError};
    }
    const DWORD error = rapi::CeGetLastError();
    return CopyFailure{error == ERROR_DISK_FULL ? CopyFailure::StorageFull : CopyFailure::Refused,
                       deviceChanged, error, linkError};
}

} // namespace

bool CopyFileToDevice(const std::wstring& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten, CopyFailure* failure) {
    // Every failure returns false and, where the caller asks, says how.
    const auto failed = [&](const CopyFailure& how) {
        if (failure != nullptr) {
            *failure = how;
        }
        return false;
    };
    if (failure != nullptr) {
        *failure = CopyFailure{};
    }
    const auto buffer = std::make_unique<char[]>(kChunkSize);
    win::ScopedHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!input) {
        return failed(CopyFailure{CopyFailure::SourceUnreadable, false});
    }
    const auto name = std::make_unique<wchar_t[]>(kNameBufferUnits);
    if (!ToDeviceName(destination, name.get())) {
        return failed(CopyFailure{CopyFailure::Refused, false});
    }
    rapi::ScopedDeviceFile output(rapi::CeCreateFile(name.get(), GENERIC_WRITE, FILE_SHARE_READ,
                                                     nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!output) {
        return failed(DeviceFailure(false));
    }
    // On the failure paths: the scratch file is let go first, since the
    // device file's close is a round trip over the link that may take long
    // or fail, and its result changes nothing there.
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
            return failed(CopyFailure{CopyFailure::SourceUnreadable, true});
        }
        // One write per read, so the empty read at the end of the file gives
        // a write of 0 bytes, which the device takes as a no-op. A short
        // count is a failed write too.
        DWORD written = 0;
        if (!rapi::CeWriteFile(output.get(), buffer.get(), read, &written, nullptr) ||
            written != read) {
            // Asked before the close, which is a call of its own.
            const CopyFailure how = DeviceFailure(true);
            closeBoth();
            return failed(how);
        }
        if (read > 0 && chunkWritten) {
            chunkWritten(read);
        }
        win::ProcessMessages();
        if (read == 0) {
            // Flash storage commits a file at its close: a failed close is a
            // failed write of the file's last chunk.
            input.reset();
            if (!rapi::CeCloseHandle(output.release())) {
                return failed(DeviceFailure(true));
            }
            return true;
        }
    }
}

} // namespace pda
