// Classification of a market-data update by the fields it carries: trade data,
// sizes only, or anything else. Publishers use it to tell trade ticks from
// quote-size refreshes without looking at the values.
#pragma once

// Holder of the enumeration, shared by SerializedBuf and SymQData so that both
// spell it as their own (SerializedBuf::TK_TYPE_DEF, SymQData::enTickType).
struct CTickTypes {
    enum enTickType {
        TK_TYPE_DEF = 0,
        TK_TYPE_MKTSIZE_ONLY = 1,
        TK_TYPE_TRD_DATA = 2,
        TK_TYPE_OTHER = 4,
    };
};

// Collects the ids of an update one by one and classifies them.
class CTickClassifier {
public:
    void Add(int id) {
        switch (id) {
            case 2:    // vwap
            case 3:    // last
            case 6:    // prim_vwap
            case 7:    // prim_last
            case 18:   // volume
            case 21:   // prim_volume
            case 514:  // trade_size
            case 517:  // prim_trade_size
                m_bTrade = true;
                break;
            case 512:   // bid_size
            case 513:   // ask_size
            case 515:   // prim_bid_size
            case 516:   // prim_ask_size
            case 1024:  // symbol
            case 1074:  // topic
                break;
            default:
                m_bOther = true;
                break;
        }
    }
    // Trade data when a trade field is present; sizes only when every field is
    // a size (symbol and topic are neutral, no field at all counts); else default.
    CTickTypes::enTickType Result() const {
        if (m_bTrade) {
            return CTickTypes::TK_TYPE_TRD_DATA;
        }
        return m_bOther ? CTickTypes::TK_TYPE_DEF : CTickTypes::TK_TYPE_MKTSIZE_ONLY;
    }

private:
    bool m_bTrade = false;
    bool m_bOther = false;
};
