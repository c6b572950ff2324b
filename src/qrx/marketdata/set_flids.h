// A bit set of field ids: id i is bit i mod 64 of word i / 64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

template <size_t N>
class SetFlids {
public:
    static constexpr size_t CONST_BITS_PER_UL = 64;
    static constexpr size_t CONST_LEN_OF_ARR = (N + CONST_BITS_PER_UL - 1) / CONST_BITS_PER_UL;

    SetFlids() { clear(); }

    // Adds id; false when it was already there or lies outside 0..N-1.
    bool insert(int id) {
        if (!InRange(id) || Test(id)) {
            return false;
        }
        Word(id) |= Bit(id);
        ++m_Count;
        return true;
    }
    // Removes id; returns the number removed (0 or 1).
    size_t erase(int id) {
        if (!InRange(id) || !Test(id)) {
            return 0;
        }
        Word(id) &= ~Bit(id);
        --m_Count;
        return 1;
    }
    bool find(int id) const { return InRange(id) && Test(id); }
    bool operator[](int id) const { return find(id); }
    size_t size() const { return m_Count; }
    bool empty() const { return m_Count == 0; }
    void clear() {
        memset(m_Bits, 0, sizeof m_Bits);
        m_Count = 0;
    }

    // The smallest id in the set, or N when it is empty.
    int first() const { return Scan(0); }
    // The smallest id above id, or N when there is none.
    int next(int id) const { return id < 0 ? Scan(0) : Scan(static_cast<size_t>(id) + 1); }

private:
    static bool InRange(int id) { return id >= 0 && static_cast<size_t>(id) < N; }
    static uint64_t Bit(int id) {
        return uint64_t{1} << (static_cast<size_t>(id) % CONST_BITS_PER_UL);
    }
    uint64_t& Word(int id) { return m_Bits[static_cast<size_t>(id) / CONST_BITS_PER_UL]; }
    bool Test(int id) const {
        return (m_Bits[static_cast<size_t>(id) / CONST_BITS_PER_UL] & Bit(id)) != 0;
    }
    int Scan(size_t from) const {
        if (from >= N) {
            return static_cast<int>(N);
        }
        size_t w = from / CONST_BITS_PER_UL;
        uint64_t bits = m_Bits[w] & (~uint64_t{0} << (from % CONST_BITS_PER_UL));
        while (true) {
            if (bits != 0) {
                const size_t id =
                    w * CONST_BITS_PER_UL + static_cast<size_t>(__builtin_ctzll(bits));
                return id < N ? static_cast<int>(id) : static_cast<int>(N);
            }
            if (++w >= CONST_LEN_OF_ARR) {
                return static_cast<int>(N);
            }
            bits = m_Bits[w];
        }
    }

    size_t m_Count;
    uint64_t m_Bits[CONST_LEN_OF_ARR];
};
