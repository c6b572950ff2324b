// Looks up host names off the server's loop. A name lookup can take as long as the resolver's
// time-outs (tens of seconds when a name server does not answer); made on the loop, it would
// hold every client and feed handler for that long. One worker thread makes the lookups, one at
// a time, and a descriptor becomes readable when answers wait.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CHostResolver {
public:
    struct Answer {
        int nKey = 0;            // who asked
        unsigned long nSeq = 0;  // which of its questions this answers
        bool bFound = false;
        sockaddr_in addr = {};  // the first IPv4 address, with the port, when found
    };

    // How a name becomes an address; the system's resolver unless another is given.
    using Lookup = std::function<bool(const std::string& strHost, int nPort, sockaddr_in& addr)>;

    CHostResolver();
    // Does not wait for a lookup under way: the worker finishes it on its own and ends.
    ~CHostResolver();
    CHostResolver(const CHostResolver&) = delete;
    CHostResolver& operator=(const CHostResolver&) = delete;

    // Another name service (tests use one that hangs); only before the first Ask.
    void SetLookup(Lookup lookup) { m_lookup = std::move(lookup); }
    // Readable while answers wait to be taken; -1 until the first Ask.
    int Fd() const;
    // Asks for the IPv4 address of host; the answer comes back with nKey and nSeq. A question
    // of the same key that has not been started yet is replaced, so that questions never pile
    // up behind a slow lookup. False when the worker cannot be started.
    bool Ask(int nKey, unsigned long nSeq, const std::string& strHost, int nPort);
    // Moves the answers that came into out (which is cleared first).
    void Take(std::vector<Answer>& out);

    struct Shared;

private:
    bool Begin();

    Lookup m_lookup;
    std::shared_ptr<Shared> m_pShared;
};
