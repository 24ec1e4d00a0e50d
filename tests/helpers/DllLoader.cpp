// Loads a DLL by its bare name, in the loader's plain search order, as a static import of it
// would be looked for; the planted-DLL test uses it to show that its DLL runs where it is found:
//   dll_loader NAME
// Exit code 0 when the DLL loaded, 1 when not, 2 on a wrong command line.

#include "HelperSupport.h"

int main() {
    const std::vector<std::wstring> arguments = GetArguments();
    if (arguments.size() != 1) {
        return 2;
    }
    const CModule module(LoadLibraryW(arguments[0].c_str()));
    return module.IsValid() ? 0 : 1;
}
