// Growable array that keeps its storage (and, for objects, the objects) when it
// is emptied, so that a reused array refills without allocating.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

// Copy policy of plain records: bytes are copied, emptied entries zero-filled.
struct MemCopy {
    template <typename T>
    static void Copy(T* dst, const T* src, size_t n) {
        if (n != 0) {
            memcpy(static_cast<void*>(dst), static_cast<const void*>(src), n * sizeof(T));
        }
    }
    template <typename T>
    static void Move(T* dst, T* src, size_t n) {
        Copy(dst, src, n);
    }
    template <typename T>
    static void Empty(T* p, size_t n) {
        if (n != 0) {
            memset(static_cast<void*>(p), 0, n * sizeof(T));
        }
    }
};

// Copy policy of records holding objects: element by element; emptied entries
// keep their objects for reuse.
struct ObjCopy {
    template <typename T>
    static void Copy(T* dst, const T* src, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            dst[i] = src[i];
        }
    }
    template <typename T>
    static void Move(T* dst, T* src, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            dst[i] = std::move(src[i]);
        }
    }
    template <typename T>
    static void Empty(T*, size_t) {}
};

template <typename T, typename CopyPolicy>
class DynArray {
public:
    explicit DynArray(size_t nInitSize) : m_Size(0), m_initSize(nInitSize == 0 ? 1 : nInitSize) {
        m_pBuffArray = new T[m_initSize]();
    }
    DynArray(const DynArray& other) : DynArray(other.m_initSize) { CopyFrom(other); }
    DynArray& operator=(const DynArray& other) {
        CopyFrom(other);
        return *this;
    }
    ~DynArray() { delete[] m_pBuffArray; }

    size_t Size() const { return m_Size; }
    size_t size() const { return m_Size; }
    bool empty() const { return m_Size == 0; }
    size_t Capacity() const { return m_initSize; }

    T& operator[](size_t i) { return m_pBuffArray[i]; }
    const T& operator[](size_t i) const { return m_pBuffArray[i]; }
    T* begin() { return m_pBuffArray; }
    T* end() { return m_pBuffArray + m_Size; }
    const T* begin() const { return m_pBuffArray; }
    const T* end() const { return m_pBuffArray + m_Size; }

    // Appends a copy of v; a full array doubles its capacity first.
    void push_back(const T& v) {
        if (m_Size == m_initSize && Holds(&v)) {
            const T copy(v);  // v is one of our entries, which growing frees
            push_back(copy);
            return;
        }
        NextSlot() = v;
        ++m_Size;
    }
    // True when p lies in the array's storage (an entry or a member of one).
    bool Holds(const void* p) const {
        const uintptr_t at = reinterpret_cast<uintptr_t>(p);
        const uintptr_t base = reinterpret_cast<uintptr_t>(m_pBuffArray);
        return at >= base && at - base < m_initSize * sizeof(T);
    }
    // The entry behind the last one, made available (growing if full) but not
    // yet counted: fill it, then Commit() to keep it. Lets a reader fill an
    // entry in place and drop it without cost.
    T& NextSlot() {
        if (m_Size == m_initSize) {
            Grow();
        }
        return m_pBuffArray[m_Size];
    }
    void Commit() { ++m_Size; }

    // Empties the array; capacity and objects stay.
    void Clear() {
        CopyPolicy::Empty(m_pBuffArray, m_Size);
        m_Size = 0;
    }

    // Makes this array a copy of src; storage is replaced only when it is not
    // larger than src's size, by one of src's capacity.
    void CopyFrom(const DynArray& src) {
        if (&src == this) {
            return;
        }
        if (m_initSize <= src.m_Size) {
            delete[] m_pBuffArray;
            m_initSize = src.m_initSize;
            m_pBuffArray = new T[m_initSize]();
        } else {
            CopyPolicy::Empty(m_pBuffArray, m_Size);
        }
        CopyPolicy::Copy(m_pBuffArray, src.m_pBuffArray, src.m_Size);
        m_Size = src.m_Size;
    }

    // Entries of equal rank keep their order, so that the first of a repeated id stays first.
    // An array already in order (the common case) is left as it is, without the scratch
    // memory a stable sort takes.
    template <typename Compare>
    void Sort(Compare comp) {
        if (!std::is_sorted(begin(), end(), comp)) {
            std::stable_sort(begin(), end(), comp);
        }
    }

private:
    void Grow() {
        const size_t cap = m_initSize * 2;
        T* p = new T[cap]();
        CopyPolicy::Move(p, m_pBuffArray, m_Size);
        delete[] m_pBuffArray;
        m_pBuffArray = p;
        m_initSize = cap;
    }

    T* m_pBuffArray;
    size_t m_Size;
    size_t m_initSize;
};
