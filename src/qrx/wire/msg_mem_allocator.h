// Blocks that a deserialized message owns beyond its fixed memory. The
// deserializer registers each block with the function that releases it; the
// blocks live until the next message is read or the allocator is destroyed.
#pragma once

#include <utility>
#include <vector>

class CMsgMemAllocator {
public:
    typedef void (*ReleaseFn)(void*);

    CMsgMemAllocator() = default;
    ~CMsgMemAllocator() { DeallocateAll(); }
    CMsgMemAllocator(const CMsgMemAllocator&) = delete;
    CMsgMemAllocator& operator=(const CMsgMemAllocator&) = delete;

    // Takes ownership of pBlock; pfnRelease(pBlock) frees it later. A null
    // block or function is not registered.
    void Register(void* pBlock, ReleaseFn pfnRelease) {
        if (pBlock != nullptr && pfnRelease != nullptr) {
            m_vMemRegistry.emplace_back(pBlock, pfnRelease);
        }
    }

    // Releases every block in the order of registration and empties the list;
    // the list keeps its storage for the next message.
    void DeallocateAll() {
        for (auto& entry : m_vMemRegistry) {
            entry.second(entry.first);
        }
        m_vMemRegistry.clear();
    }

    size_t GetCount() const { return m_vMemRegistry.size(); }

private:
    std::vector<std::pair<void*, ReleaseFn>> m_vMemRegistry;
};
