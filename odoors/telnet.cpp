#include "telnet.h"

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

} // namespace

Telnet::Telnet() : telnet_(telnet_init(options, &Telnet::on_event, 0, this)) {
    if (!telnet_) throw std::bad_alloc();
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
            if (width > 0 && height > 0) { // 0 means the client does not know
                t->rows_ = height;
                t->cols_ = width;
                t->resized_ = true;
            }
        }
        break;
    default: break; // commands, subnegotiations and protocol warnings are nobody's keys
    }
}

void Telnet::receive(std::string_view wire, std::string& data, std::string& replies) {
    data_ = &data;
    wire_ = &replies;
    // Compression runs from the server to the client only; a caller's
    // IAC SB COMPRESS2 would make libtelnet inflate everything after it, so
    // the option becomes one nobody handles.
    std::string guarded(wire);
    for (char& c : guarded) {
        auto b = static_cast<unsigned char>(c);
        if (seen_ == Seen::SubBegin && b == TELNET_TELOPT_COMPRESS2) c = mccp_v1;
        if (seen_ != Seen::Iac)
            seen_ = seen_ == Seen::Data && b == TELNET_IAC ? Seen::Iac : Seen::Data;
        else if (b == TELNET_SB)
            seen_ = Seen::SubBegin;
        else if (b >= TELNET_WILL && b <= TELNET_DONT)
            seen_ = Seen::Option; // the next byte is an option, even 0xFF
        else
            seen_ = Seen::Data;
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
