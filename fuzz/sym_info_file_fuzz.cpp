// Feeds the static symbol information file reader: the input is the file
// (held in memory, read through its /proc path). What it reads must, when the
// writer accepts all of it, be written and read back to equal records.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace {

// An anonymous in-memory file and a path by which fopen reaches it.
class MemFile {
public:
    MemFile() {
        m_fd = memfd_create("qrx_fuzz", 0);
        snprintf(m_path, sizeof m_path, "/proc/self/fd/%d", m_fd);
    }
    ~MemFile() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool Ok() const { return m_fd >= 0; }
    const char* Path() const { return m_path; }
    bool Fill(const uint8_t* data, size_t size) {
        if (ftruncate(m_fd, 0) != 0 || lseek(m_fd, 0, SEEK_SET) != 0) {
            return false;
        }
        size_t off = 0;
        while (off < size) {
            const ssize_t n = write(m_fd, data + off, size - off);
            if (n <= 0) {
                return false;
            }
            off += static_cast<size_t>(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    char m_path[64] = {};
};

bool SameDouble(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof a) == 0;
}

template <typename T, typename Eq>
bool SameMap(const FlidMap<T>& a, const FlidMap<T>& b, Eq eq) {
    auto ia = a.begin();
    auto ib = b.begin();
    for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
        if (ia.Id() != ib.Id() || !eq(ia.Value(), ib.Value())) {
            return false;
        }
    }
    return ia == a.end() && ib == b.end();
}

bool Same(const CSymData& a, const CSymData& b) {
    auto plain = [](const auto& x, const auto& y) { return x == y; };
    return SameMap(a.m_map_flid_2_double, b.m_map_flid_2_double, SameDouble) &&
           SameMap(a.m_map_flid_2_int, b.m_map_flid_2_int, plain) &&
           SameMap(a.m_map_flid_2_GrowingStr, b.m_map_flid_2_GrowingStr, plain) &&
           SameMap(a.m_map_flid_2_char, b.m_map_flid_2_char, plain);
}

void Free(CSymDataAux::StaticSymInfoMap& m) {
    for (auto& e : m) {
        delete e.second;
    }
    m.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemFile in;
    static MemFile out;
    if (!in.Ok() || !out.Ok() || !in.Fill(data, size)) {
        return 0;
    }
    CSymDataAux::StaticSymInfoMap first;
    if (CSymDataAux::SerializeSymIn(first, in.Path(), true)) {
        for (auto& e : first) {
            FUZZ_CHECK(e.second != nullptr);
            FUZZ_CHECK(e.first.length() > 0 && e.first.length() < 128);
        }
        if (CSymDataAux::SerializeSymOut(first, out.Path(), false)) {
            CSymDataAux::StaticSymInfoMap second;
            const bool read = CSymDataAux::SerializeSymIn(second, out.Path(), true);
            FUZZ_CHECK(read);
            FUZZ_CHECK(second.size() == first.size());
            auto a = first.begin();
            auto b = second.begin();
            for (; a != first.end() && b != second.end(); ++a, ++b) {
                FUZZ_CHECK(a->first == b->first);
                FUZZ_CHECK(Same(*a->second, *b->second));
            }
            Free(second);
        }
    }
    Free(first);
    return 0;
}
