// The body of a key object (type *CmKeyObjectType): a reference to the key's node.
#pragma once

#include <ntdef.h>

#include <memory>

namespace nt {

struct KeyNode;

struct KeyObject {
    std::shared_ptr<KeyNode>
        Node; // read-only after creation; the node itself is guarded by the registry lock
};

// The key type's delete routine.
void CmDeleteKeyObject(PVOID body);

} // namespace nt
