// A program of its own for what only a whole process shows: the exit-time deletion of the
// host API object and concurrent first calls. Usage: hoster_api_probe <scenario> <log name>
//   api      asks for the API object; exit code 1 when it is available, else 0
//   threads  two threads ask at once; exit code 0 when both got the same object, else 3
//   restart  registers and restarts the updater's plug-in; exit code 100 when a reboot
//            is requested, else 0
// The log goes to <root>\Korvane\Log\HosterApiProbe\<log name>.log and is left open, so
// that the lines written at exit reach it.
#include <windows.h>

#include "hoster-api/HosterApi.h"
#include "hoster-api/HosterPlugin.h"

#include "logging/Log.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring programDirectory() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

int askTwice() {
    std::atomic<int> ready{0};
    GenericApi<HosterApi>* seen[2] = {nullptr, nullptr};
    const auto ask = [&ready, &seen](int index) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        seen[index] = hosterApi();
    };
    std::thread first(ask, 0);
    std::thread second(ask, 1);
    first.join();
    second.join();
    return seen[0] != nullptr && seen[0] == seen[1] ? 0 : 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    KvZarnLogging::openLog(std::string("HosterApiProbe"), std::string(argv[2]), KvZarnLogging::Verbose, 0);
    const std::string scenario = argv[1];
    if (scenario == "api") {
        return hosterApi()->isAvailable() ? 1 : 0;
    }
    if (scenario == "threads") {
        return askTwice();
    }
    if (scenario == "restart") {
        registerHosterPlugin(L"WispWPUPlugin", hosterPluginLibraryPath(programDirectory()), 0, {}, {});
        HosterPlugin plugin(0, L"WispWPUPlugin");
        plugin.restart();
        return plugin.rebootRequested() ? 100 : 0;
    }
    return 2;
}
