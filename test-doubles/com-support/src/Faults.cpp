#include "com-support/Faults.h"
#include "com-support/ComObject.h"

#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

namespace kv::doubles {

namespace {

struct Fault {
    HRESULT result = S_OK;
    bool onward = false;
};

struct Table {
    std::mutex lock;
    bool environmentRead = false;
    std::map<std::wstring, unsigned> counts;
    std::map<std::wstring, std::map<unsigned, Fault>> faults; // method -> first call -> fault
};

Table& table() {
    static Table instance;
    return instance;
}

bool parse(const std::wstring& text, std::map<std::wstring, std::map<unsigned, Fault>>& out) {
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(L';', start), text.size());
        const std::wstring entry = text.substr(start, end - start);
        start = end + 1;
        if (entry.find_first_not_of(L" \t") == std::wstring::npos) {
            continue;
        }
        const std::size_t at = entry.find(L'@');
        const std::size_t equals = entry.find(L'=', at == std::wstring::npos ? 0 : at);
        if (at == std::wstring::npos || equals == std::wstring::npos) {
            return false;
        }
        wchar_t* stop = nullptr;
        const unsigned long call = std::wcstoul(entry.c_str() + at + 1, &stop, 10);
        const bool onward = *stop == L'+';
        if (stop == entry.c_str() + at + 1 || stop + (onward ? 1 : 0) != entry.c_str() + equals) {
            return false;
        }
        const long long result = std::wcstoll(entry.c_str() + equals + 1, &stop, 0);
        if (stop == entry.c_str() + equals + 1 || *stop != L'\0' || result < -0x80000000ll ||
            result > 0xFFFFFFFFll) {
            return false;
        }
        const std::size_t first = entry.find_first_not_of(L" \t");
        if (first >= at) {
            return false; // no method name
        }
        out[entry.substr(first, entry.find_last_not_of(L" \t", at - 1) - first + 1)][call] = {
            static_cast<HRESULT>(result), onward};
    }
    return true;
}

} // namespace

std::atomic<long>& liveComObjects() {
    static std::atomic<long> count{0};
    return count;
}

void failCall(const std::wstring& method, unsigned call, HRESULT result, bool onward) {
    Table& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.faults[method][call] = {result, onward};
}

bool addFaults(const std::wstring& text) {
    std::map<std::wstring, std::map<unsigned, Fault>> parsed;
    if (!parse(text, parsed)) {
        return false;
    }
    Table& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    for (const auto& [method, calls] : parsed) {
        for (const auto& [call, fault] : calls) {
            faults.faults[method][call] = fault;
        }
    }
    return true;
}

void clearFaults() {
    Table& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.faults.clear();
    faults.counts.clear();
    faults.environmentRead = true;
}

unsigned callCount(const std::wstring& method) {
    Table& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    const auto found = faults.counts.find(method);
    return found == faults.counts.end() ? 0 : found->second;
}

HRESULT enterCall(const wchar_t* method, const wchar_t* variable) noexcept {
    try {
        Table& faults = table();
        std::lock_guard<std::mutex> guard(faults.lock);
        if (!faults.environmentRead) {
            faults.environmentRead = true;
            std::vector<wchar_t> buffer(32768);
            const DWORD length = GetEnvironmentVariableW(variable, buffer.data(), 32768);
            if (length > 0 && length < buffer.size()) {
                parse(std::wstring(buffer.data(), length), faults.faults);
            }
        }
        const unsigned call = ++faults.counts[method];
        const auto found = faults.faults.find(method);
        if (found == faults.faults.end()) {
            return S_OK;
        }
        for (const auto& [first, fault] : found->second) {
            if (first == 0 || first == call || (fault.onward && first < call)) {
                return fault.result;
            }
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

} // namespace kv::doubles
