#include "Faults.h"

#include <mutex>

namespace kv::ts20 {

namespace {

std::mutex& lock() {
    static std::mutex instance;
    return instance;
}

kv::doubles::TaskScheduler20RegisterCall& last() {
    static kv::doubles::TaskScheduler20RegisterCall instance;
    return instance;
}

std::wstring bstrText(const VARIANT& value) {
    return value.vt == VT_BSTR && value.bstrVal != nullptr
               ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
               : std::wstring();
}

} // namespace

void recordRegistration(BSTR path, LONG flags, const VARIANT& user, const VARIANT& password, LONG logon,
                        const VARIANT& sddl) noexcept {
    try {
        std::lock_guard<std::mutex> guard(lock());
        kv::doubles::TaskScheduler20RegisterCall call;
        call.count = last().count + 1;
        call.path = path != nullptr ? std::wstring(path, SysStringLen(path)) : std::wstring();
        call.flags = flags;
        call.userType = user.vt;
        call.user = bstrText(user);
        call.passwordType = password.vt;
        call.logonType = logon;
        call.sddlType = sddl.vt;
        call.sddl = bstrText(sddl);
        last() = call;
    } catch (...) {
        // Out of memory: the record is for tests only and may stay behind.
    }
}

kv::doubles::TaskScheduler20RegisterCall lastRegistration() {
    std::lock_guard<std::mutex> guard(lock());
    return last();
}

void clearRegistration() {
    std::lock_guard<std::mutex> guard(lock());
    last() = {};
}

} // namespace kv::ts20
