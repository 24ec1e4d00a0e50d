// Holds a file open without sharing, as a virus scanner or a running program would:
//   file_locker PATH SECONDS [SIGNAL_FOLDER]

#include "HelperSupport.h"

#include "common/FileHelpers.h"
#include "common/Handle.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() < 2) {
        return 2;
    }
    const CFileHandle file(CreateFileW(ToExtendedLengthPath(arguments[0]).c_str(), GENERIC_READ, 0,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return 1;
    }
    HoldUntilStopped(arguments[1], arguments.size() > 2 ? arguments[2] : std::wstring());
    return 0;
}
