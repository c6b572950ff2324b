// Builders shared by the order-book tests.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/sym_q_data.h"

namespace cobtest {

// An auxiliary entry for a leg: topic and symbol fields, the given doubles,
// and m_topic set to the topic as a reader would leave it.
inline SymQData* NewLeg(const char* topic, std::initializer_list<std::pair<short, double>> dbls) {
    SymQData* q = new SymQData;
    q->SetFlid(short(1024), topic);
    q->SetFlid(short(1074), topic);
    for (const auto& f : dbls) {
        q->SetFlid(f.first, f.second);
    }
    q->m_topic = topic;
    return q;
}

inline QuorCOB::stLegInfo OptionLeg() {
    QuorCOB::stLegInfo leg;
    leg.m_sSymbol = "IBM";
    leg.m_nExpiry = 20240621;
    leg.m_nRatio = 2;
    leg.m_dblStrikePrice = 150.5;
    leg.m_cCallPut = 'C';
    leg.m_bIsBid = true;
    leg.m_bIsOption = true;
    return leg;
}

inline QuorCOB::stLegInfo EquityLeg() {
    QuorCOB::stLegInfo leg;
    leg.m_sSymbol = "IBM";
    leg.m_nRatio = 1;
    return leg;
}

// A snapshot with two infos (ids 1 and 2), two data records with two legs of
// auxiliary data each, and request ids on every level.
inline QuorCOB::CCOBMsg SampleMsg() {
    QuorCOB::CCOBMsg msg;
    msg.m_sUnderlying = "IBM";
    msg.m_eMsgType = QuorCOB::CCOBMsg::COB_MSG_TYPE_SNAPSHOT;
    for (int id = 1; id <= 2; ++id) {
        QuorCOB::CCOBInfo& info = msg.m_mapInfo[id];
        info.m_nId = id;
        info.m_sDescription = ("spread " + std::to_string(id)).c_str();
        info.m_sExchange = "XNYS";
        info.m_vecLegs = {EquityLeg(), OptionLeg()};
        info.m_setIds = {10 * id, 10 * id + 1};

        QuorCOB::CCOBData& data = msg.m_mapData[id];
        data.m_nId = id;
        data.m_dblBidPrice = 1.25 * id;
        data.m_dblAskPrice = 1.5 * id;
        data.m_nBidSize = 100 * id;
        data.m_nAskSize = 200 * id;
        data.AddAuxData(NewLeg("IBM", {{0, 150.0 + id}}));
        SymQData* opt = NewLeg("IBM C150", {{0, 2.5}, {1, 2.75}});
        opt->SetFlid(short(512), 30 * id);
        opt->SetFlid(short(1536), 'C');
        data.AddAuxData(opt);
        data.m_setIds = {10 * id};
    }
    msg.m_setIds = {10, 20};
    return msg;
}

}  // namespace cobtest
