#pragma once

#include <windows.h>
#include <sddl.h>

#include "kvtl/Handle.h"
#include "kvtl/Str.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

// Helpers of the winenv test executables.

// The running test as "Suite.Name", for keys of its own.
inline std::wstring testName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return kv::str::utf8ToWide(std::string(info->test_suite_name()) + "." + info->name());
}

// Runs winenv_probe.exe in that mode, with that primary token when given; its exit code.
inline DWORD runProbe(const std::wstring& mode, HANDLE token = nullptr) {
    return kv::test::runCommand(
        L"\"" + kv::test::besideTestExecutable(L"probe\\winenv_probe.exe") + L"\" " + mode, 60000, token);
}

// Gives root\path in that registry view the DACL of an SDDL text, creating the key if need be.
inline void setKeyDacl(HKEY root, const std::wstring& path, REGSAM view, const wchar_t* sddl) {
    kv::UniqueHkey key;
    ASSERT_EQ(
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, WRITE_DAC | view, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const kv::UniqueLocal owner(descriptor);
    EXPECT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
}
