#include "qrx/runtime/growing_str.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <utility>

const char GrowingStr::s_empty[1] = {'\0'};

GrowingStr::GrowingStr(const char* src) {
    if (src != nullptr && *src != '\0') {
        assign(src, static_cast<int>(strlen(src)));
    }
}

GrowingStr::GrowingStr(const GrowingStr& other) {
    assign(other.c_str(), other.m_nLen);
}

GrowingStr::GrowingStr(GrowingStr&& other) noexcept
    : m_nLen(other.m_nLen), m_nMaxSize(other.m_nMaxSize), m_pBuf(other.m_pBuf) {
    other.m_nLen = 0;
    other.m_nMaxSize = 0;
    other.m_pBuf = nullptr;
}

GrowingStr& GrowingStr::operator=(const GrowingStr& other) {
    if (this != &other) {
        assign(other.c_str(), other.m_nLen);
    }
    return *this;
}

GrowingStr& GrowingStr::operator=(GrowingStr&& other) noexcept {
    if (this != &other) {
        std::swap(m_nLen, other.m_nLen);
        std::swap(m_nMaxSize, other.m_nMaxSize);
        std::swap(m_pBuf, other.m_pBuf);
    }
    return *this;
}

GrowingStr& GrowingStr::operator=(const char* src) {
    assign(src);
    return *this;
}

GrowingStr::~GrowingStr() {
    free(m_pBuf);
}

bool GrowingStr::AssignSlow(const char* src, int len) {
    if (len == 0 || (src == nullptr && len > 0)) {
        m_nLen = 0;
        return len == 0;
    }
    if (len < 0 || len > MAX_LEN) {
        return false;
    }
    if (len >= m_nMaxSize) {
        free(m_pBuf);
        m_pBuf = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
        if (m_pBuf == nullptr) {
            m_nLen = 0;
            m_nMaxSize = 0;
            assert(!"void GrowingStr::assign(const char*, int)");
            abort();
        }
        m_nMaxSize = static_cast<unsigned short>(len + 1);
    }
    // The source may overlap our own buffer (assignment from a substring of ourselves).
    memmove(m_pBuf, src, static_cast<size_t>(len));
    m_pBuf[len] = '\0';
    m_nLen = static_cast<unsigned short>(len);
    return true;
}

bool GrowingStr::append(const char* src, int len) {
    if (src == nullptr || len == 0) {
        return true;
    }
    if (len < 0 || len + m_nLen > MAX_LEN) {
        return false;
    }
    if (len + m_nLen >= m_nMaxSize) {
        // The source may lie in our own buffer (appending ourselves), which realloc may move.
        const uintptr_t at = reinterpret_cast<uintptr_t>(src);
        const uintptr_t base = reinterpret_cast<uintptr_t>(m_pBuf);
        const bool bOwn = m_pBuf != nullptr && at >= base && at < base + m_nMaxSize;
        const int newSize = m_nLen + len + 1;
        char* p = static_cast<char*>(realloc(m_pBuf, static_cast<size_t>(newSize)));
        if (p == nullptr) {
            free(m_pBuf);
            m_pBuf = nullptr;
            m_nLen = 0;
            m_nMaxSize = 0;
            assert(!"void GrowingStr::append(const char*, int)");
            abort();
        }
        if (bOwn) {
            src = p + (at - base);
        }
        m_pBuf = p;
        m_nMaxSize = static_cast<unsigned short>(newSize);
    }
    memcpy(m_pBuf + m_nLen, src, static_cast<size_t>(len));
    m_nLen = static_cast<unsigned short>(m_nLen + len);
    m_pBuf[m_nLen] = '\0';
    return true;
}
