#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A plug-in of the product's host and the restart that makes the host run its new library.
class HosterPlugin {
public:
    HosterPlugin(std::uint32_t hosterId, std::wstring name);

    // Restarts the plug-in through the process-wide host API (or starts it when it was not
    // running) and decides whether a reboot is needed: only when the host runs and answered
    // the stop or start with a failure or an unexpected result. Raises nothing of its own.
    void restart();
    bool rebootRequested() const noexcept { return rebootRequested_; }

private:
    std::wstring name_;
    std::uint32_t hosterId_;
    bool rebootRequested_ = false;
};

// Writes the plug-in's registration key below the namespace's host plug-in key (64-bit
// view): "DllName", "Name", "HosterId", one REG_DWORD per extra value and, when the list
// is not empty, "DependOnModules". Failed writes are ignored; the dependency list is taken
// over and left empty.
void registerHosterPlugin(const std::wstring& name, const std::wstring& dllPath, std::uint32_t hosterId,
                          const std::map<std::wstring, std::uint32_t>& extraValues,
                          std::vector<std::wstring>&& dependOnModules);

// The updater's plug-in library in `directory` (the installer's own directory), with one
// backslash between them whether or not the directory ends in one.
std::wstring hosterPluginLibraryPath(const std::wstring& directory);
