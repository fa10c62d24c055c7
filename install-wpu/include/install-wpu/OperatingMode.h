#pragma once

// The product's operating modes, read from values below the product root of the
// current namespace (HKEY_LOCAL_MACHINE, 64-bit view). Nothing here writes.

// True when "rook" below the product root is a non-zero REG_DWORD (or a 4-byte
// REG_NONE); a missing value, another type or 0 is not rook mode.
bool isROOKOperatingMode();

// True when "TEBMode" below the product root's "\updates" key is a REG_SZ or
// REG_EXPAND_SZ of exactly "true", "1", "on" or "yes" in any letter case.
bool isTEBMode();
