#include <windows.h>

#include "hoster-api/DelayLoadedLibrary.h"

#include "winenv/ProductNamespace.h"

#include "logging/Log.h"

namespace {

constexpr char kFunction[] = "DelayLoadedLibrary::DelayLoadedLibrary";

} // namespace

DelayLoadedLibrary::DelayLoadedLibrary(DelayImportProc* probe) {
    const std::wstring namespaceName = productNamespaceName();
    TryLoadResult result;
    const std::uint32_t code = tryLoad(namespaceName.c_str(), probe, result);
    if (code == 0) {
        loaded_ = true;
        return;
    }
    const DWORD error = GetLastError();
    switch (code) {
        case 1:
            KvZarnLogging::log(KvZarnLogging::Info, kFunction, L"%hs not found. err=%u", result.dllName,
                               error);
            break;
        case 2:
            KvZarnLogging::log(KvZarnLogging::Info, kFunction, L"A procedure not found in %hs err=%u",
                               result.dllName, error);
            break;
        case 3:
            KvZarnLogging::log(KvZarnLogging::Info, kFunction,
                               L"Error loading %hs. Invalid parameter. err=%u", result.dllName, error);
            break;
        default:
            KvZarnLogging::log(KvZarnLogging::Info, kFunction, L"Unknown error loading %hs. err=%u",
                               result.dllName, error);
            break;
    }
}
