// Walks one encoded market-data record body (count, then groups of values) without decoding
// it: where it ends and which topic it names. The server routes every received record this
// way and decodes it only into the image of a topic someone holds.
#pragma once

#include <cstddef>

// The length of the record body at p (at most n bytes), or -1 when it is not one a decoder
// would accept whole. The topic is the record's topic field, else its symbol field, else
// empty (szTopic null, nTopicLen 0); it points into p.
int scan_record_topic(const char* p, size_t n, const char*& szTopic, size_t& nTopicLen);
