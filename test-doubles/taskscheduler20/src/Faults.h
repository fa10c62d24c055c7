#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com-support/Faults.h"
#include "taskscheduler20/TaskScheduler20Double.h"

namespace kv::ts20 {

// The arguments of RegisterTaskDefinition calls, kept for tests; cleared with the registration.
void recordRegistration(BSTR path, LONG flags, const VARIANT& user, const VARIANT& password, LONG logon,
                        const VARIANT& sddl) noexcept;
kv::doubles::TaskScheduler20RegisterCall lastRegistration();
void clearRegistration();

} // namespace kv::ts20

// Every interface method starts with this: an injected fault (KV_TS20_FAULTS in
// whole-program runs) ends the call at once.
#define KV_TS20_ENTRY(method)                                                                                \
    do {                                                                                                     \
        const HRESULT injected_ = ::kv::doubles::enterCall(method, L"KV_TS20_FAULTS");                       \
        if (injected_ != S_OK) {                                                                             \
            return injected_;                                                                                \
        }                                                                                                    \
    } while (false)
