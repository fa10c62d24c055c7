#include <windows.h>

#include "Faults.h"
#include "Objects.h"
#include "Server.h"

#include <vector>

// The double as an in-process server, for whole-program runs in a prefix where
// the classes' InprocServer32 values point here.

namespace {

HMODULE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&thisModule), &module);
    return module;
}

} // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
    try {
        kv::doubles::ts10::loadConfiguredFaults();
        return kv::doubles::ts10::createClassFactory(clsid, std::wstring(), iid, result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return kv::doubles::ts10::moduleReferences == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT __stdcall DllRegisterServer() noexcept {
    try {
        std::vector<wchar_t> path(32768);
        const DWORD length = GetModuleFileNameW(thisModule(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0 || length >= path.size()) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        return kv::doubles::ts10::registerServer(std::wstring(path.data(), length));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" HRESULT __stdcall DllUnregisterServer() noexcept {
    try {
        return kv::doubles::ts10::unregisterServer();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
