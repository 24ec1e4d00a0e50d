// A process that only runs; copied under another name it stands in for that program, such as
// the browser that the updater looks for:
//   standin SECONDS [SIGNAL_FOLDER]

#include "HelperSupport.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.empty()) {
        return 2;
    }
    HoldUntilStopped(arguments[0], arguments.size() > 1 ? arguments[1] : std::wstring());
    return 0;
}
