// The double as an in-process server DLL, for whole-program runs: a test prefix
// points CLSID_TaskScheduler's InprocServer32 at this file.
#include <windows.h>

#include "taskscheduler20/TaskSchedulerExtras.h"

#include "ComBase.h"
#include "Service.h"

#include <string>

namespace {

HMODULE g_module = nullptr;

const wchar_t* const kClassKey =
    L"Software\\Classes\\CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32";

LSTATUS setString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Points the class's in-process server at `path` in the 64-bit registry view.
HRESULT registerServer(const std::wstring& path) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = setString(key, nullptr, path);
        if (status == ERROR_SUCCESS) {
            status = setString(key, L"ThreadingModel", L"Both");
        }
        RegCloseKey(key);
    }
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    if (clsid != kv::ts20::kClsidTaskScheduler) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    IClassFactory* factory = kv::ts20::newClassFactory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(iid, result);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return kv::ts20::moduleReferences() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() noexcept {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return E_FAIL;
    }
    return registerServer(std::wstring(path, length));
}

// Hands the class back to the system's own server.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() noexcept {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return E_FAIL;
    }
    return registerServer(std::wstring(system, length) + L"\\taskschd.dll");
}
