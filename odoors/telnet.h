// Telnet on socket connections, through libtelnet: commands and
// subnegotiations never reach the door as keys, however the reads split them
// and however long a subnegotiation runs. The door never negotiates first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct telnet_t;
union telnet_event_t;

namespace od {

class Telnet {
  public:
    Telnet();
    ~Telnet();
    Telnet(const Telnet&) = delete;
    Telnet& operator=(const Telnet&) = delete;

    // Bytes from the wire: the caller's data is appended to `data`, answers to
    // the peer's negotiation to `replies`.
    void receive(std::string_view wire, std::string& data, std::string& replies);
    // Door output made fit for the wire (a 0xFF would be doubled).
    void send(std::string_view data, std::string& wire);

    // The client has asked for an option (DO or WILL), and has been
    // answered: a client that negotiates leaves line mode once it reads the
    // answers.
    bool heard() const { return heard_; }

    // The window size the client last reported (NAWS), each within 1-9999;
    // 0 while none came.
    int rows() const { return rows_; }
    int cols() const { return cols_; }
    // A report arrived since the last look.
    bool take_resized() {
        bool was = resized_;
        resized_ = false;
        return was;
    }

  private:
    static void on_event(telnet_t* telnet, telnet_event_t* event, void* self);
    telnet_t* telnet_ = nullptr;
    std::string* data_ = nullptr;
    std::string* wire_ = nullptr;
    int rows_ = 0, cols_ = 0;
    bool resized_ = false;
    bool heard_ = false;
    unsigned char verb_ = 0; // the last command after IAC
    void command(unsigned char byte);
    // Where the guard in front of libtelnet is in the command syntax, as
    // libtelnet reads it, and how much of a subnegotiation it has let by.
    enum class Seen { Data, Iac, Option, SubOption, SubData, SubIac } seen_ = Seen::Data;
    std::size_t sub_bytes_ = 0;
};

} // namespace od
