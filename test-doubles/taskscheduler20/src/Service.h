#pragma once

#include <windows.h>
#include <unknwn.h>

namespace kv::ts20 {

// The class factory of the service object (one reference).
IClassFactory* newClassFactory();

} // namespace kv::ts20
