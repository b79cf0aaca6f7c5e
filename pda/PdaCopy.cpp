#include "pda/Pda.h"

#include "pda/DeviceName.h"

#include "rapi/rapi.h"
#include "win/Dialogs.h" // ProcessMessages
#include "win/FaultInjection.h"
#include "win/ScopedWin.h"

#include <memory>

namespace pda {
namespace {

// How a device call of the copy failed; asks the device's error only over
// a link that held, and only where the caller wants to know.
void Report(CopyFailure* failure, bool deviceChanged) {
    if (failure == nullptr) {
        return;
    }
    failure->deviceChanged = deviceChanged;
    if (PdaLinkAfterFailure() == PdaLink::Lost) {
        failure->kind = CopyFailure::LinkLost;
        return;
    }
    failure->deviceError = rapi::CeGetLastError();
    failure->kind =
        failure->deviceError == ERROR_DISK_FULL ? CopyFailure::StorageFull : CopyFailure::Refused;
}

} // namespace

bool CopyFileToDevice(const std::wstring& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten, CopyFailure* failure) {
    if (failure != nullptr) {
        *failure = CopyFailure{};
    }
    const auto unreadable = [&](bool deviceChanged) {
        if (failure != nullptr) {
            *failure = CopyFailure{CopyFailure::SourceUnreadable, deviceChanged};
        }
        return false;
    };
    const auto buffer = std::make_unique<char[]>(kChunkSize);
    win::ScopedHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!input) {
        return unreadable(false);
    }
    const auto name = std::make_unique<wchar_t[]>(kNameBufferUnits);
    if (!ToDeviceName(destination, name.get())) {
        if (failure != nullptr) {
            failure->kind = CopyFailure::Refused;
        }
        return false;
    }
    rapi::ScopedDeviceFile output(rapi::CeCreateFile(name.get(), GENERIC_WRITE, FILE_SHARE_READ,
                                                     nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!output) {
        Report(failure, false);
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
            return unreadable(true);
        }
        // One write per read, so the empty read at the end of the file gives
        // a write of 0 bytes, which the device takes as a no-op. A short
        // count is a failed write too.
        DWORD written = 0;
        if (!rapi::CeWriteFile(output.get(), buffer.get(), read, &written, nullptr) ||
            written != read) {
            // Asked before the close, which is a call of its own.
            Report(failure, true);
            closeBoth();
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
