#pragma once

#include <windows.h>

#include "LogLines.h"

#include "logging/Log.h"
#include "test-support/TestSupport.h"

namespace hoster_test {

// The log of the test program, opened at Verbose on first use below a directory of its own.
inline const std::wstring& testLogPath() {
    static kv::test::TempDirectory root;
    static const std::wstring path = [] {
        configureLogging(root.path());
        KvZarnLogging::openLog(L"HosterApiTests", L"client", KvZarnLogging::Verbose, 0);
        return logFilePath(root.path(), L"HosterApiTests", L"client");
    }();
    return path;
}

} // namespace hoster_test
