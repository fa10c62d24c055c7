#include "Faults.h"

#include "taskscheduler10/TaskScheduler10Double.h"

#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kv::doubles::ts10 {

namespace {

struct Fault {
    unsigned call;
    bool andLater;
    HRESULT result;
};

struct Table {
    std::mutex mutex;
    std::map<std::wstring, std::vector<Fault>> faults;
    std::map<std::wstring, unsigned> counts;
};

Table& table() {
    static Table instance;
    return instance;
}

// Work-item methods inherited from IScheduledWorkItem are reached through ITask.
std::wstring canonical(const std::wstring& method) {
    static const std::wstring inherited = L"IScheduledWorkItem::";
    if (method.compare(0, inherited.size(), inherited) == 0) {
        return L"ITask::" + method.substr(inherited.size());
    }
    return method;
}

void add(const std::wstring& method, unsigned call, bool andLater, HRESULT result) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.faults[canonical(method)].push_back({call, andLater, result});
}

std::wstring trim(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

bool parseNumber(const std::wstring& text, unsigned long& value) {
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    value = std::wcstoul(text.c_str(), &end, 0);
    return end != nullptr && *end == L'\0';
}

std::wstring registryFaults() {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, configKey, faultsValue, RRF_RT_REG_SZ, nullptr, buffer.data(),
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(buffer.data());
}

} // namespace

HRESULT enterCall(const wchar_t* method) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const unsigned call = ++t.counts[method];
    const auto found = t.faults.find(method);
    if (found != t.faults.end()) {
        for (const Fault& fault : found->second) {
            if (call == fault.call || (fault.andLater && call > fault.call)) {
                return fault.result;
            }
        }
    }
    return S_OK;
}

void failCall(const std::wstring& method, unsigned call, HRESULT result) {
    add(method, call, false, result);
}

void failCallsFrom(const std::wstring& method, unsigned call, HRESULT result) {
    add(method, call, true, result);
}

bool addFaults(const std::wstring& text) {
    struct Parsed {
        std::wstring method;
        unsigned call;
        bool andLater;
        HRESULT result;
    };
    std::vector<Parsed> parsed;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring entry = trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) {
            continue;
        }
        const size_t at = entry.find(L'@');
        const size_t equals = entry.find(L'=', at == std::wstring::npos ? 0 : at);
        if (at == std::wstring::npos || equals == std::wstring::npos || at == 0) {
            return false;
        }
        std::wstring callText = trim(entry.substr(at + 1, equals - at - 1));
        const bool andLater = !callText.empty() && callText.back() == L'+';
        if (andLater) {
            callText.pop_back();
        }
        unsigned long call = 0;
        unsigned long result = 0;
        if (!parseNumber(callText, call) || call == 0 ||
            !parseNumber(trim(entry.substr(equals + 1)), result) || result > 0xFFFFFFFFul) {
            return false;
        }
        parsed.push_back(
            {trim(entry.substr(0, at)), static_cast<unsigned>(call), andLater, static_cast<HRESULT>(result)});
    }
    for (const Parsed& fault : parsed) {
        add(fault.method, fault.call, fault.andLater, fault.result);
    }
    return true;
}

void clearFaults() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.faults.clear();
    t.counts.clear();
}

unsigned callCount(const std::wstring& method) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto found = t.counts.find(canonical(method));
    return found == t.counts.end() ? 0 : found->second;
}

void loadConfiguredFaults() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<wchar_t> buffer(32768);
        const DWORD length =
            GetEnvironmentVariableW(faultsVariable, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length > 0 && length < buffer.size()) {
            addFaults(std::wstring(buffer.data(), length));
        }
        addFaults(registryFaults());
    });
}

} // namespace kv::doubles::ts10
