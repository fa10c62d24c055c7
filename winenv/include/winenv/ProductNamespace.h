#pragma once

#include <string>

// The product's registry tree below HKEY_LOCAL_MACHINE, shared by every component
// that builds a product path.
namespace productpath {

inline constexpr wchar_t DefaultNamespaceName[] = L"wp_default";
inline constexpr wchar_t NamespacePrefix[] = L"wp_";
inline constexpr wchar_t MakerRoot[] = L"SOFTWARE\\Korvane";
inline constexpr wchar_t ProductKeyName[] = L"Wisp";
inline constexpr wchar_t NamespaceBranch[] = L"\\NS\\";
inline constexpr wchar_t Separator[] = L"\\";
inline constexpr wchar_t SettingsSuffix[] = L"\\Settings";
inline constexpr wchar_t StatisticsSuffix[] = L"\\Statistics";
inline constexpr wchar_t UpdatesSuffix[] = L"\\updates";
inline constexpr wchar_t ModulesSuffix[] = L"\\modules";
inline constexpr wchar_t PlugInsSuffix[] = L"\\HXQ2\\Plug-Ins";
inline constexpr wchar_t RebootRequestedSuffix[] = L"\\RebootRequested";

} // namespace productpath

// The product namespace name of the running executable: "wp_" + its namespace
// (getCurrentNamespace), or "wp_default" when it has none.
std::wstring productNamespaceName();

// The product namespace name for a namespace as the resolver reports it ("" for none).
std::wstring productNamespaceNameFor(const std::wstring& resolvedNamespace);

// The product root for a product namespace name: SOFTWARE\Korvane\Wisp for exactly
// "wp_default", else SOFTWARE\Korvane\NS\<namespaceName>.
std::wstring productRoot(const std::wstring& namespaceName);

// Whether the file system can hold name as one directory name: 1 to 255 characters,
// none of < > : " / \ | ? * or a control character, no unpaired surrogate, and no
// blank or period at the end.
bool isUsableFolderName(const std::wstring& name);
