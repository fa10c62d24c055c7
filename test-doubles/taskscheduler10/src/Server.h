#pragma once

#include <windows.h>

#include <string>

namespace kv::doubles::ts10 {

// Points the InprocServer32 default value of CLSID_CTaskScheduler and CLSID_CTask
// under HKLM\Software\Classes\CLSID at a DLL (threading model "Both"), keeping
// the value it replaces in "KvPreviousInprocServer32" for unregisterServer.
HRESULT registerServer(const std::wstring& modulePath);
// Restores the replaced values, or removes the double's values when there were none.
HRESULT unregisterServer();

} // namespace kv::doubles::ts10
