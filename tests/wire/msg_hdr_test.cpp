#include "qrx/wire/msg_hdr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qrx/wire/msg_mem_allocator.h"
#include "wire/wire_test_util.h"

using wiretest::MsgMem;

TEST(MsgHdrTest, shouldRoundPortLengthsAndKeepOneBodySlot) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    SetMsgLen(p, 10);
    EXPECT_EQ(p->hdr_typ, 4);
    EXPECT_EQ(p->msglen, 84);
    SetMsgLen(p, 3);
    EXPECT_EQ(p->msglen, 80);
    SetMsgLen(p, 4);
    EXPECT_EQ(p->msglen, 80);
    SetMsgLen(p, 5);
    EXPECT_EQ(p->msglen, 80);
    SetMsgLen(p, 9);
    EXPECT_EQ(p->msglen, 84);
    EXPECT_EQ(MsgLen(p), 12);
}

TEST(MsgHdrTest, shouldNotRoundSymTdbAndOmsLengths) {
    MsgMem m;
    MsgHdrSym* s = m.As<MsgHdrSym>();
    SetMsgLen(s, 13);
    EXPECT_EQ(s->hdr_typ, 15);
    EXPECT_EQ(s->msglen, 21);
    SetMsgLen(s, 0);
    EXPECT_EQ(s->msglen, 16);
    SetMsgLen(m.As<MsgHdrTdb>(), 5);
    EXPECT_EQ(m.As<MsgHdrTdb>()->msglen, 29);
    EXPECT_EQ(m.As<MsgHdrTdb>()->hdr_typ, 18);
    SetMsgLen(m.As<MsgHdrOms>(), 7);
    EXPECT_EQ(m.As<MsgHdrOms>()->msglen, 15);
    SetMsgLen(m.As<MsgHdrOrdSrv>(), 7);
    EXPECT_EQ(m.As<MsgHdrOrdSrv>()->msglen, 16);
}

TEST(MsgHdrTest, shouldMeasureClientOrderHeadersFromTheirBodyOffset) {
    MsgMem m;
    cliMsgHdr* c = m.As<cliMsgHdr>();
    SetMsgLen(c, 9);
    EXPECT_EQ(c->hdr_typ, 3);
    EXPECT_EQ(c->msglen, 156);
    EXPECT_EQ(MsgLen(c), 12);
    EXPECT_EQ(MsgLenHdr(), 152);
    SetMsgLen(m.As<MsgHdrMos>(), 1);
    EXPECT_EQ(m.As<MsgHdrMos>()->msglen, 80);
    SetMsgLen(m.As<MsgHdrMirr>(), 1);
    EXPECT_EQ(m.As<MsgHdrMirr>()->hdr_typ, 8);
    EXPECT_EQ(m.As<MsgHdrMirr>()->msglen, 24);
}

TEST(MsgHdrTest, shouldSetLengthFromAnExplicitBodyStart) {
    MsgMem m;
    MsgHdrCmn* p = m.As<MsgHdrCmn>();
    SetMsgLen(p, reinterpret_cast<long>(m.Raw() + 48), 5);
    EXPECT_EQ(p->msglen, 56);
    SetMsgLen(p, reinterpret_cast<long>(m.Raw() + 8), 0);
    EXPECT_EQ(p->msglen, 8);
}

TEST(MsgHdrTest, shouldKeepBodiesOfReceivedMessagesWithinMemoryAndLength) {
    // The largest body, rounded, still fits msglen and the message memory.
    EXPECT_EQ(MaxMsgBodyLen<MsgHdrPort>() + MsgHdrPort::BODY_OFFSET, 65532);
    EXPECT_EQ(MaxMsgBodyLen<MsgHdrSym>() + MsgHdrSym::BODY_OFFSET, 65532);
    EXPECT_EQ(MaxMsgBodyLen<cliMsgHdr>() % 4, 0);
}

namespace {
std::vector<std::string>* g_released = nullptr;
void ReleaseA(void*) {
    g_released->push_back("A");
}
void ReleaseB(void*) {
    g_released->push_back("B");
}
void FreeBlock(void* p) {
    delete[] static_cast<char*>(p);
}
}  // namespace

TEST(MsgMemAllocatorTest, shouldReleaseBlocksInOrderOfRegistration) {
    std::vector<std::string> released;
    g_released = &released;
    int a = 0;
    int b = 0;
    {
        CMsgMemAllocator alloc;
        alloc.Register(&a, ReleaseA);
        alloc.Register(&b, ReleaseB);
        alloc.Register(nullptr, ReleaseA);
        alloc.Register(new char[16], FreeBlock);
        EXPECT_EQ(alloc.GetCount(), 3u);
        alloc.DeallocateAll();
        EXPECT_EQ(released, (std::vector<std::string>{"A", "B"}));
        EXPECT_EQ(alloc.GetCount(), 0u);
        alloc.DeallocateAll();
        EXPECT_EQ(released.size(), 2u);
        alloc.Register(&b, ReleaseB);
    }
    // Destruction releases what is still registered.
    EXPECT_EQ(released, (std::vector<std::string>{"A", "B", "B"}));
    g_released = nullptr;
}
