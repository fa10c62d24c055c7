// The double as an in-process server DLL, for whole-program runs: a test prefix
// points CLSID_TaskScheduler's InprocServer32 at this file (tools/ts20-register-double).
#include <windows.h>

#include "taskscheduler20/TaskSchedulerExtras.h"

#include "ComBase.h"
#include "Service.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) noexcept {
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

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() noexcept {
    return kv::doubles::liveComObjects() == 0 ? S_OK : S_FALSE;
}
