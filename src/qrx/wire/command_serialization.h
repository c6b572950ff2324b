// Splitting commands and responses over Sym messages: the position reached in
// a command being split, and the message and sub-message types that carry the
// parts.
#pragma once

#include <optional>

#include "qrx/wire/command.h"

// Sub-message types of the Sym messages that carry commands (message type 14)
// and responses (15): the position of a part among the parts of one command or
// response.
constexpr short SYM_CMD_WHOLE = 11;
constexpr short SYM_CMD_FIRST = 14;
constexpr short SYM_CMD_MIDDLE = 15;
constexpr short SYM_CMD_LAST = 16;
constexpr short SYM_RSP_WHOLE = 12;
constexpr short SYM_RSP_FIRST = 17;
constexpr short SYM_RSP_MIDDLE = 18;
constexpr short SYM_RSP_LAST = 19;

// The sub-message type of a part: bFirst when no part was sent before it,
// bLast when the serialization state is done after it.
inline short CommandPartSubType(bool bResponse, bool bFirst, bool bLast) {
    if (bFirst && bLast) {
        return bResponse ? SYM_RSP_WHOLE : SYM_CMD_WHOLE;
    }
    if (bFirst) {
        return bResponse ? SYM_RSP_FIRST : SYM_CMD_FIRST;
    }
    if (bLast) {
        return bResponse ? SYM_RSP_LAST : SYM_CMD_LAST;
    }
    return bResponse ? SYM_RSP_MIDDLE : SYM_CMD_MIDDLE;
}

// Where a command being split continues. A fresh state starts at the first
// parameter of every map. The command must not change while it is being
// split: the state holds positions inside its maps. Using the state for
// another command starts that command from the beginning.
class CCommandSerializationState {
public:
    CCommandSerializationState() = default;
    CCommandSerializationState(const CCommandSerializationState&) = delete;
    CCommandSerializationState& operator=(const CCommandSerializationState&) = delete;

    // Back to the fresh state, for splitting a command again.
    void Reset() {
        m_pIntParamBegin.reset();
        m_pDoubleParamBegin.reset();
        m_pCharParamBegin.reset();
        m_pStringParamBegin.reset();
        m_nSerializedMsgLen = 0;
        m_bDone = false;
        m_pCommand = nullptr;
    }

    // For each map, where the next part continues; absent until the first
    // part has been produced.
    std::optional<CCommand::IntParamMap::const_iterator> m_pIntParamBegin;
    std::optional<CCommand::DoubleParamMap::const_iterator> m_pDoubleParamBegin;
    std::optional<CCommand::CharParamMap::const_iterator> m_pCharParamBegin;
    std::optional<CCommand::StringParamMap::const_iterator> m_pStringParamBegin;
    // Length of the part the last call produced.
    unsigned int m_nSerializedMsgLen = 0;
    // Every parameter has been produced.
    bool m_bDone = false;

private:
    friend class CCommand;
    // The command the positions belong to.
    const CCommand* m_pCommand = nullptr;
};
