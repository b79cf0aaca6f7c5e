#include "pda/DeviceName.h"

#include <windows.h>

namespace pda {

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

} // namespace pda
