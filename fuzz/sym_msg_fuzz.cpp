// Feeds the Sym message family (header type 15): two bytes of message type,
// two of sub-type, the rest the body. Each decoded message must round-trip,
// and its fixed-size texts must end within their arrays.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "msg_roundtrip.h"
#include "qrx/wire/sym_msgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qrxfuzz::MsgMem mem;
    qrxfuzz::Input input(data, size);
    const short mtyp = static_cast<short>(input.U16());
    const short submtyp = static_cast<short>(input.U16());
    std::string frame = qrxfuzz::StreamFrame(MsgHdrSym::HDR_TYPE, mtyp, submtyp, input.Rest());
    CMsgMemAllocator alloc;
    if (!qrxfuzz::DecodeFrame(frame, mem, alloc)) {
        return 0;
    }
    MsgHdrSym* pSym = reinterpret_cast<MsgHdrSym*>(mem.Hdr());
    FUZZ_CHECK(pSym->hdr_typ == MsgHdrSym::HDR_TYPE && pSym->mtyp == mtyp);
    FUZZ_CHECK(pSym->msglen >= MsgHdrSym::BODY_OFFSET);
    const char* body = MsgBody(pSym);
    switch (mtyp) {
        case CM_SYM_SUBSCRIBE:
        case CM_SYM_UNSUBSCRIBE:
        case CM_SYM_SNAPSHOT:
        case CM_SYM_SUBSCRIBE_TYPE:
        case CM_SYM_UNSUBSCRIBE_TYPE:
        case CM_SYM_SUBSCRIBE_SIZE:
        case CM_SYM_UNSUBSCRIBE_SIZE:
            FUZZ_CHECK(memchr(body, 0, SYM_TOPIC_LEN) != nullptr);
            break;
        case CM_SYM_SUB_STATUS: {
            const stSymSubStatus* p = reinterpret_cast<const stSymSubStatus*>(body);
            FUZZ_CHECK(memchr(p->m_szTopic, 0, sizeof p->m_szTopic) != nullptr);
            FUZZ_CHECK(memchr(p->m_szMessage, 0, sizeof p->m_szMessage) != nullptr);
            break;
        }
        case CM_SYM_SUBSCRIBE_LIST:
        case CM_SYM_UNSUBSCRIBE_LIST: {
            const stTopicList* p = reinterpret_cast<const stTopicList*>(body);
            // A negative count is kept as received and names no topic.
            FUZZ_CHECK(p->m_nCount <= SYM_MAX_LIST_TOPICS);
            for (int i = 0; i < p->m_nCount; ++i) {
                FUZZ_CHECK(memchr(p->m_szTopics[i], 0, SYM_TOPIC_LEN) != nullptr);
            }
            break;
        }
        default:
            break;
    }
    qrxfuzz::CheckRoundTrip(mem);
    return 0;
}
