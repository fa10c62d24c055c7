#pragma once

#include <windows.h>
#include <sddl.h>

#include "kvtl/Handle.h"

#include <gtest/gtest.h>

#include <string>

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
