// Feeds the translation file reader: the input is the file (held in memory,
// read through its /proc path); then the words of the file are looked up in
// both directions, which runs the rules it declared. A translation found must
// be a terminated text, and a client symbol in the forward map must be among
// the synonyms of its feed symbol.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "qrx/proxy/sym_translator.h"

namespace {

int MemFileWith(const uint8_t* data, size_t size) {
    const int fd = memfd_create("qrx_fuzz_xlate", 0);
    if (fd < 0) {
        return -1;
    }
    size_t off = 0;
    while (off < size) {
        const ssize_t n = write(fd, data + off, size - off);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        off += static_cast<size_t>(n);
    }
    return fd;
}

// Up to 16 words of the input, cut at blanks, commas and line ends.
std::vector<std::string> Words(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    std::string cur;
    for (size_t i = 0; i <= size && words.size() < 16; ++i) {
        const char c = i < size ? static_cast<char>(data[i]) : '\n';
        if (c == ' ' || c == ',' || c == '\n' || c == '\t' || c == '\0') {
            if (!cur.empty()) {
                words.push_back(cur.substr(0, 64));
                cur.clear();
            }
        } else {
            cur.push_back(c);
        }
    }
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = MemFileWith(data, size);
    if (fd < 0) {
        return 0;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    {
        SymTranslator xlate;
        const bool loaded = xlate.Init(path);
        FUZZ_CHECK(loaded);
        FUZZ_CHECK(strlen(xlate.GetSeparator()) < 512);
        for (const std::string& w : Words(data, size)) {
            const char* feed = xlate.GetKo2Feed(w.c_str());
            FUZZ_CHECK(feed != nullptr);
            FUZZ_CHECK(strlen(feed) < 4096);
            SymTranslator::SynonymSet* syn = xlate.GetFeed2Ko(feed);
            if (syn != nullptr) {
                for (GrowingStr* s : *syn) {
                    FUZZ_CHECK(s != nullptr);
                }
            }
            xlate.GetFeed2Ko(w.c_str());
        }
    }
    close(fd);
    return 0;
}
