#pragma once

#include <windows.h>

namespace kv::doubles::ts10 {

// Counts one call of a method and answers the HRESULT injected for this call,
// or S_OK when the call is to go ahead.
HRESULT enterCall(const wchar_t* method);

// Adds the faults named by the KV_TS10_FAULTS environment variable and the HKLM
// "Faults" value, once per process (the DLL calls it on first use).
void loadConfiguredFaults();

} // namespace kv::doubles::ts10
