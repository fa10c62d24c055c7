// Prints the system's message for an HRESULT as the installer's exception texts show it
// (the COM error's message), in UTF-8, so that expected logs never hard-code a
// platform's wording.
//   system-message 0x80070005
#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: system-message HRESULT\n");
        return 2;
    }
    const auto hr = static_cast<HRESULT>(std::wcstoul(argv[1], nullptr, 0));
    const kv::ComError error(hr);
    const wchar_t* message = error.ErrorMessage();
    std::fputs(kv::str::wideToUtf8(message == nullptr ? L"" : message).c_str(), stdout);
    return 0;
}
