#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "taskscheduler20/TaskScheduler20Double.h"

namespace kv::ts20 {

// Counts a call of `method` ("Interface::Method") and answers the HRESULT injected
// for that call, or S_OK. The first use also reads faults from the environment
// variable KV_TS20_FAULTS ("Method@call=hresult", separated by ';').
HRESULT countCall(const wchar_t* method) noexcept;

void injectFault(const std::wstring& method, unsigned call, HRESULT result);
void clearFaults() noexcept;
unsigned callCount(const std::wstring& method);

// The arguments of RegisterTaskDefinition calls, kept for tests; cleared by clearFaults.
void recordRegistration(BSTR path, LONG flags, const VARIANT& user, const VARIANT& password, LONG logon,
                        const VARIANT& sddl) noexcept;
kv::doubles::TaskScheduler20RegisterCall lastRegistration();

} // namespace kv::ts20

// Every interface method starts with this: an injected fault ends the call at once.
#define KV_TS20_ENTRY(method)                                                                                \
    do {                                                                                                     \
        const HRESULT injected_ = ::kv::ts20::countCall(method);                                             \
        if (injected_ != S_OK) {                                                                             \
            return injected_;                                                                                \
        }                                                                                                    \
    } while (false)
