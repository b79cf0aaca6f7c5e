#include "app/Messages.h"

#include <cstdio>

namespace app {
namespace {

std::string Hex(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX",
                  static_cast<unsigned long>(static_cast<DWORD>(code)));
    return text;
}

std::string Cause(const NotIdentified& why) {
    switch (why.cause) {
    case NotIdentified::None:
        break;
    case NotIdentified::NoLibrary:
        return "This computer has no ActiveSync connection software. Install ActiveSync (Windows "
               "XP) or Windows Mobile Device Center (Windows Vista and later), then press the "
               "button again.";
    case NotIdentified::MissingEntryPoints:
        return "The ActiveSync connection software on this computer is incomplete: it lacks " +
               why.missing +
               ". Reinstall ActiveSync or Windows Mobile Device Center, then press the button "
               "again.";
    case NotIdentified::ConnectionRefused:
    case NotIdentified::DeviceError:
        return "The connection software reported error " + Hex(why.error) +
               ". Disconnect the Vesko Navigator and connect it again, then press the button "
               "again.";
    case NotIdentified::NoAnswer:
        return "No device answered within 5 seconds. Connect the Vesko Navigator with its cable "
               "and wait until ActiveSync or Windows Mobile Device Center shows it as connected, "
               "then press the button again.";
    case NotIdentified::OtherDevice:
        return "The connected device is not a Vesko Navigator VK7: it reports Windows CE " +
               std::to_string(why.osMajor) + " and a screen " + std::to_string(why.screenPx) +
               " pixels and " + std::to_string(why.screenMm) +
               " mm high. Connect the Vesko Navigator instead, then press the button again.";
    case NotIdentified::LinkLost:
        return kLinkLost;
    }
    return {};
}

// What stops Windows Mobile Device Center's service, and the fix.
std::string ServiceCause(const ServiceFinding& finding) {
    const std::string name = "\"" + finding.displayName + "\"";
    const std::string again = "Then connect the Vesko Navigator again and press the button again.";
    switch (finding.kind) {
    case ServiceFinding::None:
        break;
    case ServiceFinding::Disabled:
        return "Windows Mobile Device Center cannot connect: its service " + name +
               " is disabled. In Services, open " + name +
               ", set its Startup type to Automatic, choose \"Local System account\" on its Log "
               "On page, and start it. " +
               again;
    case ServiceFinding::NotRunning:
        return "Windows Mobile Device Center cannot connect: its service " + name +
               " is not running. In Services, open " + name +
               ", choose \"Local System account\" on its Log On page, and start it. " + again;
    case ServiceFinding::WrongAccount:
        return "Windows Mobile Device Center's service " + name + " runs as " + finding.account +
               ", which often fails on Windows 10 and later. In Services, open " + name +
               ", choose \"Local System account\" on its Log On page, and restart it. " + again;
    }
    return {};
}

} // namespace

std::string NotFoundText(const NotIdentified& why) {
    const bool noLink =
        why.cause == NotIdentified::NoAnswer || why.cause == NotIdentified::ConnectionRefused;
    const std::string cause =
        noLink && why.service.kind != ServiceFinding::None ? ServiceCause(why.service) : Cause(why);
    return cause.empty() ? kNotFound : std::string(kNotFound) + "\n\n" + cause;
}

std::string CannotConnectText() {
    return std::string(kCannotConnect) + "\n\n" + kLinkLost;
}

std::string LostWhileCopyingText(const std::string& deviceName) {
    return "The connection to the Vesko Navigator was lost while copying " + deviceName +
           ". Its upgrade is not complete. Connect it again, then run this program once more.";
}

std::string NoRoomText(unsigned long long shortfallBytes) {
    return "There is not enough free space on the Vesko Navigator. Free at least " +
           std::to_string((shortfallBytes + 1023) / 1024) +
           " KB on it, then press the button again.";
}

std::string CannotReplaceText(const std::string& deviceName) {
    return "Cannot replace " + deviceName + " on the Vesko Navigator.";
}

} // namespace app
