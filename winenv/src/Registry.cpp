#include <windows.h>

#include "winenv/Registry.h"
#include "winenv/RegistryNotifications.h"

#include "kvtl/Handle.h"
#include "kvtl/Str.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

// Key names are at most 255 characters; the enumeration buffer counts the terminator.
constexpr DWORD kMaxKeyNameBuffer = 256;
constexpr DWORD kMaxValueNameBuffer = 32767;
constexpr DWORD kNonVolatile = 0;

std::wstring wide(const std::string& text) {
    return kv::str::utf8ToWide(text);
}

std::string narrow(const std::wstring& text) {
    return kv::str::wideToUtf8(text);
}

std::vector<std::string> narrow(const std::vector<std::wstring>& texts) {
    std::vector<std::string> result;
    result.reserve(texts.size());
    for (const auto& text : texts) {
        result.push_back(narrow(text));
    }
    return result;
}

std::wstring childPath(const std::wstring& parentPath, const std::wstring& subKey) {
    return parentPath.empty() ? subKey : parentPath + L'\\' + subKey;
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}
bool isDwordType(DWORD type) {
    return type == REG_DWORD || type == REG_NONE;
}
bool isQwordType(DWORD type) {
    return type == REG_QWORD || type == REG_NONE;
}
bool isMultiStringType(DWORD type) {
    return type == REG_MULTI_SZ;
}
bool isBinaryType(DWORD type) {
    return type == REG_BINARY;
}

// Splits a REG_MULTI_SZ block. An odd last byte is no character; an element that the
// data ends in before its NUL is incomplete and dropped.
std::vector<std::wstring> splitMultiString(const std::vector<std::uint8_t>& data) {
    const size_t count = data.size() / sizeof(wchar_t);
    std::wstring text(count, L'\0');
    if (count != 0) {
        std::memcpy(text.data(), data.data(), count * sizeof(wchar_t));
    }
    std::vector<std::wstring> values;
    size_t start = 0;
    while (start < count) {
        const size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos || end == start) {
            break;
        }
        values.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return values;
}

template <class Integer>
bool readInteger(const std::vector<std::uint8_t>& data, Integer& value) {
    if (data.size() != sizeof(Integer)) {
        return false;
    }
    std::memcpy(&value, data.data(), sizeof(Integer));
    return true;
}

// The system error reported for a status that no system call gave.
LSTATUS systemErrorFor(RegistryStatus status) {
    switch (status) {
        case RegistryStatus::Ok:
            return ERROR_SUCCESS;
        case RegistryStatus::NotFound:
            return ERROR_FILE_NOT_FOUND;
        case RegistryStatus::TypeMismatch:
            return ERROR_DATATYPE_MISMATCH;
        case RegistryStatus::AccessDenied:
            return ERROR_ACCESS_DENIED;
        case RegistryStatus::InvalidArgument:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_INVALID_DATA;
    }
}

} // namespace

RegistryStatus registryStatusFromError(LSTATUS error) {
    switch (error) {
        case ERROR_SUCCESS:
            return RegistryStatus::Ok;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return RegistryStatus::NotFound;
        case ERROR_ACCESS_DENIED:
            return RegistryStatus::AccessDenied;
        case ERROR_INVALID_PARAMETER:
            return RegistryStatus::InvalidArgument;
        default:
            return RegistryStatus::Failed;
    }
}

Win32Registry::Win32Registry() = default;

Win32Registry::~Win32Registry() = default;

bool Win32Registry::report(RegistryStatus result, RegistryStatus* status) {
    return report(result, systemErrorFor(result), status);
}

bool Win32Registry::report(RegistryStatus result, LSTATUS error, RegistryStatus* status) {
    status_ = result;
    error_ = error;
    if (status != nullptr) {
        *status = result;
    }
    return result == RegistryStatus::Ok;
}

bool Win32Registry::reportError(LSTATUS error, RegistryStatus* status) {
    return report(registryStatusFromError(error), error, status);
}

LSTATUS Win32Registry::openKey(const std::wstring& keyPath, REGSAM access, HKEY* key) const {
    *key = nullptr;
    const LSTATUS error = ::RegOpenKeyExW(root_, keyPath.c_str(), 0, access | samFlags_, key);
    if (error != ERROR_SUCCESS) {
        *key = nullptr;
    }
    return error;
}

RegistryStatus Win32Registry::readValue(const std::wstring& keyPath, const std::wstring& valueName,
                                        REGSAM access, bool (*accepts)(DWORD), DWORD exactSize,
                                        std::vector<std::uint8_t>& data, DWORD& type) const {
    auto fail = [&data, &type](RegistryStatus result) {
        data.clear();
        type = REG_NONE;
        return result;
    };
    data.clear();
    type = REG_NONE;
    kv::UniqueHkey key;
    LSTATUS error = openKey(keyPath, access, key.put());
    if (error != ERROR_SUCCESS) {
        return fail(registryStatusFromError(error));
    }
    // Type and size first, so that a value of the wrong kind is never read in full.
    DWORD size = 0;
    error = ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    for (;;) {
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            return fail(registryStatusFromError(error));
        }
        if (accepts != nullptr && !accepts(type)) {
            return fail(RegistryStatus::TypeMismatch);
        }
        if (exactSize != 0 && size != exactSize) {
            return fail(RegistryStatus::Failed);
        }
        if (error == ERROR_SUCCESS && data.size() == size) {
            return RegistryStatus::Ok;
        }
        // The value may grow between two queries: read again until the data fits.
        data.resize(size);
        DWORD read = size;
        error = ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type,
                                   data.empty() ? nullptr : data.data(), &read);
        if (error == ERROR_SUCCESS) {
            data.resize(read);
        }
        size = error == ERROR_MORE_DATA ? std::max<DWORD>(read, size + 1) : read;
    }
}

LSTATUS Win32Registry::writeValue(const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                                  const void* data, size_t size) const {
    if (size > std::numeric_limits<DWORD>::max()) {
        return ERROR_INVALID_PARAMETER;
    }
    kv::UniqueHkey key;
    LSTATUS error = openKey(keyPath, KEY_SET_VALUE, key.put());
    if (error == ERROR_SUCCESS) {
        error = ::RegSetValueExW(key.get(), valueName.c_str(), 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(size));
    }
    return error;
}

DWORD Win32Registry::getValueType(const std::string& keyPath, const std::string& valueName,
                                  RegistryStatus* status) {
    return getValueType(wide(keyPath), wide(valueName), status);
}

DWORD Win32Registry::getValueType(const std::wstring& keyPath, const std::wstring& valueName,
                                  RegistryStatus* status) {
    kv::UniqueHkey key;
    LSTATUS error = openKey(keyPath, KEY_READ, key.put());
    DWORD type = REG_NONE;
    if (error == ERROR_SUCCESS) {
        error = ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, nullptr);
    }
    return reportError(error, status) ? type : 0;
}

bool Win32Registry::getString(const std::string& keyPath, const std::string& valueName, std::string& value,
                              RegistryStatus* status) {
    return getString(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::getString(const std::wstring& keyPath, const std::wstring& valueName, std::string& value,
                              RegistryStatus* status) {
    std::wstring text;
    const bool ok = getString(keyPath, valueName, text, status);
    value = narrow(text);
    return ok;
}

bool Win32Registry::getString(const std::string& keyPath, const std::string& valueName, std::wstring& value,
                              RegistryStatus* status) {
    return getString(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::getString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                              RegistryStatus* status) {
    value.clear();
    std::vector<std::uint8_t> data;
    DWORD type = REG_NONE;
    const RegistryStatus result = readValue(keyPath, valueName, KEY_READ, isStringType, 0, data, type);
    if (result == RegistryStatus::Ok) {
        value.resize(data.size() / sizeof(wchar_t));
        if (!value.empty()) {
            std::memcpy(value.data(), data.data(), value.size() * sizeof(wchar_t));
        }
        if (!value.empty() && value.back() == L'\0') {
            value.pop_back();
        }
    }
    return report(result, status);
}

bool Win32Registry::setString(const std::string& keyPath, const std::string& valueName,
                              const std::string& value, RegistryStatus* status) {
    return setString(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::setString(const std::wstring& keyPath, const std::wstring& valueName,
                              const std::string& value, RegistryStatus* status) {
    return setString(keyPath, valueName, wide(value), status);
}

bool Win32Registry::setString(const std::string& keyPath, const std::string& valueName,
                              const std::wstring& value, RegistryStatus* status) {
    return setString(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::setString(const std::wstring& keyPath, const std::wstring& valueName,
                              const std::wstring& value, RegistryStatus* status) {
    return reportError(
        writeValue(keyPath, valueName, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t)), status);
}

bool Win32Registry::getDword(const std::string& keyPath, const std::string& valueName, DWORD& value,
                             RegistryStatus* status) {
    return getDword(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::getDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value,
                             RegistryStatus* status) {
    std::vector<std::uint8_t> data;
    DWORD type = REG_NONE;
    RegistryStatus result = readValue(keyPath, valueName, KEY_READ, isDwordType, sizeof(DWORD), data, type);
    if (result == RegistryStatus::Ok && !readInteger(data, value)) {
        result = RegistryStatus::Failed;
    }
    return report(result, status);
}

bool Win32Registry::setDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                             RegistryStatus* status) {
    return setDword(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::setDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD value,
                             RegistryStatus* status) {
    return reportError(writeValue(keyPath, valueName, REG_DWORD, &value, sizeof(value)), status);
}

bool Win32Registry::getQword(const std::string& keyPath, const std::string& valueName, std::uint64_t& value,
                             RegistryStatus* status) {
    return getQword(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::getQword(const std::wstring& keyPath, const std::wstring& valueName, std::uint64_t& value,
                             RegistryStatus* status) {
    std::vector<std::uint8_t> data;
    DWORD type = REG_NONE;
    RegistryStatus result =
        readValue(keyPath, valueName, KEY_READ, isQwordType, sizeof(std::uint64_t), data, type);
    if (result == RegistryStatus::Ok && !readInteger(data, value)) {
        result = RegistryStatus::Failed;
    }
    return report(result, status);
}

bool Win32Registry::setQword(const std::string& keyPath, const std::string& valueName, std::uint64_t value,
                             RegistryStatus* status) {
    return setQword(wide(keyPath), wide(valueName), value, status);
}

bool Win32Registry::setQword(const std::wstring& keyPath, const std::wstring& valueName, std::uint64_t value,
                             RegistryStatus* status) {
    return reportError(writeValue(keyPath, valueName, REG_QWORD, &value, sizeof(value)), status);
}

bool Win32Registry::getMultiString(const std::string& keyPath, const std::string& valueName,
                                   std::vector<std::string>& values, RegistryStatus* status) {
    std::vector<std::wstring> texts;
    const bool ok = getMultiString(wide(keyPath), wide(valueName), texts, status);
    values = narrow(texts);
    return ok;
}

bool Win32Registry::getMultiString(const std::wstring& keyPath, const std::wstring& valueName,
                                   std::vector<std::wstring>& values, RegistryStatus* status) {
    values.clear();
    std::vector<std::uint8_t> data;
    DWORD type = REG_NONE;
    const RegistryStatus result = readValue(keyPath, valueName, KEY_READ, isMultiStringType, 0, data, type);
    if (result == RegistryStatus::Ok) {
        values = splitMultiString(data);
    }
    return report(result, status);
}

bool Win32Registry::setMultiString(const std::string& keyPath, const std::string& valueName,
                                   const std::vector<std::string>& values, RegistryStatus* status) {
    std::vector<std::wstring> texts;
    texts.reserve(values.size());
    for (const auto& value : values) {
        texts.push_back(wide(value));
    }
    return setMultiString(wide(keyPath), wide(valueName), texts, status);
}

bool Win32Registry::setMultiString(const std::wstring& keyPath, const std::wstring& valueName,
                                   const std::vector<std::wstring>& values, RegistryStatus* status) {
    std::wstring block;
    for (const auto& value : values) {
        // An empty element would end the list early for every reader.
        if (value.empty()) {
            return report(RegistryStatus::InvalidArgument, status);
        }
        block += value;
        block += L'\0';
    }
    if (values.empty()) {
        block += L'\0';
    }
    block += L'\0';
    return reportError(
        writeValue(keyPath, valueName, REG_MULTI_SZ, block.data(), block.size() * sizeof(wchar_t)), status);
}

bool Win32Registry::getBinary(const std::string& keyPath, const std::string& valueName,
                              std::vector<std::uint8_t>& data, RegistryStatus* status) {
    return getBinary(wide(keyPath), wide(valueName), data, status);
}

bool Win32Registry::getBinary(const std::wstring& keyPath, const std::wstring& valueName,
                              std::vector<std::uint8_t>& data, RegistryStatus* status) {
    DWORD type = REG_NONE;
    return report(readValue(keyPath, valueName, KEY_QUERY_VALUE, isBinaryType, 0, data, type), status);
}

bool Win32Registry::setBinary(const std::string& keyPath, const std::string& valueName,
                              const std::vector<std::uint8_t>& data, RegistryStatus* status) {
    return setBinary(wide(keyPath), wide(valueName), data, status);
}

bool Win32Registry::setBinary(const std::wstring& keyPath, const std::wstring& valueName,
                              const std::vector<std::uint8_t>& data, RegistryStatus* status) {
    return reportError(writeValue(keyPath, valueName, REG_BINARY, data.data(), data.size()), status);
}

bool Win32Registry::deleteValue(const std::string& keyPath, const std::string& valueName,
                                RegistryStatus* status) {
    return deleteValue(wide(keyPath), wide(valueName), status);
}

bool Win32Registry::deleteValue(const std::wstring& keyPath, const std::wstring& valueName,
                                RegistryStatus* status) {
    kv::UniqueHkey key;
    LSTATUS error = openKey(keyPath, KEY_SET_VALUE, key.put());
    if (error == ERROR_SUCCESS) {
        error = ::RegDeleteValueW(key.get(), valueName.c_str());
    }
    return reportError(error, status);
}

bool Win32Registry::keyExists(const std::string& keyPath, RegistryStatus* status) {
    return keyExists(wide(keyPath), status);
}

bool Win32Registry::keyExists(const std::wstring& keyPath, RegistryStatus* status) {
    kv::UniqueHkey key;
    return reportError(openKey(keyPath, READ_CONTROL, key.put()), status);
}

bool Win32Registry::subKeyExists(const std::string& parentPath, const std::string& subKey,
                                 RegistryStatus* status) {
    return subKeyExists(wide(parentPath), wide(subKey), status);
}

bool Win32Registry::subKeyExists(const std::wstring& parentPath, const std::wstring& subKey,
                                 RegistryStatus* status) {
    if (subKey.empty()) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    return keyExists(childPath(parentPath, subKey), status);
}

bool Win32Registry::createKey(const std::string& parentPath, const std::string& subKey,
                              RegistryStatus* status) {
    return createKey(wide(parentPath), wide(subKey), status);
}

bool Win32Registry::createKey(const std::wstring& parentPath, const std::wstring& subKey,
                              RegistryStatus* status) {
    return createKey(parentPath, subKey, kNonVolatile, status);
}

bool Win32Registry::createKey(const std::string& parentPath, const std::string& subKey, DWORD options,
                              RegistryStatus* status) {
    return createKey(wide(parentPath), wide(subKey), options, status);
}

bool Win32Registry::createKey(const std::wstring& parentPath, const std::wstring& subKey, DWORD options,
                              RegistryStatus* status) {
    if (subKey.empty()) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    kv::UniqueHkey key;
    const LSTATUS error = ::RegCreateKeyExW(root_, childPath(parentPath, subKey).c_str(), 0, nullptr, options,
                                            KEY_CREATE_SUB_KEY | samFlags_, nullptr, key.put(), nullptr);
    return reportError(error, status);
}

bool Win32Registry::deleteKey(const std::string& parentPath, const std::string& subKey,
                              RegistryStatus* status) {
    return deleteKey(wide(parentPath), wide(subKey), status);
}

bool Win32Registry::deleteKey(const std::wstring& parentPath, const std::wstring& subKey,
                              RegistryStatus* status) {
    if (subKey.empty()) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    kv::UniqueHkey parent;
    LSTATUS error = openKey(parentPath, KEY_READ, parent.put());
    if (error == ERROR_SUCCESS) {
        error = ::RegDeleteKeyW(parent.get(), subKey.c_str());
    }
    return reportError(error, status);
}

bool Win32Registry::deleteKey(const std::string& keyPath, RegistryStatus* status) {
    return deleteKey(wide(keyPath), status);
}

bool Win32Registry::deleteKey(const std::wstring& keyPath, RegistryStatus* status) {
    const size_t separator = keyPath.rfind(L'\\');
    if (separator == std::wstring::npos) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    return deleteKey(keyPath.substr(0, separator), keyPath.substr(separator + 1), status);
}

bool Win32Registry::createKeyPath(const std::string& keyPath, RegistryStatus* status) {
    return createKeyPath(wide(keyPath), status);
}

bool Win32Registry::createKeyPath(const std::wstring& keyPath, RegistryStatus* status) {
    const size_t separator = keyPath.rfind(L'\\');
    if (separator == std::wstring::npos) {
        return report(RegistryStatus::Ok, status);
    }
    // A leading backslash would make the system create a top-level key.
    if (separator == 0) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    const std::wstring parentPath = keyPath.substr(0, separator);
    if (!createKeyPath(parentPath, status)) {
        return false;
    }
    return createKey(parentPath, keyPath.substr(separator + 1), kNonVolatile, status);
}

bool Win32Registry::deleteTree(const std::string& parentPath, const std::string& subKey,
                               RegistryStatus* status) {
    return deleteTree(wide(parentPath), wide(subKey), status);
}

bool Win32Registry::deleteTree(const std::wstring& parentPath, const std::wstring& subKey,
                               RegistryStatus* status) {
    if (subKey.empty()) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    kv::UniqueHkey parent;
    LSTATUS error = openKey(parentPath, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, parent.put());
    if (error == ERROR_SUCCESS) {
        error = ::RegDeleteTreeW(parent.get(), subKey.c_str());
    }
    return reportError(error, status);
}

DWORD Win32Registry::enumNames(const std::wstring& keyPath, bool values, std::vector<std::wstring>& names,
                               RegistryStatus* status) {
    names.clear();
    kv::UniqueHkey key;
    LSTATUS error = openKey(keyPath, KEY_READ, key.put());
    std::vector<wchar_t> buffer(values ? kMaxValueNameBuffer : kMaxKeyNameBuffer);
    for (DWORD index = 0; error == ERROR_SUCCESS; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        error = values ? ::RegEnumValueW(key.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr,
                                         nullptr)
                       : ::RegEnumKeyExW(key.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr,
                                         nullptr);
        if (error == ERROR_SUCCESS) {
            names.emplace_back(buffer.data(), length);
        }
    }
    if (error == ERROR_NO_MORE_ITEMS) {
        report(RegistryStatus::Ok, status);
        return static_cast<DWORD>(names.size());
    }
    names.clear();
    reportError(error, status);
    return 0;
}

DWORD Win32Registry::enumSubKeys(const std::string& keyPath, std::vector<std::string>& names,
                                 RegistryStatus* status) {
    std::vector<std::wstring> texts;
    const DWORD count = enumSubKeys(wide(keyPath), texts, status);
    names = narrow(texts);
    return count;
}

DWORD Win32Registry::enumSubKeys(const std::wstring& keyPath, std::vector<std::wstring>& names,
                                 RegistryStatus* status) {
    return enumNames(keyPath, false, names, status);
}

DWORD Win32Registry::enumValueNames(const std::string& keyPath, std::vector<std::string>& names,
                                    RegistryStatus* status) {
    std::vector<std::wstring> texts;
    const DWORD count = enumValueNames(wide(keyPath), texts, status);
    names = narrow(texts);
    return count;
}

DWORD Win32Registry::enumValueNames(const std::wstring& keyPath, std::vector<std::wstring>& names,
                                    RegistryStatus* status) {
    return enumNames(keyPath, true, names, status);
}

void Win32Registry::setRoot(HKEY root) {
    root_ = root;
}

void Win32Registry::setSamFlags(REGSAM samFlags) {
    samFlags_ = samFlags;
}

bool Win32Registry::watchKey(const std::string& keyPath, bool watchSubtree, DWORD notifyFilter,
                             std::function<void()> callback, RegistryStatus* status) {
    return watchKey(wide(keyPath), watchSubtree, notifyFilter, std::move(callback), status);
}

bool Win32Registry::watchKey(const std::wstring& keyPath, bool watchSubtree, DWORD notifyFilter,
                             std::function<void()> callback, RegistryStatus* status) {
    if (!callback) {
        return report(RegistryStatus::InvalidArgument, status);
    }
    if (!watcher_) {
        watcher_ = std::make_unique<RegistryChangeNotificationManager>();
    }
    if (!watcher_->addWatch(root_, keyPath, watchSubtree, notifyFilter, std::move(callback), samFlags_)) {
        return report(RegistryStatus::Failed, status);
    }
    return report(RegistryStatus::Ok, status);
}

void Win32Registry::unwatchAll() {
    if (watcher_) {
        watcher_->removeAll();
    }
}

RegistryStatus Win32Registry::lastStatus() const {
    return status_;
}

LSTATUS Win32Registry::lastError() const {
    return error_;
}

bool Win32Registry::getRawValue(const std::string& keyPath, const std::string& valueName,
                                std::vector<std::uint8_t>& data, DWORD& type, RegistryStatus* status) {
    return getRawValue(wide(keyPath), wide(valueName), data, type, status);
}

bool Win32Registry::getRawValue(const std::wstring& keyPath, const std::wstring& valueName,
                                std::vector<std::uint8_t>& data, DWORD& type, RegistryStatus* status) {
    return report(readValue(keyPath, valueName, KEY_READ, nullptr, 0, data, type), status);
}
