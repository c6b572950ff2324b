// Feeds commands and responses as they arrive in Sym messages: one byte picks
// a command, a response or the textual form, the rest is read by it. What is
// read must write back to bytes that read to the same bytes again, and a
// command split into parts (SerializeOut) must merge back into itself.
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_util.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"

namespace {

std::string Whole(const CCommand& cmd) {
    CNetStream out(true, 0, 0);
    if (!cmd.WriteTo(out)) {
        return std::string();
    }
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

template <typename T>
void RoundTrip(const T& first) {
    CNetStream out1(true, 0, 0);
    if (!first.WriteTo(out1)) {
        return;
    }
    char* p;
    int n;
    out1.GetBuf(p, n);
    std::string bytes(p, static_cast<size_t>(n));
    CNetStream in(bytes.empty() ? nullptr : &bytes[0], n, false);
    T second;
    const bool read = second.ReadFrom(in);
    FUZZ_CHECK(read);
    CNetStream out2(true, 0, 0);
    const bool written = second.WriteTo(out2);
    FUZZ_CHECK(written);
    char* p2;
    int n2;
    out2.GetBuf(p2, n2);
    FUZZ_CHECK(std::string(p2, static_cast<size_t>(n2)) == bytes);
}

// Splits the command into parts and reads them back as a receiver does.
void SplitAndMerge(const CCommand& cmd) {
    const std::string whole = Whole(cmd);
    if (whole.empty()) {
        return;
    }
    CCommandSerializationState state;
    CCommand rebuilt;
    bool first = true;
    for (int parts = 0; parts < 10000 && !state.m_bDone; ++parts) {
        CGrowingBuffer buf;
        const short nParams = cmd.SerializeOut(buf, state);
        if (nParams == 0 && !state.m_bDone) {
            return;  // a parameter too big for any part: the command cannot be sent
        }
        FUZZ_CHECK(buf.GetLength() <= CCommand::MAX_PART_LEN);
        std::string bytes(buf.GetData(), static_cast<size_t>(buf.GetLength()));
        CNetStream in(bytes.empty() ? nullptr : &bytes[0], static_cast<int>(bytes.size()), false);
        CCommand part;
        const bool read = part.ReadFrom(in);
        FUZZ_CHECK(read);
        if (first) {
            rebuilt = part;
            first = false;
        } else {
            const bool merged = rebuilt.Merge(part);
            FUZZ_CHECK(merged);
        }
    }
    FUZZ_CHECK(state.m_bDone);
    FUZZ_CHECK(Whole(rebuilt) == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    std::string body = input.Rest();
    CNetStream in(body.empty() ? nullptr : &body[0], static_cast<int>(body.size()), false);
    switch (sel % 3) {
        case 0: {
            CCommand cmd;
            if (cmd.ReadFrom(in)) {
                RoundTrip(cmd);
                SplitAndMerge(cmd);
            }
            break;
        }
        case 1: {
            CResponse rsp;
            if (rsp.ReadFrom(in)) {
                RoundTrip(rsp);
            }
            break;
        }
        default: {
            CCommand cmd;
            cmd.fromASCIIString(body.c_str());
            std::ostringstream os;
            cmd.toASCIIString(os);
            break;
        }
    }
    return 0;
}
