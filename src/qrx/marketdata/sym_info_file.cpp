// The static symbol information file: one field per line, written as
// "topic:name=value", with the dictionary name of the field or its decimal id.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qrx/marketdata/field_dictionary.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/input_file.h"

namespace {

// Longest line the reader takes, without its newline.
constexpr size_t kMaxLine = 131071;
// Longest topic a line can carry back: the reader cuts topics to 127 characters.
constexpr size_t kMaxTopic = 127;

// A topic is written only when the reader gets the same text back: not empty,
// not longer than the reader keeps, not starting a comment ("#"), and free of
// the characters that delimit the line (":" ends the topic, ";" starts a typed
// description).
bool WritableTopic(const GrowingStr& topic) {
    const size_t n = topic.length();
    if (n == 0 || n > kMaxTopic || topic.c_str()[0] == '#') {
        return false;
    }
    const char* p = topic.c_str();
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == ':' || p[i] == ';' || p[i] == '\n' || p[i] == '\0') {
            return false;
        }
    }
    return true;
}

void PutName(FILE* f, int id) {
    const char* name = flid_name(id);
    if (name != nullptr) {
        fputs(name, f);
    } else {
        fprintf(f, "%d", id);
    }
}

// Shortest text that reads back as the same double.
void PutDouble(FILE* f, double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.15g", v);
    if (!std::isnan(v) && strtod(buf, nullptr) != v) {
        snprintf(buf, sizeof buf, "%.17g", v);
    }
    fputs(buf, f);
}

// Writes one field line; false, with nothing written, for a value the line
// form cannot carry (a string holding a newline or a NUL, or an empty one,
// whose line the reader passes over).
bool PutField(FILE* f, const GrowingStr& topic, const CSymData& d, int id) {
    const int type = id >> 9;
    const GrowingStr* s = nullptr;
    if (type == 2) {
        s = d.m_map_flid_2_GrowingStr.GetFlidPtr(id);
        if (s == nullptr || s->empty() || memchr(s->c_str(), '\n', s->length()) != nullptr ||
            strlen(s->c_str()) != s->length()) {
            return false;
        }
    }
    fwrite(topic.c_str(), 1, topic.length(), f);
    fputc(':', f);
    PutName(f, id);
    fputc('=', f);
    switch (type) {
        case 0:
            PutDouble(f, *d.m_map_flid_2_double.GetFlidPtr(id));
            break;
        case 1:
            fprintf(f, "%d", *d.m_map_flid_2_int.GetFlidPtr(id));
            break;
        case 2:
            fwrite(s->c_str(), 1, s->length(), f);
            break;
        default: {
            // Control characters and the backslash go in the "\code" form the
            // reader understands, so that a line stays one line.
            const unsigned char c = static_cast<unsigned char>(*d.m_map_flid_2_char.GetFlidPtr(id));
            if (c < 0x20 || c == 0x7F || c == '\\') {
                fprintf(f, "\\%u", c);
            } else {
                fputc(c, f);
            }
            break;
        }
    }
    fputc('\n', f);
    return true;
}

bool WriteFile(CSymDataAux::StaticSymInfoMap& info, const char* szFilePath,
               SetFlids<2048>* setFlids, bool bAppend) {
    if (szFilePath == nullptr) {
        return false;
    }
    FILE* f = fopen(szFilePath, bAppend ? "a" : "w");
    if (f == nullptr) {
        return false;
    }
    bool ok = true;
    for (auto& entry : info) {
        const CSymData* d = entry.second;
        if (d == nullptr) {
            continue;
        }
        if (!WritableTopic(entry.first)) {
            ok = false;
            continue;
        }
        if (setFlids == nullptr) {
            for (auto it = d->m_setFlids.begin(); it != d->m_setFlids.end(); ++it) {
                ok &= PutField(f, entry.first, *d, *it);
            }
        } else {
            for (int id = setFlids->first(); id < 2048; id = setFlids->next(id)) {
                if (!d->m_setFlids[static_cast<unsigned>(id)]) {
                    ok = false;
                    continue;
                }
                ok &= PutField(f, entry.first, *d, id);
            }
        }
    }
    if (ferror(f) != 0) {
        ok = false;
    }
    if (fclose(f) != 0) {
        ok = false;
    }
    return ok;
}

// The id a line names: its dictionary id, or the name read as a decimal number
// when it consists of digits alone. -1 when neither.
int LineId(const char* name) {
    CSymData::enFlids id = CSymData::flid_illegal;
    bool found = false;
    FIELD_TO_FLID(GrowingStr(name), id, found);
    if (found) {
        return id;
    }
    long n = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        n = n * 10 + (*p - '0');
        if (n >= CSymData::MAX_FLIDS) {
            return -1;
        }
    }
    return static_cast<int>(n);
}

// Reads one line into line (kMaxLine + 1 bytes; its end removed, NUL-terminated), reading
// through to its end whatever it holds, so that no part of it is taken for a line of its own (a
// NUL byte ends its text for the parser). 1 for a line, 0 for one longer than kMaxLine (passed
// over), -1 at the end of the file.
int ReadLine(FILE* f, std::vector<char>& line) {
    int c = getc_unlocked(f);
    if (c == EOF) {
        return -1;
    }
    size_t n = 0;
    bool bTooLong = false;
    for (; c != EOF && c != '\n'; c = getc_unlocked(f)) {
        if (n < kMaxLine) {
            line[n++] = static_cast<char>(c);
        } else {
            bTooLong = true;
        }
    }
    line[n] = '\0';
    return bTooLong ? 0 : 1;
}

void StoreValue(CSymData& d, int id, const char* value) {
    switch (id >> 9) {
        case 0:
            d.SetFlidDouble(id, strtod(value, nullptr));
            break;
        case 1: {
            long v = strtol(value, nullptr, 10);
            if (v > INT_MAX) {
                v = INT_MAX;
            } else if (v < INT_MIN) {
                v = INT_MIN;
            }
            d.SetFlidInt(id, static_cast<int>(v));
            break;
        }
        case 2:
            d.SetFlidString(id, GrowingStr(value));
            break;
        default: {
            char c = value[0];
            if (c == '\\') {
                c = static_cast<char>(strtol(value + 1, nullptr, 10));
            }
            d.SetFlidChar(id, c);
            break;
        }
    }
}

}  // namespace

bool CSymDataAux::SerializeSymOut(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                                  bool bAppend) {
    return WriteFile(StaticSymInfo, szFilePath, nullptr, bAppend);
}

bool CSymDataAux::SerializeSymOut(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                                  SetFlids<2048>* setFlids, bool bAppend) {
    return WriteFile(StaticSymInfo, szFilePath, setFlids, bAppend);
}

bool CSymDataAux::SerializeSymIn(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                                 bool bClear) {
    if (szFilePath == nullptr) {
        return false;
    }
    // A directory or a device is refused before anything held is cleared.
    FILE* f = fopen_input_file(szFilePath);
    if (f == nullptr) {
        return false;
    }
    if (bClear) {
        for (auto& entry : StaticSymInfo) {
            delete entry.second;
        }
        StaticSymInfo.clear();
    }
    std::vector<char> line(kMaxLine + 1);
    for (int got; (got = ReadLine(f, line)) >= 0;) {
        if (got == 0) {
            continue;  // longer than a line may be: passed over, not misread
        }
        char* buf = line.data();
        if (buf[0] == '#') {
            continue;
        }
        char* colon = strchr(buf, ':');
        if (colon == nullptr) {
            continue;
        }
        *colon = '\0';
        char* name = colon + 1;
        char* eq = strchr(name, '=');
        if (eq == nullptr) {
            continue;
        }
        *eq = '\0';
        const char* value = eq + 1;

        char szTopic[TOPIC_SIZE] = {0};
        char* szSymbol = nullptr;
        ParseTopicInfo(buf, szTopic, &szSymbol);
        if (szSymbol == nullptr || *szSymbol == '\0' || szTopic[0] == '\0' || *name == '\0' ||
            *value == '\0') {
            continue;
        }
        const int id = LineId(name);
        if (id < 0 || id >= CSymData::MAX_FLIDS) {
            continue;
        }
        const GrowingStr topic(szTopic);
        CSymData*& rec = StaticSymInfo[topic];
        if (rec == nullptr) {
            rec = new CSymData();
            rec->SetFlidString(CSymData::flid_symbol, GrowingStr(szSymbol));
            rec->SetFlidString(CSymData::flid_topic, topic);
        }
        StoreValue(*rec, id, value);
    }
    const bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}
