// A program of its own for what only a whole process shows: the exit-time deletion of the
// host API object and concurrent first calls. Usage: hoster_api_probe <scenario> <log name>
//   threads  two threads ask for the API object at once; exit code 0 when both got the same
//            object, else 3
//   restart  registers and restarts the updater's plug-in; exit code 100 when a reboot
//            is requested, else 0
// The log (<root>\Korvane\Log\HosterApiProbe\<log name>.log) is left open for the exit-time lines.
#include <windows.h>

#include "hoster-api/HosterApi.h"
#include "hoster-api/HosterPlugin.h"

#include "logging/Log.h"

#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    KvZarnLogging::openLog(std::string("HosterApiProbe"), std::string(argv[2]), KvZarnLogging::Verbose, 0);
    const std::string scenario = argv[1];
    if (scenario == "threads") {
        // The test makes the library's initialisation slow, so that the second thread asks
        // while the first one is inside the load.
        GenericApi<HosterApi>* seen[2] = {nullptr, nullptr};
        std::thread first([&seen] { seen[0] = hosterApi(); });
        std::thread second([&seen] { seen[1] = hosterApi(); });
        first.join();
        second.join();
        return seen[0] != nullptr && seen[0] == seen[1] ? 0 : 3;
    }
    if (scenario == "restart") {
        registerHosterPlugin(L"WispWPUPlugin", L"C:\\Wisp\\kv_wpu_hoster_plugin64.dll", 0, {}, {});
        HosterPlugin plugin(0, L"WispWPUPlugin");
        plugin.restart();
        return plugin.rebootRequested() ? 100 : 0;
    }
    return 2;
}
