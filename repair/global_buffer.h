// Zero-filled moveable global memory, released when the owner returns.
#pragma once

#include "platform/winapi.h"

class CGlobalBuffer {
public:
    explicit CGlobalBuffer(SIZE_T bytes)
        : m_hMemory(sys::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes)),
          m_pData(m_hMemory ? static_cast<BYTE*>(sys::GlobalLock(m_hMemory)) : nullptr) {}
    ~CGlobalBuffer() {
        if (m_hMemory == nullptr) return;
        if (m_pData != nullptr) sys::GlobalUnlock(m_hMemory);
        sys::GlobalFree(m_hMemory);
    }
    CGlobalBuffer(const CGlobalBuffer&) = delete;
    CGlobalBuffer& operator=(const CGlobalBuffer&) = delete;

    BYTE* Data() const { return m_pData; }

private:
    HGLOBAL m_hMemory;
    BYTE* m_pData;
};
