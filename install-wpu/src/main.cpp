#include <windows.h>

#include "install-wpu/InstallerMain.h"
#include "install-wpu/MainLogic.h"

namespace {

// Nothing escapes to the system: an exception before InstallerMain's guarded region
// ends the process through std::terminate, that is through the crash hooks.
int run() noexcept {
    InstallerVersion version;
    version.major = 2;
    version.minor = 8;
    version.build = 22;
    version.revision = 0;
    return InstallerMain(version, std::make_unique<MainLogic>());
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return run();
}
