// Feeds field-stream reads: the first byte counts the operations, one byte per
// operation picks a typed read (numbers, texts into arrays with and without a
// width, bounded texts, growing strings, nested streams, skips), and the rest
// is the stream they read. Each read must stay within the stream, leave the
// position alone when it fails (numbers), and a value read must write back to
// the same bytes.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "fuzz_util.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

namespace {

std::string Written(const CNetStream& out) {
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

// The bytes consumed by the last read: from before to the current position.
std::string Consumed(const std::string& body, int before, const CNetStream& in) {
    return body.substr(static_cast<size_t>(before),
                       static_cast<size_t>(in.GetReadOffset() - before));
}

template <typename T>
void ReadNumber(CNetStream& in, const std::string& body) {
    const int before = in.GetReadOffset();
    T v{};
    if (!in.GetNextField(v)) {
        FUZZ_CHECK(in.GetReadOffset() == before);
        return;
    }
    FUZZ_CHECK(in.GetReadOffset() > before);
    CNetStream out(true, 0, 0);
    FUZZ_CHECK(out.Append(v));
    const std::string consumed = Consumed(body, before, in);
    if (sizeof(T) == 8 && !std::is_floating_point<T>::value) {
        return;  // 64-bit integers travel as 32 bits and are widened
    }
    if (std::is_same<T, bool>::value) {
        FUZZ_CHECK(Written(out) == std::string(1, consumed[0] != 0 ? '\1' : '\0'));
        return;
    }
    FUZZ_CHECK(Written(out) == consumed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<char> big(70000);
    qrxfuzz::Input input(data, size);
    const int nOps = input.Byte() % 32;
    const std::string ops = input.Take(static_cast<size_t>(nOps));
    std::string body = input.Rest();
    CNetStream in(body.empty() ? nullptr : &body[0], static_cast<int>(body.size()), false);
    for (unsigned char op : ops) {
        const int before = in.GetReadOffset();
        switch (op % 14) {
            case 0:
                ReadNumber<char>(in, body);
                break;
            case 1:
                ReadNumber<bool>(in, body);
                break;
            case 2:
                ReadNumber<short>(in, body);
                break;
            case 3:
                ReadNumber<unsigned short>(in, body);
                break;
            case 4:
                ReadNumber<int>(in, body);
                break;
            case 5:
                ReadNumber<long>(in, body);
                break;
            case 6:
                ReadNumber<double>(in, body);
                break;
            case 7: {
                // Without a width the array holds any text.
                short n = -1;
                if (in.GetNextField(big.data(), &n)) {
                    FUZZ_CHECK(big[static_cast<unsigned short>(n)] == '\0');
                }
                break;
            }
            case 8: {
                // A width from the operation byte: the text is cut to it.
                const unsigned short width = static_cast<unsigned short>(1 + (op >> 4));
                char small[16 + 1];
                memset(small, 'x', sizeof small);
                in >> CNetStreamMax{width};
                short n = -1;
                if (in.GetNextField(small, &n)) {
                    FUZZ_CHECK(n >= 0 && n < width);
                    FUZZ_CHECK(small[n] == '\0');
                }
                FUZZ_CHECK(small[16] == 'x');
                break;
            }
            case 9: {
                char arr[8];
                if (read_fixed_text(in, arr)) {
                    FUZZ_CHECK(memchr(arr, 0, sizeof arr) != nullptr);
                    CNetStream out(true, 0, 0);
                    FUZZ_CHECK(append_fixed_text(out, arr));
                }
                break;
            }
            case 10: {
                GrowingStr s;
                const int maxLen = (op >> 4) * 4;
                if (in.GetNextField(s, maxLen)) {
                    FUZZ_CHECK(maxLen == 0 || static_cast<int>(s.length()) <= maxLen);
                    CNetStream out(true, 0, 0);
                    FUZZ_CHECK(out.Append(s));
                    FUZZ_CHECK(Written(out) == Consumed(body, before, in));
                }
                break;
            }
            case 11: {
                CNetStream nested(true, 0, 0);
                if (in.GetNextField(nested)) {
                    CNetStream out(true, 0, 0);
                    FUZZ_CHECK(out.Append(nested));
                    FUZZ_CHECK(Written(out) == Consumed(body, before, in));
                }
                break;
            }
            case 12: {
                char buf[4];
                int stored = -1;
                const int cap = 1 + (op >> 4) % 4;
                if (in.GetNextText(buf, cap, stored)) {
                    FUZZ_CHECK(stored >= 0 && stored < cap && buf[stored] == '\0');
                }
                break;
            }
            default: {
                const size_t n = op >> 4;
                if (!in.Skip(n)) {
                    FUZZ_CHECK(in.GetReadOffset() == before);
                }
                break;
            }
        }
        FUZZ_CHECK(in.GetReadOffset() >= before);
        FUZZ_CHECK(static_cast<size_t>(in.GetReadOffset()) <= body.size());
        FUZZ_CHECK(in.GetRemaining() == static_cast<int>(body.size()) - in.GetReadOffset());
    }
    return 0;
}
