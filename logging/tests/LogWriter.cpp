// Logs numbered lines through the process-wide logger, for the test of a real process exit.
//   logging_writer <file stem> <lines> close|noclose
#include <windows.h>

#include "logging/Log.h"

#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        return -1;
    }
    KvZarnLogging::openLog(L"Wisp", argv[1], KvZarnLogging::Info, 0);
    for (int i = 0; i < _wtoi(argv[2]); ++i) {
        KvZarnLogging::log(KvZarnLogging::Info, "Writer::run", L"line %d", i);
    }
    if (std::wstring(argv[3]) == L"close") {
        KvZarnLogging::closeLog();
    }
    return 0;
}
