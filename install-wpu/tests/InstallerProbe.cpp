// A stand-in for the installer executable: InstallerMain with a scripted main logic.
//   KV_PROBE_MODULE     getModuleName() (default "probe")
//   KV_PROBE_RESULT     what execute() answers (default 0)
//   KV_PROBE_UNINSTALL  what uninstall() answers (default: IMainLogic's own, 201)
//   KV_PROBE_THROW      execute() throws instead: std, kv, com or int
//   KV_PROBE_CRASH      execute() crashes instead: av
//   KV_PROBE_PLATFORM   isPlatformSupported() (default 1)
//   KV_PROBE_RECORD     file that receives one line per call: execute, uninstall, destroyed
#include <windows.h>

#include "install-wpu/InstallerMain.h"
#include "kvtl/Exceptions.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::wstring environment(const wchar_t* name, const wchar_t* fallback) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length == 0 || length >= 1024 ? std::wstring(fallback) : std::wstring(value, length);
}

class ScriptedLogic : public IMainLogic {
public:
    ~ScriptedLogic() override { record("destroyed"); }

    std::wstring getModuleName() override { return environment(L"KV_PROBE_MODULE", L"probe"); }

    int execute() override {
        record("execute");
        const std::wstring failure = environment(L"KV_PROBE_THROW", L"");
        if (failure == L"std") {
            throw std::runtime_error("scripted failure");
        }
        if (failure == L"kv") {
            throw kv::BaseException(L"scripted reason", L"ScriptedLogic::execute",
                                    L"install-wpu/tests/probe.cpp", 42);
        }
        if (failure == L"com") {
            throw kv::ComError(E_ACCESSDENIED);
        }
        if (failure == L"int") {
            throw 42;
        }
        if (environment(L"KV_PROBE_CRASH", L"") == L"av") {
            *static_cast<volatile int*>(nullptr) = 1;
        }
        return std::stoi(environment(L"KV_PROBE_RESULT", L"0"));
    }

    int uninstall() override {
        record("uninstall");
        const std::wstring result = environment(L"KV_PROBE_UNINSTALL", L"");
        return result.empty() ? IMainLogic::uninstall() : std::stoi(result);
    }

    bool keepPreviousVersion() override { return true; }
    bool isPlatformSupported() override { return environment(L"KV_PROBE_PLATFORM", L"1") == L"1"; }

private:
    // Without KV_PROBE_RECORD the empty path cannot be opened: nothing is recorded.
    static void record(const char* call) {
        if (FILE* file = _wfopen(environment(L"KV_PROBE_RECORD", L"").c_str(), L"ab")) {
            std::fprintf(file, "%s\n", call);
            std::fclose(file);
        }
    }
};

} // namespace

int main() {
    return InstallerMain(InstallerVersion{1, 2, 3, 40, "probe-build"}, std::make_unique<ScriptedLogic>());
}
