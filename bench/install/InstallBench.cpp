// The install benchmark: the wall time of a complete AV-mode install run of
// install-wpu.exe in a warm prefix, against its floor (install_floor.exe, the same
// platform calls with nothing around them) and an empty program, each started the same
// way from here, in alternating order, best of the rounds.
//   install_bench PRODUCT_DIRECTORY [ROUNDS]
// The programs lie in PRODUCT_DIRECTORY, which tools/prepare-prefix made (host running,
// the update's version keys present); the environment names the update (wp_module, ...).
// Prints "name value" lines; exits with 1 when the installer and its floor did not write
// the same number of log bytes or call the host API library the same number of times.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring productDirectory;
const wchar_t* const LogFile = L"C:\\ProgramData\\Korvane\\Log\\Wisp\\install-wpupdater-win-arm64.log";
const wchar_t* const HosterCalls = L"C:\\KvTestDoubles\\hoster-calls.txt";

long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

long long lineCount(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    long long lines = 0;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        lines += std::count(buffer, buffer + read, '\n');
    }
    CloseHandle(file);
    return lines;
}

struct Run {
    double ms = 0;
    long long logBytes = 0;
    long long hosterCalls = 0;
};

// Starts the program with no arguments, as the update machinery starts the installer,
// and times it from the start to the end of its process. Then, outside the time, waits
// until a scheduled wpu.exe it caused has recorded its start, so that runs never overlap.
Run run(const wchar_t* program, bool startsTheTask) {
    const std::wstring path = productDirectory + L"\\" + program;
    std::wstring commandLine = L"\"" + path + L"\"";
    const std::wstring runs = productDirectory + L"\\wpu.runs";
    const long long runsBefore = lineCount(runs);
    Run result;
    result.logBytes = fileSize(LogFile);
    result.hosterCalls = lineCount(HosterCalls);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "install_bench: cannot start %ls (error %lu)\n", path.c_str(), GetLastError());
        std::exit(2);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) {
        std::fprintf(stderr, "install_bench: %ls ended with %lu\n", program, code);
        std::exit(2);
    }
    result.ms = static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 / frequency.QuadPart;
    result.logBytes = fileSize(LogFile) - result.logBytes;
    result.hosterCalls = lineCount(HosterCalls) - result.hosterCalls;
    for (int i = 0; startsTheTask && i < 1000 && lineCount(runs) <= runsBefore; ++i) {
        Sleep(10);
    }
    Sleep(50); // the scheduled program's own exit
    return result;
}

double best(const std::vector<Run>& runs) {
    double result = runs.front().ms;
    for (const Run& r : runs) {
        result = std::min(result, r.ms);
    }
    return result;
}

double median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.ms < b.ms; });
    return runs[runs.size() / 2].ms;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: install_bench PRODUCT_DIRECTORY [ROUNDS]\n");
        return 2;
    }
    productDirectory = argv[1];
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 15;

    // Warm-up: the first run creates the task and the plug-in key and moves the older
    // version to "previous", the second to "inactive"; from then on every run does the
    // same, which is what the floor replays.
    run(L"install-wpu.exe", true);
    run(L"install-wpu.exe", true);
    run(L"install_floor.exe", true);
    run(L"empty_program.exe", false);

    std::vector<Run> installs, floors, empties;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            installs.push_back(run(L"install-wpu.exe", true));
            floors.push_back(run(L"install_floor.exe", true));
            empties.push_back(run(L"empty_program.exe", false));
        } else {
            empties.push_back(run(L"empty_program.exe", false));
            floors.push_back(run(L"install_floor.exe", true));
            installs.push_back(run(L"install-wpu.exe", true));
        }
    }

    const double install = best(installs);
    const double floor = best(floors);
    std::printf("install_ms %.1f\n", install);
    std::printf("install_floor_ms %.1f\n", floor);
    std::printf("install_ratio %.2f\n", install / floor);
    std::printf("install_median_ms %.1f\n", median(installs));
    std::printf("install_floor_median_ms %.1f\n", median(floors));
    std::printf("install_ratio_median %.2f\n", median(installs) / median(floors));
    std::printf("empty_process_ms %.1f\n", best(empties));
    std::printf("install_log_bytes %lld\n", installs.back().logBytes);
    std::printf("install_floor_log_bytes %lld\n", floors.back().logBytes);
    std::printf("install_hoster_calls %lld\n", installs.back().hosterCalls);
    std::printf("install_floor_hoster_calls %lld\n", floors.back().hosterCalls);
    const bool same = installs.back().logBytes == floors.back().logBytes &&
                      installs.back().hosterCalls == floors.back().hosterCalls;
    if (!same) {
        std::fprintf(stderr, "install_bench: the floor did not write what the installer wrote\n");
    }
    return same ? 0 : 1;
}
