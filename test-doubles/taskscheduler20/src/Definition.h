#pragma once

#include "Model.h"

#include <memory>

namespace kv::ts20 {

// A new ITaskDefinition (one reference) editing `data`; its parts (registration
// information, principal, settings, actions, triggers) are views of the same data.
ITaskDefinition* newDefinition(std::shared_ptr<TaskData> data);

// A copy of what one of the double's own definitions holds; E_INVALIDARG for any other.
HRESULT snapshotOf(ITaskDefinition* definition, TaskData& data);

} // namespace kv::ts20
