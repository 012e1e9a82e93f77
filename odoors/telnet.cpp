#include "telnet.h"

#include <algorithm>
#include <libtelnet.h>
#include <stdexcept>

namespace od {
namespace {

// The BBS has usually negotiated these already; agreeing again keeps the
// caller's client from echoing locally or going back to line mode.
const telnet_telopt_t options[] = {
    {TELNET_TELOPT_ECHO, TELNET_WILL, TELNET_DONT},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_NAWS, TELNET_WONT, TELNET_DO},
    {-1, 0, 0},
};

// MCCP version 1, which libtelnet leaves alone.
constexpr char mccp_v1 = 85;

// More than any option the door reads needs (NAWS takes 4), and well below
// libtelnet's own limit.
constexpr std::size_t max_subnegotiation = 512;

// A window size within what the door can draw; 0 means the client does not know.
int screen_extent(int reported) {
    return std::min(reported, 9999);
}

} // namespace

Telnet::Telnet() : telnet_(telnet_init(options, &Telnet::on_event, 0, this)) {
    if (!telnet_) std::abort();
}

Telnet::~Telnet() {
    telnet_free(telnet_);
}

void Telnet::on_event(telnet_t*, telnet_event_t* event, void* self) {
    auto* t = static_cast<Telnet*>(self);
    switch (event->type) {
    case TELNET_EV_DATA:
        if (t->data_) t->data_->append(event->data.buffer, event->data.size);
        break;
    case TELNET_EV_SEND:
        if (t->wire_) t->wire_->append(event->data.buffer, event->data.size);
        break;
    case TELNET_EV_SUBNEGOTIATION:
        if (event->sub.telopt == TELNET_TELOPT_NAWS && event->sub.size == 4) {
            const auto* b = reinterpret_cast<const unsigned char*>(event->sub.buffer);
            int width = b[0] << 8 | b[1], height = b[2] << 8 | b[3];
            if (width > 0 && height > 0) {
                t->rows_ = screen_extent(height);
                t->cols_ = screen_extent(width);
                t->resized_ = true;
            }
        }
        break;
    default: break; // commands, subnegotiations and protocol warnings are nobody's keys
    }
}

// The byte after IAC, also after an IAC inside a subnegotiation, which
// libtelnet takes as the subnegotiation's end and a command.
void Telnet::command(unsigned char byte) {
    verb_ = byte;
    if (byte == TELNET_SB)
        seen_ = Seen::SubOption;
    else if (byte >= TELNET_WILL && byte <= TELNET_DONT)
        seen_ = Seen::Option; // the next byte is an option, even 0xFF
    else
        seen_ = Seen::Data;
}

void Telnet::receive(std::string_view wire, std::string& data, std::string& replies) {
    data_ = &data;
    wire_ = &replies;
    // libtelnet drops an overlong subnegotiation and reads the rest as data,
    // so only the first bytes of one go through; its end always does.
    // Compression runs from the server to the client only; a caller's
    // IAC SB COMPRESS2 would make libtelnet inflate everything after it, so
    // the option becomes one nobody handles.
    std::string guarded;
    guarded.reserve(wire.size());
    for (char c : wire) {
        auto b = static_cast<unsigned char>(c);
        bool room = sub_bytes_ < max_subnegotiation;
        switch (seen_) {
        case Seen::Data:
            if (b == TELNET_IAC) seen_ = Seen::Iac;
            guarded += c;
            break;
        case Seen::Iac:
            command(b);
            guarded += c;
            break;
        case Seen::Option:
            heard_ = heard_ || verb_ == TELNET_WILL || verb_ == TELNET_DO;
            seen_ = Seen::Data;
            guarded += c;
            break;
        case Seen::SubOption:
            seen_ = Seen::SubData;
            sub_bytes_ = 0;
            guarded += b == TELNET_TELOPT_COMPRESS2 ? mccp_v1 : c;
            break;
        case Seen::SubData:
            if (b == TELNET_IAC) {
                seen_ = Seen::SubIac;
                if (room) guarded += c; // else held back until the next byte tells
            } else if (room) {
                ++sub_bytes_;
                guarded += c;
            }
            break;
        case Seen::SubIac:
            if (b == TELNET_IAC) { // a 0xFF inside the subnegotiation
                seen_ = Seen::SubData;
                if (room) {
                    ++sub_bytes_;
                    guarded += c;
                }
                break;
            }
            if (!room) guarded += static_cast<char>(TELNET_IAC);
            command(b);
            guarded += c;
            break;
        }
    }
    telnet_recv(telnet_, guarded.data(), guarded.size());
    data_ = wire_ = nullptr;
}

void Telnet::send(std::string_view data, std::string& wire) {
    wire_ = &wire;
    telnet_send(telnet_, data.data(), data.size());
    wire_ = nullptr;
}

} // namespace od
