// Helpers of the market-data record: copying and comparing records, the field
// dictionary by name, the binary record body (live stream form, pre-encoded
// SerializedBuf and the SymQData form), the static symbol information file and
// the print forms. The topic builders come from CSymTopicBuilders.
#pragma once

#include <map>
#include <ostream>
#include <set>

#include "qrx/marketdata/serialized_buf.h"
#include "qrx/marketdata/set_flids.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_q_data.h"
#include "qrx/marketdata/topic_builders.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

class CSymDataAux : public CSymTopicBuilders {
public:
    // Longest string a record body may carry; decoders refuse longer ones.
    static constexpr int MAX_BODY_STRING = 0x4000;

    // ---- records ----
    // bClear false: merges from into to. bClear true: to becomes a copy of the
    // present fields of from.
    static void Copy(CSymData& to, const CSymData& from, bool bClear);
    // Same present fields with equal values (a NaN never equals).
    static bool AreEqual(const CSymData& a, const CSymData& b);

    // ---- dictionary ----
    static void FlidToField(GrowingStr& name, const CSymData::enFlids& id, bool& found);
    // A null name is not found.
    static void FieldToFlid(const char* name, CSymData::enFlids& id, bool& found);

    // Per-type reads: found tells whether the field is present; the result is
    // the same. AddFlidValueString stores a string (found false for an id that
    // is not a string id).
    static bool GetFlidValueDouble(const CSymData& data, int id, double& value, bool& found);
    static bool GetFlidValueInt(const CSymData& data, int id, int& value, bool& found);
    static bool GetFlidValueString(const CSymData& data, int id, GrowingStr& value, bool& found);
    static bool GetFlidValueChar(const CSymData& data, int id, char& value, bool& found);
    static bool AddFlidValueString(CSymData& data, int id, const GrowingStr& value, bool& found);

    // ---- record body, live path ----
    // Appends the body of data to out. False, with nothing written, when out
    // cannot take the whole body (an attached stream too small, an input stream).
    static bool SerializeSymOut(const CSymData& data, CNetStream& out);
    // Decodes one body from in into data, which is not cleared first.
    static bool SerializeSymIn(CSymData& data, CNetStream& in);

    // ---- pre-encoded body ----
    static bool SerializeSymOut(CSymData& data, SerializedBuf& buf);
    // Ids in pSetExFlids are read and skipped, not stored.
    static bool SerializeSymIn(CSymData& data, SerializedBuf& buf, std::set<int>* pSetExFlids);

    // ---- SymQData ----
    // Appends the body of the entries that pass the allow and deny sets
    // (symbol and topic always pass); nothing when no other entry passes.
    static bool SerializeSymOut(SymQData& data, CNetStream& out, std::set<short>* setAllow,
                                std::set<short>* setDeny);
    // True when the form above, without filters, writes a body: an entry
    // besides symbol and topic lies in the array of its type.
    static bool HasSymBody(const SymQData& data);
    // As above; tmpOut is accepted for callers that keep a scratch stream and is
    // not needed: the body is written straight into out.
    static bool SerializeSymOut(SymQData& data, CNetStream& out, CNetStream& tmpOut,
                                std::set<short>* setAllow, std::set<short>* setDeny);
    // Decodes one body into data. With a filter set, bFlidFilterMode true makes
    // it an allow list, false a deny list. *pbPublishData tells whether any id
    // was accepted.
    static bool SerializeSymIn(SymQData& data, CNetStream& in, std::set<int>* pSetFlidFilter,
                               bool bFlidFilterMode, bool* pbPublishData);

    // ---- conversions ----
    static void Copy(const CSymData& from, SymQData& to);
    template <typename T>
    static void Copy(const FlidMap<T>& from, SymQData& to) {
        for (auto it = from.begin(); it != from.end(); ++it) {
            AppendEntry(to, static_cast<short>(it.Id()), it.Value());
        }
    }
    // Stores the entries of from into to (not cleared). An entry whose id does
    // not fit its array ends the copy with false; entries before it are stored.
    static bool Copy(const SymQData& from, CSymData& to);

    // ---- print forms ----
    static void Print(std::ostream& os, CSymData& data);
    static void Print(std::ostream& os, SymQData& data);

    // ---- static symbol information file ----
    typedef std::map<GrowingStr, CSymData*> StaticSymInfoMap;
    static bool SerializeSymOut(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                                bool bAppend);
    static bool SerializeSymOut(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                                SetFlids<2048>* setFlids, bool bAppend);
    static bool SerializeSymIn(StaticSymInfoMap& StaticSymInfo, const char* szFilePath,
                               bool bClear);

private:
    static void AppendEntry(SymQData& q, short id, const double& v);
    static void AppendEntry(SymQData& q, short id, const int& v);
    static void AppendEntry(SymQData& q, short id, const GrowingStr& v);
    static void AppendEntry(SymQData& q, short id, const char& v);
};
