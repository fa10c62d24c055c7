#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Outcome of a registry operation. There is no value 4.
enum class RegistryStatus : std::uint32_t {
    Ok = 0,
    NotFound = 1,        // ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND
    TypeMismatch = 2,    // the value exists with a type the operation does not accept
    Failed = 3,          // any other error, ERROR_MORE_DATA and malformed data included
    AccessDenied = 5,    // ERROR_ACCESS_DENIED
    InvalidArgument = 6, // ERROR_INVALID_PARAMETER, or arguments refused before any call
};

class RegistryChangeNotificationManager;

// The status a Win32 registry error maps to; ERROR_SUCCESS gives Ok.
RegistryStatus registryStatusFromError(LSTATUS error);

// The Win32 registry below one root key, in one registry view. Each operation opens
// the key it needs by path below the root (backslashes, no leading backslash), does
// one thing and closes the key again; only the watches of watchKey stay open.
// Each answers success as a bool (or a count or type, 0 on failure), records a
// RegistryStatus for lastStatus() and, when given a status pointer, writes it there.
// Narrow overloads take and give UTF-8 and run the wide operation. Nothing throws
// except memory exhaustion. On failure, string, list and byte-vector out-parameters
// are cleared; DWORD and QWORD out-parameters are left untouched. Not for use from
// several threads at once.
class Win32Registry {
public:
    // Root HKEY_LOCAL_MACHINE, no view flags, status Ok.
    Win32Registry();
    virtual ~Win32Registry();
    Win32Registry(const Win32Registry&) = delete;
    Win32Registry& operator=(const Win32Registry&) = delete;

    // The value's REG_* type; 0 when it cannot be read.
    virtual DWORD getValueType(const std::string& keyPath, const std::string& valueName,
                               RegistryStatus* status = nullptr);
    virtual DWORD getValueType(const std::wstring& keyPath, const std::wstring& valueName,
                               RegistryStatus* status = nullptr);

    // REG_SZ or REG_EXPAND_SZ (not expanded), one trailing NUL dropped; any other
    // type gives TypeMismatch.
    virtual bool getString(const std::string& keyPath, const std::string& valueName, std::string& value,
                           RegistryStatus* status = nullptr);
    virtual bool getString(const std::wstring& keyPath, const std::wstring& valueName, std::string& value,
                           RegistryStatus* status = nullptr);
    virtual bool getString(const std::string& keyPath, const std::string& valueName, std::wstring& value,
                           RegistryStatus* status = nullptr);
    virtual bool getString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                           RegistryStatus* status = nullptr);

    // Writes REG_SZ with its terminating NUL into an existing key (the key is not created).
    virtual bool setString(const std::string& keyPath, const std::string& valueName, const std::string& value,
                           RegistryStatus* status = nullptr);
    virtual bool setString(const std::wstring& keyPath, const std::wstring& valueName,
                           const std::string& value, RegistryStatus* status = nullptr);
    virtual bool setString(const std::string& keyPath, const std::string& valueName,
                           const std::wstring& value, RegistryStatus* status = nullptr);
    virtual bool setString(const std::wstring& keyPath, const std::wstring& valueName,
                           const std::wstring& value, RegistryStatus* status = nullptr);

    // REG_DWORD or REG_NONE of exactly 4 bytes; another type gives TypeMismatch, another
    // size Failed. The caller's variable changes only on success.
    virtual bool getDword(const std::string& keyPath, const std::string& valueName, DWORD& value,
                          RegistryStatus* status = nullptr);
    virtual bool getDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value,
                          RegistryStatus* status = nullptr);
    virtual bool setDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                          RegistryStatus* status = nullptr);
    virtual bool setDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD value,
                          RegistryStatus* status = nullptr);

    // REG_QWORD or REG_NONE of exactly 8 bytes, as getDword.
    virtual bool getQword(const std::string& keyPath, const std::string& valueName, std::uint64_t& value,
                          RegistryStatus* status = nullptr);
    virtual bool getQword(const std::wstring& keyPath, const std::wstring& valueName, std::uint64_t& value,
                          RegistryStatus* status = nullptr);
    virtual bool setQword(const std::string& keyPath, const std::string& valueName, std::uint64_t value,
                          RegistryStatus* status = nullptr);
    virtual bool setQword(const std::wstring& keyPath, const std::wstring& valueName, std::uint64_t value,
                          RegistryStatus* status = nullptr);

    // REG_MULTI_SZ split at NULs, up to the first empty element or the end of the data;
    // a last element without its NUL is dropped.
    virtual bool getMultiString(const std::string& keyPath, const std::string& valueName,
                                std::vector<std::string>& values, RegistryStatus* status = nullptr);
    virtual bool getMultiString(const std::wstring& keyPath, const std::wstring& valueName,
                                std::vector<std::wstring>& values, RegistryStatus* status = nullptr);
    // Each element and one NUL, then a closing NUL (an empty list is two NULs). An
    // empty element refuses the call with InvalidArgument before anything is written.
    virtual bool setMultiString(const std::string& keyPath, const std::string& valueName,
                                const std::vector<std::string>& values, RegistryStatus* status = nullptr);
    virtual bool setMultiString(const std::wstring& keyPath, const std::wstring& valueName,
                                const std::vector<std::wstring>& values, RegistryStatus* status = nullptr);

    // REG_BINARY only.
    virtual bool getBinary(const std::string& keyPath, const std::string& valueName,
                           std::vector<std::uint8_t>& data, RegistryStatus* status = nullptr);
    virtual bool getBinary(const std::wstring& keyPath, const std::wstring& valueName,
                           std::vector<std::uint8_t>& data, RegistryStatus* status = nullptr);
    virtual bool setBinary(const std::string& keyPath, const std::string& valueName,
                           const std::vector<std::uint8_t>& data, RegistryStatus* status = nullptr);
    virtual bool setBinary(const std::wstring& keyPath, const std::wstring& valueName,
                           const std::vector<std::uint8_t>& data, RegistryStatus* status = nullptr);

    virtual bool deleteValue(const std::string& keyPath, const std::string& valueName,
                             RegistryStatus* status = nullptr);
    virtual bool deleteValue(const std::wstring& keyPath, const std::wstring& valueName,
                             RegistryStatus* status = nullptr);

    // True when the key can be opened (READ_CONTROL).
    virtual bool keyExists(const std::string& keyPath, RegistryStatus* status = nullptr);
    virtual bool keyExists(const std::wstring& keyPath, RegistryStatus* status = nullptr);
    virtual bool subKeyExists(const std::string& parentPath, const std::string& subKey,
                              RegistryStatus* status = nullptr);
    virtual bool subKeyExists(const std::wstring& parentPath, const std::wstring& subKey,
                              RegistryStatus* status = nullptr);

    // Creates (or opens) parent\subKey, non-volatile. Missing levels of the parent are
    // created by the system as well; an empty subKey gives InvalidArgument.
    virtual bool createKey(const std::string& parentPath, const std::string& subKey,
                           RegistryStatus* status = nullptr);
    virtual bool createKey(const std::wstring& parentPath, const std::wstring& subKey,
                           RegistryStatus* status = nullptr);
    // The same with RegCreateKeyExW options (REG_OPTION_VOLATILE, ...).
    virtual bool createKey(const std::string& parentPath, const std::string& subKey, DWORD options,
                           RegistryStatus* status = nullptr);
    virtual bool createKey(const std::wstring& parentPath, const std::wstring& subKey, DWORD options,
                           RegistryStatus* status = nullptr);

    // Deletes parent\subKey, which must have no sub-keys.
    virtual bool deleteKey(const std::string& parentPath, const std::string& subKey,
                           RegistryStatus* status = nullptr);
    virtual bool deleteKey(const std::wstring& parentPath, const std::wstring& subKey,
                           RegistryStatus* status = nullptr);
    // The same, split at the last backslash; a path without one gives InvalidArgument.
    virtual bool deleteKey(const std::string& keyPath, RegistryStatus* status = nullptr);
    virtual bool deleteKey(const std::wstring& keyPath, RegistryStatus* status = nullptr);

    // Creates every missing level below the first, top-down, through createKey. A path
    // without a backslash names a top-level key, which is taken to exist: Ok at once.
    virtual bool createKeyPath(const std::string& keyPath, RegistryStatus* status = nullptr);
    virtual bool createKeyPath(const std::wstring& keyPath, RegistryStatus* status = nullptr);

    // Deletes parent\subKey with everything below it.
    virtual bool deleteTree(const std::string& parentPath, const std::string& subKey,
                            RegistryStatus* status = nullptr);
    virtual bool deleteTree(const std::wstring& parentPath, const std::wstring& subKey,
                            RegistryStatus* status = nullptr);

    // Names of the key's sub-keys in index order, and their count. A name longer than
    // 255 characters gives Failed; on failure the list is empty and the count 0.
    virtual DWORD enumSubKeys(const std::string& keyPath, std::vector<std::string>& names,
                              RegistryStatus* status = nullptr);
    virtual DWORD enumSubKeys(const std::wstring& keyPath, std::vector<std::wstring>& names,
                              RegistryStatus* status = nullptr);
    // Names of the key's values, as enumSubKeys.
    virtual DWORD enumValueNames(const std::string& keyPath, std::vector<std::string>& names,
                                 RegistryStatus* status = nullptr);
    virtual DWORD enumValueNames(const std::wstring& keyPath, std::vector<std::wstring>& names,
                                 RegistryStatus* status = nullptr);

    // Both affect later operations only. samFlags is OR-ed into every access mask:
    // KEY_WOW64_64KEY or KEY_WOW64_32KEY choose the registry view.
    virtual void setRoot(HKEY root);
    virtual void setSamFlags(REGSAM samFlags);

    // Runs `callback` each time root\keyPath (in the current view) changes as the REG_NOTIFY_*
    // filter says, on the thread of a RegistryChangeNotificationManager that the first call
    // creates; see there for what a callback may do (it must not use this object). An empty
    // callback gives InvalidArgument; a watch the manager refuses (more than it can wait
    // on) gives Failed. A missing key is watched without error and never fires.
    virtual bool watchKey(const std::string& keyPath, bool watchSubtree, DWORD notifyFilter,
                          std::function<void()> callback, RegistryStatus* status = nullptr);
    virtual bool watchKey(const std::wstring& keyPath, bool watchSubtree, DWORD notifyFilter,
                          std::function<void()> callback, RegistryStatus* status = nullptr);
    // Stops the watcher's thread and drops every watch, when there is a watcher.
    virtual void unwatchAll();

    // The status of the last operation.
    virtual RegistryStatus lastStatus() const;
    // The system error of the last operation: ERROR_SUCCESS after success, the call's own
    // code where a system call failed, else a code that fits the status (a wrong type
    // ERROR_DATATYPE_MISMATCH, malformed data ERROR_INVALID_DATA, a refused argument
    // ERROR_INVALID_PARAMETER).
    virtual LSTATUS lastError() const;

    // Any type: the data and its REG_* type (0 on failure).
    virtual bool getRawValue(const std::string& keyPath, const std::string& valueName,
                             std::vector<std::uint8_t>& data, DWORD& type, RegistryStatus* status = nullptr);
    virtual bool getRawValue(const std::wstring& keyPath, const std::wstring& valueName,
                             std::vector<std::uint8_t>& data, DWORD& type, RegistryStatus* status = nullptr);

private:
    bool report(RegistryStatus result, RegistryStatus* status);
    bool report(RegistryStatus result, LSTATUS error, RegistryStatus* status);
    bool reportError(LSTATUS error, RegistryStatus* status);
    LSTATUS openKey(const std::wstring& keyPath, REGSAM access, HKEY* key) const;
    // Reads a value whose type passes `accepts` (any type when null) and, when
    // exactSize is not 0, whose data has exactly that many bytes.
    RegistryStatus readValue(const std::wstring& keyPath, const std::wstring& valueName, REGSAM access,
                             bool (*accepts)(DWORD), DWORD exactSize, std::vector<std::uint8_t>& data,
                             DWORD& type) const;
    LSTATUS writeValue(const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                       const void* data, size_t size) const;
    DWORD enumNames(const std::wstring& keyPath, bool values, std::vector<std::wstring>& names,
                    RegistryStatus* status);

    HKEY root_ = HKEY_LOCAL_MACHINE;
    REGSAM samFlags_ = 0;
    std::unique_ptr<RegistryChangeNotificationManager> watcher_;
    RegistryStatus status_ = RegistryStatus::Ok;
    LSTATUS error_ = ERROR_SUCCESS;
};

// The registry object most callers make on the stack for one sequence of operations.
class LightWin32Registry : public Win32Registry {};
