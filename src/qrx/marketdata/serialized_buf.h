// A record encoded ahead of time: the body bytes, the topic they belong to and
// the kind of update, so that the same bytes can go to many clients.
#pragma once

#include "qrx/marketdata/tick_type.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/runtime/growing_str.h"

class SerializedBuf : public CTickTypes {
public:
    SerializedBuf() = default;
    SerializedBuf(const SerializedBuf& other) = default;
    SerializedBuf& operator=(const SerializedBuf& other) = default;
    virtual ~SerializedBuf() = default;

    // Copies tick type, topic and body; storage already held is reused.
    void Copy(SerializedBuf& other) {
        if (&other == this) {
            return;
        }
        m_eTickType = other.m_eTickType;
        m_topic = other.m_topic;
        m_SerializedBuffer.Reset();
        m_SerializedBuffer.Append(other.m_SerializedBuffer.GetData(),
                                  other.m_SerializedBuffer.GetLength());
    }

    enTickType m_eTickType = TK_TYPE_DEF;
    GrowingStr m_topic;
    CGrowingBuffer m_SerializedBuffer;
};
