// Logs numbered lines through the process-wide logger, for the tests that need
// several processes or a real process exit.
//   logging_writer <file stem> <writer id> <lines> close|noclose [start event [threads]]
// A second thread logs as writer id + 1 (given only to the last writer).
// Exit code: the number of lines lost to the mutex wait.
#include <windows.h>

#include "logging/Log.h"
#include "logging/Logger.h"

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        return -1;
    }
    const std::wstring stem = argv[1];
    const int id = _wtoi(argv[2]);
    const int lines = _wtoi(argv[3]);
    const bool close = std::wstring(argv[4]) == L"close";
    if (argc > 5) {
        HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, argv[5]);
        WaitForSingleObject(start, 30000);
        CloseHandle(start);
    }
    const int threads = argc > 6 ? _wtoi(argv[6]) : 1;
    KvZarnLogging::openLog(L"Wisp", stem, KvZarnLogging::Info, 0);
    auto run = [lines](int writer) {
        const std::wstring padding(40, L'.');
        for (int i = 0; i < lines; ++i) {
            KvZarnLogging::log(KvZarnLogging::Info, "Writer::run", L"writer %d line %06d %ls", writer, i,
                               padding.c_str());
        }
    };
    std::vector<std::thread> others;
    for (int t = 1; t < threads; ++t) {
        others.emplace_back(run, id + t);
    }
    run(id);
    for (std::thread& other : others) {
        other.join();
    }
    const int dropped = static_cast<int>(KvZarnLogging::getLogger().droppedLines());
    if (close) {
        KvZarnLogging::closeLog();
    }
    return dropped;
}
