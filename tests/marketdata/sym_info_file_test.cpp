#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/child_process.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace {

// A file in a private temporary directory, removed with it.
class TempFile {
public:
    TempFile() {
        char dir[] = "/tmp/qrx_md_XXXXXX";
        m_dir = mkdtemp(dir) ? dir : "/tmp";
        m_path = m_dir + "/syminfo.txt";
    }
    ~TempFile() {
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }
    const char* Path() const { return m_path.c_str(); }
    void Write(const std::string& text) const { std::ofstream(m_path, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string m_dir;
    std::string m_path;
};

struct Owned {
    CSymDataAux::StaticSymInfoMap map;
    ~Owned() {
        for (auto& e : map) {
            delete e.second;
        }
    }
};

}  // namespace

TEST(SymInfoFileTest, shouldRoundTripRecordsIncludingAnUnnamedIdAndAwkwardChars) {
    TempFile file;
    Owned src;
    CSymData* d = new CSymData();
    d->SetFlidString(CSymData::flid_symbol, GrowingStr("IBM"));
    d->SetFlidString(CSymData::flid_topic, GrowingStr("IBM"));
    d->SetFlidDouble(CSymData::flid_bid, 0.1);
    d->SetFlidDouble(150, 123456.789012345);  // no dictionary name
    d->SetFlidInt(CSymData::flid_price_precision, -4);
    d->SetFlidString(1030, GrowingStr("has spaces = and : inside"));
    d->SetFlidChar(1536, 'Y');
    d->SetFlidChar(1537, '\n');
    d->SetFlidChar(1538, '\\');
    src.map[GrowingStr("IBM")] = d;
    src.map[GrowingStr("NULL")] = nullptr;
    ASSERT_TRUE(CSymDataAux::SerializeSymOut(src.map, file.Path(), false));

    const std::string text = file.Read();
    EXPECT_NE(text.find("IBM:150=123456.789012345\n"), std::string::npos) << text;
    EXPECT_NE(text.find("IBM:bid=0.1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("IBM:imbalance_side=\\10\n"), std::string::npos) << text;

    Owned back;
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(back.map, file.Path(), true));
    ASSERT_EQ(back.map.size(), 1u);
    const CSymData* r = back.map[GrowingStr("IBM")];
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(CSymDataAux::AreEqual(*r, *d));
    EXPECT_EQ(r->GetFlidDoubleOrDefault(150, 0), 123456.789012345);
}

TEST(SymInfoFileTest, shouldReadTypedDescriptionsCommentsAndNumericNames) {
    TempFile file;
    file.Write(
        "# a comment line:bid=1\n"
        "TOPIC_PORT_SYMBOL;PF,IBM:bid=10.5\n"
        "TOPIC_PORT_SYMBOL;PF,IBM:624=77\n"
        "MSFT:symbol=MSFT\n"
        "MSFT:0=3.5\n"
        "MSFT:00=4.5\n"
        "MSFT:12x=1\n"
        "MSFT:-1=1\n"
        "MSFT:2048=1\n"
        "MSFT:no_such_field=1\n"
        "MSFT:ask=\n"
        "no colon here\n"
        "MSFT:sho_indicator=\\89\n"
        "MSFT:ask=9.25");  // the last line has no newline
    Owned m;
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(m.map, file.Path(), false));
    ASSERT_EQ(m.map.size(), 2u);

    const CSymData* pf = m.map[GrowingStr("2\x06PF\x06IBM")];
    ASSERT_NE(pf, nullptr);
    EXPECT_STREQ(pf->m_symbol.c_str(), "IBM");
    EXPECT_STREQ(pf->m_topic.c_str(), "2\x06PF\x06IBM");
    EXPECT_EQ(pf->GetFlidDoubleOrDefault(0, 0), 10.5);
    EXPECT_EQ(pf->GetFlidIntOrDefault(624, 0), 77);
    EXPECT_EQ(pf->m_setFlids.size(), 4u);

    const CSymData* ms = m.map[GrowingStr("MSFT")];
    ASSERT_NE(ms, nullptr);
    EXPECT_EQ(ms->GetFlidDoubleOrDefault(0, 0), 4.5);  // "0" and "00" both name id 0
    EXPECT_EQ(ms->GetFlidCharOrDefault(1551, 0), 'Y');
    EXPECT_EQ(ms->GetFlidDoubleOrDefault(1, 0), 9.25);
    EXPECT_EQ(ms->m_setFlids.size(), 5u);  // symbol, topic, bid, ask, sho_indicator
}

TEST(SymInfoFileTest, shouldWriteOnlyTheSetIdsAndReportTheMissingOnes) {
    TempFile file;
    Owned src;
    CSymData* d = new CSymData();
    d->SetFlidDouble(0, 1.0);
    d->SetFlidDouble(1, 2.0);
    src.map[GrowingStr("X")] = d;
    SetFlids<2048> ids;
    ids.insert(1);
    ASSERT_TRUE(CSymDataAux::SerializeSymOut(src.map, file.Path(), &ids, false));
    EXPECT_EQ(file.Read(), "X:ask=2\n");
    ids.insert(512);
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(src.map, file.Path(), &ids, true));
    EXPECT_EQ(file.Read(), "X:ask=2\nX:ask=2\n");
    ASSERT_TRUE(CSymDataAux::SerializeSymOut(src.map, file.Path(), nullptr, false));
    EXPECT_EQ(file.Read(), "X:bid=1\nX:ask=2\n");
}

TEST(SymInfoFileTest, shouldRefuseWhatTheLineFormCannotCarryBack) {
    TempFile file;
    Owned src;
    CSymData* d = new CSymData();
    d->SetFlidString(1030, GrowingStr("two\nlines"));
    d->SetFlidDouble(0, 1.0);
    src.map[GrowingStr("X")] = d;
    CSymData* bad = new CSymData();
    bad->SetFlidDouble(0, 1.0);
    src.map[GrowingStr("A:B")] = bad;
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(src.map, file.Path(), false));
    EXPECT_EQ(file.Read(), "X:bid=1\n");
}

TEST(SymInfoFileTest, shouldReportTopicsAndTextsThatWouldReadBackAsNothing) {
    // A line whose topic begins with "#" reads back as a comment, and one with an empty value
    // is passed over: the writer must not report such records as written.
    TempFile file;
    Owned src;
    CSymData* hash = new CSymData();
    hash->SetFlidDouble(0, 1.0);
    src.map[GrowingStr("#ES")] = hash;
    CSymData* empty = new CSymData();
    empty->SetFlidString(1025, GrowingStr(""));
    empty->SetFlidDouble(0, 2.0);
    src.map[GrowingStr("Y")] = empty;
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(src.map, file.Path(), false));
    EXPECT_EQ(file.Read(), "Y:bid=2\n");

    Owned back;
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(back.map, file.Path(), true));
    ASSERT_EQ(back.map.size(), 1u);
    double bid = 0;
    EXPECT_TRUE(back.map.begin()->second->m_map_flid_2_double.GetFlid(0, bid));
    EXPECT_EQ(bid, 2.0);
}

TEST(SymInfoFileTest, shouldFailOnFilesThatCannotBeOpened) {
    Owned m;
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(m.map, "/nonexistent/dir/file", true));
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(m.map, "/nonexistent/dir/file", false));
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(m.map, nullptr, true));
}

TEST(SymInfoFileTest, shouldPassOverTheWholeOfALongLineHoldingANulByte) {
    TempFile file;
    // One line longer than the reader takes, with a NUL byte early in it: what stands after the
    // part the reader took in one go is still that line, not a line of its own.
    const std::string head("A:bid=1\0", 8);
    file.Write(head + std::string(131072 - head.size(), 'x') + "B:bid=2\nC:bid=3\n");
    Owned m;
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(m.map, file.Path(), true));
    EXPECT_EQ(m.map.count(GrowingStr("B")), 0u);
    ASSERT_EQ(m.map.count(GrowingStr("C")), 1u);
    double bid = 0;
    EXPECT_TRUE(m.map[GrowingStr("C")]->GetFlidDouble(CSymData::flid_bid, bid));
    EXPECT_EQ(bid, 3.0);
}

TEST(SymInfoFileTest, shouldRefuseADirectoryOrEndlessDeviceAndKeepTheRecordsItHeld) {
    const ChildRun run = RunChildWithin(
        [] {
            // Exit codes name the step that went wrong.
            Owned m;
            m.map[GrowingStr("IBM")] = new CSymData();
            char dir[] = "/tmp/qrx_md_XXXXXX";
            if (mkdtemp(dir) == nullptr) {
                return 2;
            }
            const bool bDir = CSymDataAux::SerializeSymIn(m.map, dir, true);
            rmdir(dir);
            if (bDir) {
                return 3;
            }
            if (CSymDataAux::SerializeSymIn(m.map, "/dev/zero", true)) {
                return 4;
            }
            if (m.map.size() != 1u) {
                return 5;
            }
            if (!CSymDataAux::SerializeSymIn(m.map, "/dev/null", true) || !m.map.empty()) {
                return 6;
            }
            return 0;
        },
        30);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
}
