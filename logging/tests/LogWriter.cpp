// Logs numbered lines through the process-wide logger, for the tests that need
// several processes or a real process exit.
//   logging_writer <file stem> <writer id> <lines> close|noclose [start event]
// Exit code: the number of lines lost to the mutex wait.
#include <windows.h>

#include "logging/Log.h"
#include "logging/Logger.h"

#include <cstdlib>
#include <string>

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
    KvZarnLogging::openLog(L"Wisp", stem, KvZarnLogging::Info, 0);
    const std::wstring padding(40, L'.');
    for (int i = 0; i < lines; ++i) {
        KvZarnLogging::log(KvZarnLogging::Info, "Writer::run", L"writer %d line %06d %ls", id, i,
                           padding.c_str());
    }
    const int dropped = static_cast<int>(KvZarnLogging::getLogger().droppedLines());
    if (close) {
        KvZarnLogging::closeLog();
    }
    return dropped;
}
