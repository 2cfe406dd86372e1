#include "support/heap_check.h"

#include <vector>

#include "platform/platform.h"

bool heapsIntact() {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    const DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    for (DWORD index = 0; index < count && index < heaps.size(); ++index) {
        if (!HeapValidate(heaps[index], 0, nullptr)) return false;
    }
    return true;
}
