// The double as an in-process server, for whole-program runs in a prefix whose
// InprocServer32 values of both classes point here (tools/ts10-register-double).
#include <windows.h>

#include "com-support/ComObject.h"

namespace kv::doubles {
HRESULT ts10ClassObject(REFCLSID clsid, REFIID iid, void** result);
}

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) noexcept {
    try {
        return kv::doubles::ts10ClassObject(clsid, iid, result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" HRESULT __stdcall DllCanUnloadNow() noexcept {
    return kv::doubles::liveComObjects() == 0 ? S_OK : S_FALSE;
}
