#include "qrx/wire/command_serialization.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"

namespace {

// Appends the fields of one part straight into the message buffer, counts
// first as placeholders that are filled in when their section ends.
class PartWriter {
public:
    explicit PartWriter(CGrowingBuffer& msg) : m_msg(msg), m_nStart(msg.GetLength()) {}

    int PartLen() const { return m_msg.GetLength() - m_nStart; }
    void CutBack() { m_msg.SetLength(m_nStart); }

    void U16(uint16_t v) {
        char b[2];
        StoreBE16(b, v);
        Bytes(b, 2);
    }
    void U32(uint32_t v) {
        char b[4];
        StoreBE32(b, v);
        Bytes(b, 4);
    }
    void Value(int v) { U32(static_cast<uint32_t>(v)); }
    void Value(double d) {
        uint64_t u;
        memcpy(&u, &d, sizeof u);
        U32(static_cast<uint32_t>(u >> 32));
        U32(static_cast<uint32_t>(u));
    }
    void Value(char c) { Bytes(&c, 1); }
    void Value(const GrowingStr& s) {
        U16(s.length());
        Bytes(s.c_str(), s.length());
    }

    // A 16-bit placeholder; returns where it lies.
    int Mark() {
        const int at = m_msg.GetLength();
        U16(0);
        return at;
    }
    void Patch(int at, short n) { StoreBE16(m_msg.GetData() + at, static_cast<uint16_t>(n)); }

private:
    void Bytes(const void* p, int n) {
        if (n <= 0) {
            return;
        }
        const int len = m_msg.GetLength();
        if (len + n > m_msg.GetSize()) {
            // Doubling keeps a part of many small fields to a few allocations.
            const int twice = m_msg.GetSize() * 2;
            m_msg.GetBuffer(len + n > twice ? len + n : twice);
        }
        memcpy(m_msg.GetData() + len, p, static_cast<size_t>(n));
        m_msg.SetLength(len + n);
    }

    CGrowingBuffer& m_msg;
    const int m_nStart;
};

// Wire bytes of one pair: the name's length field and bytes, then the value.
template <typename T>
int PairBytes(const GrowingStr& name, const T&) {
    return 2 + name.length() + static_cast<int>(sizeof(T));
}
int PairBytes(const GrowingStr& name, const GrowingStr& value) {
    return 2 + name.length() + 2 + value.length();
}

enum class SectionEnd { Finished, Full, Dropped };

// Writes one section (its count and as many pairs as fit) from the recorded
// position. nCountsAfter is the number of sections that follow in the part;
// their counts are reserved so that the part can always be closed in bounds.
template <typename Map>
SectionEnd WriteSection(PartWriter& w, const Map& m,
                        std::optional<typename Map::const_iterator>& pos, int nCountsAfter,
                        short& nInPart, bool bReportDrop, const GrowingStr& cmdName) {
    if (!pos) {
        pos = m.begin();
    }
    const int countAt = w.Mark();
    short n = 0;
    auto& it = *pos;
    while (it != m.end()) {
        if (w.PartLen() + PairBytes(it->first, it->second) + 2 * nCountsAfter >
            CCommand::MAX_PART_LEN) {
            if (nInPart == 0) {
                // Too big for any part: every part repeats the same opening.
                if (bReportDrop) {
                    fprintf(stderr,
                            "Field %s is too big to fit in one %s message, make it less than %d "
                            "byte!\n",
                            it->first.c_str(), cmdName.c_str(), CCommand::MAX_PART_LEN + 1);
                }
                ++it;
                return SectionEnd::Dropped;
            }
            w.Patch(countAt, n);
            for (int i = 0; i < nCountsAfter; ++i) {
                w.U16(0);
            }
            return SectionEnd::Full;
        }
        w.Value(it->first);
        w.Value(it->second);
        ++it;
        ++n;
        ++nInPart;
    }
    w.Patch(countAt, n);
    return SectionEnd::Finished;
}

}  // namespace

short CCommand::SerializeOut(CGrowingBuffer& Msg, CCommandSerializationState& state) const {
    if (state.m_pCommand != this) {
        state.Reset();
        state.m_pCommand = this;
    }
    PartWriter w(Msg);
    w.Value(m_sCommandName);
    w.U16(GetClientId());
    w.U16(GetRequestId());

    short nInPart = 0;
    SectionEnd end =
        WriteSection(w, m_MapIntParam, state.m_pIntParamBegin, 3, nInPart, false, m_sCommandName);
    if (end == SectionEnd::Finished) {
        end = WriteSection(w, m_MapDoubleParam, state.m_pDoubleParamBegin, 2, nInPart, false,
                           m_sCommandName);
    }
    if (end == SectionEnd::Finished) {
        end = WriteSection(w, m_MapCharParam, state.m_pCharParamBegin, 1, nInPart, true,
                           m_sCommandName);
    }
    if (end == SectionEnd::Finished) {
        end = WriteSection(w, m_MapStringParam, state.m_pStringParamBegin, 0, nInPart, true,
                           m_sCommandName);
    }
    if (end == SectionEnd::Dropped) {
        w.CutBack();
        state.m_nSerializedMsgLen = 0;
        return 0;
    }
    state.m_bDone = end == SectionEnd::Finished;
    state.m_nSerializedMsgLen = static_cast<unsigned int>(w.PartLen());
    return nInPart;
}

short CResponse::SerializeOut(CGrowingBuffer& Msg, CCommandSerializationState& state) const {
    // The status opens every part; the part's length bound does not count it.
    PartWriter w(Msg);
    w.U32(m_nStatus);
    const short n = CCommand::SerializeOut(Msg, state);
    if (n == 0 && !state.m_bDone) {
        w.CutBack();
        return 0;
    }
    state.m_nSerializedMsgLen += 4;
    return n;
}
