// The socket's input path: telnet first, then the key decoder, fed one byte
// per read as the worst link would split it.
#include "charset.h"
#include "keys.h"
#include "telnet.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace {

const std::string iac = "\xff";

struct Received {
    std::string data;
    std::string replies;
    std::string keys; // Char as itself, Enter '|', Backspace '<', Other '~'
};

Received through_telnet(const std::string& wire) {
    od::Telnet telnet;
    od::KeyDecoder decoder;
    Received r;
    std::vector<od::Key> keys;
    for (char c : wire) {
        std::string data;
        telnet.receive(std::string_view(&c, 1), data, r.replies);
        r.data += data;
        for (char d : data) decoder.feed(static_cast<unsigned char>(d), keys);
    }
    for (const auto& k : keys)
        r.keys += k.kind == od::Key::Char        ? static_cast<char>(k.byte)
                  : k.kind == od::Key::Enter     ? '|'
                  : k.kind == od::Key::Backspace ? '<'
                                                 : '~';
    return r;
}

TEST(TelnetInput, CommandsAndSubnegotiationsNeverBecomeKeys) {
    // NOP, AYT-free commands, negotiation answers and a terminal-type reply
    // whose letters would otherwise answer a question.
    std::string wire = "a" + iac + "\xf1" + "b" + iac + "\xfd\x01" + iac + "\xfd\x03" + iac +
                       "\xfb\x18" + iac + "\xfa\x18" + std::string(1, '\0') + "ANSI" + iac +
                       "\xf0" + "c";
    auto r = through_telnet(wire);
    EXPECT_EQ(r.data, "abc");
    EXPECT_EQ(r.keys, "abc");
    // DO ECHO and DO SGA are agreed to; the terminal type is declined.
    EXPECT_NE(r.replies.find(iac + "\xfb\x01"), std::string::npos);
    EXPECT_NE(r.replies.find(iac + "\xfb\x03"), std::string::npos);
    EXPECT_NE(r.replies.find(iac + "\xfe\x18"), std::string::npos);
    // A caller cannot switch the door's input to compressed (MCCP), nor send
    // a window size that is garbage.
    auto mccp = through_telnet(iac + "\xfa\x56" + iac + "\xf0" + "after" + iac + "\xfa\x1f" +
                               std::string("\0\0\0\0", 4) + iac + "\xf0!");
    EXPECT_EQ(mccp.data, "after!");
    EXPECT_EQ(mccp.keys, "after!");
    // An option byte of 0xFF after WILL is no IAC: the guard keeps in step.
    auto offset = through_telnet(iac + "\xfb" + iac + iac + "\xfa\x56" + iac + "\xf0" + "ok");
    EXPECT_EQ(offset.data, "ok");
}

TEST(TelnetInput, NothingInsideASubnegotiationIsAKey) {
    const std::string sb_naws = iac + "\xfa\x1f";
    const struct {
        std::string wire;
        const char* data;
    } table[] = {
        {sb_naws + std::string(100000, 'A'), ""}, // never ended
        {sb_naws + std::string(100000, 'A') + iac + "\xf0ok", "ok"},
        {iac + "\xfa\x18" + std::string(40000, '\xff') + iac + "\xf0ok", "ok"}, // escaped 0xFFs
        {iac + "\xfa\x18" + std::string(20000, 'A') + iac + "\xf1ok", "ok"}, // ended by a command
        {iac + "\xfa\x18" + std::string(20000, 'A') + iac + iac + "\xfa\x18" + iac + "\xf0ok",
         "ok"},
    };
    for (const auto& row : table) {
        // In one read, and one byte per read.
        od::Telnet telnet;
        std::string data, replies;
        telnet.receive(row.wire, data, replies);
        EXPECT_EQ(data, row.data) << row.wire.size();
        auto r = through_telnet(row.wire);
        EXPECT_EQ(r.data, row.data) << row.wire.size();
        EXPECT_EQ(r.keys, row.data) << row.wire.size();
    }
}

TEST(TelnetInput, WindowSizesAreClamped) {
    const struct {
        std::string naws;
        int rows, cols;
    } table[] = {
        {std::string("\0\x50\0\x18", 4), 24, 80},
        {iac + iac + iac + iac + iac + iac + iac + iac, 9999, 9999}, // 65535 x 65535
        {std::string("\x27\x10\0\x01", 4), 1, 9999},
        {std::string("\0\0\0\x18", 4), 0, 0}, // a width of 0: not known
    };
    for (const auto& row : table) {
        od::Telnet telnet;
        std::string data, replies;
        telnet.receive(iac + "\xfa\x1f" + row.naws + iac + "\xf0", data, replies);
        EXPECT_EQ(telnet.rows(), row.rows);
        EXPECT_EQ(telnet.cols(), row.cols);
        EXPECT_EQ(telnet.take_resized(), row.rows > 0);
        EXPECT_TRUE(replies.empty()); // passive: nothing asked of the client
    }
}

TEST(TelnetInput, EscapedFfIsDataAndLineEndsCountOnce) {
    auto ff = through_telnet("x" + iac + iac + "y");
    EXPECT_EQ(ff.data, "x\xffy");
    EXPECT_EQ(
        through_telnet("a\r\nb\r" + std::string(1, '\0') + "c\n" + std::string(1, '\0') + "d").keys,
        "a|b|c|d");
    EXPECT_EQ(through_telnet("\n\n").keys, "||");
    EXPECT_EQ(through_telnet("\x1b[A" + iac + "\xf1" + "\x1b[B!").keys, "~~!");
    EXPECT_EQ(through_telnet("\xc3" + iac + "\xf1" + "\xa9!").keys, "\x82!"); // é across a command
}

TEST(TelnetOutput, NoRawFfReachesTheWire) {
    od::Telnet telnet;
    std::string wire;
    telnet.send("a\xff"
                "b",
                wire);
    EXPECT_EQ(wire, "a" + iac + iac + "b");
    // The door's own output never holds 0xFF in the first place.
    for (const char* charset : {"", "UTF-8", "US-ASCII"}) {
        od::Encoder encoder(charset);
        for (int b = 0; b < 256; ++b) {
            std::string out;
            encoder.append(static_cast<unsigned char>(b), out);
            EXPECT_EQ(out.find('\xff'), std::string::npos) << charset << " " << b;
        }
    }
}

TEST(Charset, BordersInEachCharacterSet) {
    auto encode = [](const char* charset, const std::string& cp437) {
        od::Encoder encoder(charset);
        std::string out;
        for (char c : cp437) encoder.append(static_cast<unsigned char>(c), out);
        return out;
    };
    std::string border = "\xc9\xcd\xbb\xc8\xbc\xba\xb3\xc4";
    EXPECT_EQ(encode("", border), border);
    EXPECT_EQ(encode("UTF-8", border), "╔═╗╚╝║│─");
    EXPECT_EQ(encode("utf8", "\xff"
                             "a\x82"),
              " aé");
    EXPECT_EQ(encode("US-ASCII", border), "+=+++||-");
    // Letters lose their accents; each shade and half block stays apart, so
    // an empty bar never looks like a full one; each is one column.
    EXPECT_EQ(encode("US-ASCII", "caf\x82 Z\x81rich \x8e\xa5\x87"), "cafe Zurich ANc");
    EXPECT_EQ(encode("US-ASCII", "\xb0\xb1\xb2\xdb\xdc\xdf \xfe\xfb"), ".:%#_^ *v");
    for (int b = 0x80; b < 0x100; ++b) {
        std::string one = encode("US-ASCII", std::string(1, static_cast<char>(b)));
        ASSERT_EQ(one.size(), 1u) << b;
        EXPECT_GE(one[0], ' ') << b;
        EXPECT_LT(one[0], 0x7f) << b;
        EXPECT_TRUE(one[0] != '?' || b == 0xa8 || b == 0xab || b == 0xac) << b; // ¿ ½ ¼
    }
    EXPECT_EQ(encode("no-such-charset", border), border); // unknown: CP437 as it is
    EXPECT_EQ(od::convert("J\xc3\xbcrgen \xe2\x98\x83", "UTF-8", "CP437//TRANSLIT"), "J\x81rgen ?");
    EXPECT_EQ(od::convert("bad \xc3", "UTF-8", "CP437"), "bad ?");
}

// An iconv_open that refuses any name holding a '/', as NetBSD's does.
iconv_t refusing_suffixes(const char* to, const char* from) {
    if (std::strchr(to, '/') || std::strchr(from, '/')) {
        errno = EINVAL;
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        return reinterpret_cast<iconv_t>(-1);
    }
    return ::iconv_open(to, from);
}

TEST(Charset, OpensWithoutTransliterationWhereTheSystemRefusesIt) {
    // A plain caller still gets no byte above 127.
    od::Encoder ascii("US-ASCII", refusing_suffixes);
    for (int b = 0x80; b < 0x100; ++b) {
        std::string out;
        ascii.append(static_cast<unsigned char>(b), out);
        ASSERT_EQ(out.size(), 1u) << b;
        EXPECT_LT(static_cast<unsigned char>(out[0]), 0x80) << b;
    }
    od::Encoder latin1("ISO-8859-1", refusing_suffixes);
    std::string out;
    latin1.append(0x82, out);
    EXPECT_EQ(out, "\xe9");
    EXPECT_EQ(
        od::convert("J\xc3\xbcrgen \xe2\x98\x83", "UTF-8", "CP437//TRANSLIT", refusing_suffixes),
        "J\x81rgen ?");
}

} // namespace

namespace {

TEST(TelnetInput, AClientsRequestIsHeardAndAnswered) {
    for (const std::string request : {"\xfd\x03", "\xfb\x1f"}) { // DO SGA, WILL NAWS
        od::Telnet telnet;
        std::string data, replies;
        telnet.receive("a" + iac + "\xfe\x01" + iac + "\xfc\x18" + "b", data, replies);
        EXPECT_FALSE(telnet.heard()); // refusals ask for nothing
        telnet.receive(iac + request + "c", data, replies);
        EXPECT_TRUE(telnet.heard()) << testing::PrintToString(request);
        EXPECT_EQ(data, "abc");
        EXPECT_NE(replies, ""); // answered in the same read
    }
}

} // namespace
