#include "qrx/marketdata/field_dictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qrx/marketdata/sym_data_aux.h"

namespace {

int IdOf(const char* name) {
    CSymData::enFlids id = CSymData::flid_illegal;
    bool found = false;
    CSymDataAux::FieldToFlid(name, id, found);
    return found ? static_cast<int>(id) : -1;
}

std::string NameOf(int id) {
    GrowingStr name("unchanged");
    bool found = false;
    CSymDataAux::FlidToField(name, static_cast<CSymData::enFlids>(id), found);
    return found ? name.c_str() : std::string("?") + name.c_str();
}

// Id of level k (1..12) of a side laid out in groups of four, bid side first.
int LevelId(int base, int k, bool ask) {
    return base + 8 * ((k - 1) / 4) + (k - 1) % 4 + (ask ? 4 : 0);
}

}  // namespace

TEST(FieldDictionaryTest, shouldMapNamesAndIdsBothWays) {
    EXPECT_EQ(IdOf("bid"), 0);
    EXPECT_EQ(IdOf("vantor_prediction"), 1163);
    EXPECT_EQ(IdOf("margin_lot_size"), 622);
    EXPECT_EQ(IdOf("prim_todays_close"), 149);
    EXPECT_EQ(IdOf("primary_extended_trd_dir"), 1589);
    EXPECT_EQ(IdOf("EFP_eligible_flag"), 1580);
    EXPECT_EQ(NameOf(0), "bid");
    EXPECT_EQ(NameOf(1174), "dacs_entitlement");
    EXPECT_EQ(NameOf(1551), "sho_indicator");
}

TEST(FieldDictionaryTest, shouldNotFindUnknownNamesOrUnnamedIdsAndLeaveTheOutputAlone) {
    EXPECT_EQ(IdOf("Bid"), -1);  // case counts
    EXPECT_EQ(IdOf(""), -1);
    EXPECT_EQ(IdOf(nullptr), -1);
    EXPECT_EQ(IdOf("vwap_volume"), -1);  // an enumerator, not a text name
    EXPECT_EQ(NameOf(CSymData::flid_vwap_volume), "?unchanged");
    EXPECT_EQ(NameOf(623), "?unchanged");
    EXPECT_EQ(NameOf(1193), "?unchanged");
    EXPECT_EQ(NameOf(-1), "?unchanged");
    EXPECT_EQ(flid_name(150), nullptr);
    EXPECT_EQ(flid_name(5000), nullptr);
}

TEST(FieldDictionaryTest, shouldNameEachTypeAsOneRunFromItsFirstId) {
    const int runs[4][2] = {{0, 150}, {512, 111}, {1024, 151}, {1536, 54}};
    int named = 0;
    for (int id = 0; id < CSymData::MAX_FLIDS; ++id) {
        const int t = id >> 9;
        const bool inRun = id < runs[t][0] + runs[t][1];
        EXPECT_EQ(flid_name(id) != nullptr, inRun) << id;
        if (flid_name(id) != nullptr) {
            ++named;
            EXPECT_EQ(IdOf(flid_name(id)), id);
        }
    }
    EXPECT_EQ(named, 466);
    EXPECT_EQ(CFieldDictionary::Instance().m_mapFlid2Name.size(), 466u);
    EXPECT_EQ(CFieldDictionary::Instance().m_mapName2Flid.size(), 466u);
}

TEST(FieldDictionaryTest, shouldLayOutLevelFieldsInGroupsOfFour) {
    for (int k = 1; k <= 12; ++k) {
        const std::string n = std::to_string(k);
        EXPECT_EQ(IdOf(("bid" + n).c_str()), LevelId(48, k, false));
        EXPECT_EQ(IdOf(("ask" + n).c_str()), LevelId(48, k, true));
        EXPECT_EQ(IdOf(("ask_forward_points" + n).c_str()), LevelId(80, k, true));
        EXPECT_EQ(IdOf(("bid_size" + n).c_str()), LevelId(528, k, false));
        EXPECT_EQ(IdOf(("ask_min_size" + n).c_str()), LevelId(560, k, true));
        EXPECT_EQ(IdOf(("bid_quoter" + n).c_str()), LevelId(1048, k, false));
        EXPECT_EQ(IdOf(("ask_quote_id" + n).c_str()), LevelId(1080, k, true));
        EXPECT_EQ(IdOf(("bid_value_date" + n).c_str()), LevelId(1104, k, false));
        EXPECT_EQ(IdOf(("ask_indicative_flag" + n).c_str()), LevelId(1552, k, true));
    }
    for (int k = 13; k <= 20; ++k) {
        const std::string n = std::to_string(k);
        EXPECT_EQ(IdOf(("bid" + n).c_str()), LevelId(128, k - 12, false));
        EXPECT_EQ(IdOf(("ask_size" + n).c_str()), LevelId(600, k - 12, true));
        EXPECT_EQ(IdOf(("ask_quoter" + n).c_str()), LevelId(1144, k - 12, true));
    }
    EXPECT_EQ(CSymData::flid_bid_quote_id13, LevelId(1175, 1, false));
    EXPECT_EQ(CSymData::flid_ask_quote_id20, LevelId(1175, 8, true));
    EXPECT_EQ(CSymData::flid_ask20, 143);
    EXPECT_EQ(CSymData::flid_msg_seq_num, 801);
    EXPECT_EQ(CSymData::flid_prim_valid_trade_dir, 1603);
}

TEST(FieldDictionaryTest, shouldBuildOnceWhenManyThreadsLookUpFirst) {
    // Each case runs in a process of its own under ctest, so these lookups are
    // the first; they must all see one dictionary, fully built.
    std::vector<std::thread> threads;
    std::vector<const CFieldDictionary*> seen(8, nullptr);
    std::vector<int> ids(8, -2);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            ids[i] = IdOf("trade_size");
            seen[i] = &CFieldDictionary::Instance();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ids[i], 514);
        EXPECT_EQ(seen[i], seen[0]);
    }
}
