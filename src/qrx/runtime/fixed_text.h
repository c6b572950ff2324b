// Texts copied into the fixed-size character fields of messages and records.
#pragma once

#include <cstddef>
#include <cstring>

// Copies the first len characters of src into the size bytes at dst (size > 0),
// cut to size - 1 characters and NUL-terminated; the bytes behind are untouched.
inline void CopyCut(char* dst, size_t size, const char* src, size_t len) {
    if (len > size - 1) {
        len = size - 1;
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// The same for the text src up to its NUL; a null src leaves dst as it is.
inline void CopyCut(char* dst, size_t size, const char* src) {
    if (src != nullptr) {
        CopyCut(dst, size, src, strnlen(src, size - 1));
    }
}
