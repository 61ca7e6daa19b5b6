// Fixed global memory: page-backed user memory of the calling process, so that a buffer handed
// to a direct-I/O request can be mapped by the kernel.
#include "win32_internal.h"

#include "ob/process.h"

#include <cstring>

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    nt::Process* process = nullptr;
    if (win32::CurrentKernel(&process) == nullptr)
        return nullptr;
    if ((uFlags & ~GPTR) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // only fixed blocks exist here
        return nullptr;
    }
    void* block = process->AllocateUserMemory(dwBytes == 0 ? 1 : dwBytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (uFlags & GMEM_ZEROINIT)
        std::memset(block, 0, dwBytes);
    return block;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
    nt::Process* process = nullptr;
    if (hMem == nullptr || win32::CurrentKernel(&process) == nullptr)
        return hMem;
    int fd = -1;
    size_t offset = 0;
    if (!process->FindUserRegion(hMem, 1, &fd, &offset)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    process->FreeUserMemory(hMem);
    return nullptr;
}
