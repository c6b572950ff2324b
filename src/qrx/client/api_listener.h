// The listener interface of an API connection: CApiConnection hands every
// received message to each registered listener, between a start and an end
// call per batch, and tells the listeners when its socket closes.
#pragma once

class CApiConnection;

class CApiListener {
public:
    virtual ~CApiListener() = default;

    // Decodes one received message (in memory form, beginning with the common
    // header). The buffer belongs to the connection and is valid only during
    // the call.
    virtual void FireEvents(char* msg) = 0;
    // Around each batch of messages handled by one DispatchEvents.
    virtual void OnStartMsgGroup() {}
    virtual void OnEndMsgGroup() {}
    // The connection's socket has closed.
    virtual void OnConnectionClose(CApiConnection* conn) { (void)conn; }
};
