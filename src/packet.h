// League entries as FTN echomail in Type 2+ packets, read and written byte
// by byte so that the same bytes come out on every machine.
#pragma once

#include "league_post.h"
#include "words.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads "21:1/101" or "21:1/101.7" (a "@domain" after it is dropped); every
// number 0-65535, the zone above 0.
bool ReadAddress(const std::string& Text, FTNADDR* Address);
std::string AddressText(const FTNADDR& Address);

// One entry as it travels between boards.
struct ENTRY {
    std::string MsgId;   // "21:1/101.7 6758a0b2", its bytes made harmless
    FTNADDR Origin;      // the address in the MSGID
    uint32_t Serial;     // the number in the MSGID
    int64_t Written;     // seconds since 1970, UTC
    std::string Board;   // up to 35 characters
    WORDS Words;         // the lines and the contributor's name, as saved
    std::string Problem; // why it cannot be taken: empty when it is whole
};

// Entries are ordered by (Written, origin, serial): every board that sees the
// same entries picks the same highest one.
bool Beats(const ENTRY& A, const ENTRY& B);

// "2026-12-10T11:30:00Z" and back; false for anything else.
std::string WrittenText(int64_t Time);
bool ReadWritten(const std::string& Text, int64_t* Time);

// A packet's size bounds the work an import does: crashmail bundles all that
// waits for the point into one, so its messages are not counted.
enum { PacketMost = 16 << 20, MessageMost = 4096 };

// A packet from From to To (password up to 8 characters) holding Entry as
// one echomail message in Area, stamped Now.
std::string MakePacket(const FTNADDR& From, const FTNADDR& To, const std::string& Password,
                       const std::string& Area, const ENTRY& Entry, int64_t Now);

// Several entries as one packet, as a tosser bundles them.
std::string MakePackets(const FTNADDR& From, const FTNADDR& To, const std::string& Area,
                        const std::vector<ENTRY>& Entries, int64_t Now);

// The packet's password (up to 8 bytes), as its header holds it.
std::string PacketPassword(const unsigned char* Data, size_t Size);

// Reads a whole packet. Entries gets each message in Area (case aside), with
// Problem set when it cannot be taken; other messages are passed over. A
// packet that is cut short, not a packet, or beyond the bounds returns why,
// and Entries is left empty: nothing of it may count.
std::string ReadPacket(const unsigned char* Data, size_t Size, const std::string& Area,
                       std::vector<ENTRY>* Entries);
