#pragma once

#include <string>

namespace kv::wpu {

// The update being installed, from the environment; empty when a variable is unset.
std::wstring getModule();  // "wp_module"
std::wstring getVersion(); // "wp_version"
// "wp_title", or module + " " + version when it is unset or empty.
std::wstring getTitle();

// Records a reboot request below the product root in the volatile key
// "RebootRequested" (gone after the next restart of Windows), with the value
// "reason" when reason is not empty. A missing product root is created first, as an
// ordinary key. False when the key or its reason could not be written: the Warning of
// a key that cannot be created, then an Error line (logRecordNotWritten).
bool set_reboot_requested(const std::wstring& reason);

// The Error line of a record that could not be written: its name, its key and the
// system error.
void logRecordNotWritten(const char* function, const wchar_t* record, const std::wstring& key,
                         unsigned long error);

} // namespace kv::wpu

namespace wp {

// Below the product root's updates\<module>: the version key named exactly version
// gets "status" = "active"; every other version key "inactive", except that the
// formerly "active" one becomes "previous" when keepPrevious is true. Keys are never
// created. An empty module logs a Warning and changes nothing. False (after an Error
// line for each) when a status could not be written or an existing module key could
// not be listed; the remaining versions are still written.
bool markActiveVersion(const std::wstring& module, const std::wstring& version, bool keepPrevious);

// The version key named exactly version below updates\<module> gets "status" =
// "failed-will-retry"; nothing else changes. False as markActiveVersion.
bool markToTryAgain(const std::wstring& module, const std::wstring& version);

} // namespace wp
