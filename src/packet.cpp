#include "packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

bool ReadAddress(const std::string& Text, FTNADDR* Address) {
    return ParseAddress(Text.data(), Text.size(), Address);
}

std::string AddressText(const FTNADDR& Address) {
    char Text[AddressSize];
    FormatAddress(&Address, Text, sizeof Text);
    return Text;
}

bool Beats(const ENTRY& A, const ENTRY& B) {
    if (A.Written != B.Written) return A.Written > B.Written;
    int Order = CompareAddress(&A.Origin, &B.Origin);
    if (Order != 0) return Order > 0;
    if (A.Serial != B.Serial) return A.Serial > B.Serial;
    // Two entries with one key still differ in their words: the bytes decide,
    // so that no two different entries compare equal.
    return memcmp(&A.Words, &B.Words, sizeof A.Words) > 0;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
static int64_t DaysFromCivil(int64_t Year, unsigned Month, unsigned Day) {
    Year -= Month <= 2;
    int64_t Era = (Year >= 0 ? Year : Year - 399) / 400;
    unsigned YearOfEra = (unsigned)(Year - Era * 400);
    unsigned DayOfYear = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + Day - 1;
    unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
    return Era * 146097 + (int64_t)DayOfEra - 719468;
}

std::string WrittenText(int64_t Time) {
    char Text[WrittenSize];
    FormatWritten(Time, Text);
    return Text;
}

bool ReadWritten(const std::string& Text, int64_t* Time) {
    static const char Shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (Text.size() != sizeof Shape - 1) return false;
    for (size_t At = 0; At < Text.size(); At++) {
        bool Digit = Text[At] >= '0' && Text[At] <= '9';
        if (Shape[At] == 'd' ? !Digit : Text[At] != Shape[At]) return false;
    }
    auto Digits = [&](size_t At, size_t Width) {
        unsigned Value = 0;
        for (size_t Digit = 0; Digit < Width; Digit++)
            Value = Value * 10 + (Text[At + Digit] - '0');
        return Value;
    };
    unsigned Year = Digits(0, 4), Month = Digits(5, 2), Day = Digits(8, 2);
    unsigned Hour = Digits(11, 2), Minute = Digits(14, 2), Second = Digits(17, 2);
    static const unsigned Length[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Year < 1970 || Month < 1 || Month > 12 || Day < 1 || Day > Length[Month - 1] || Hour > 23 ||
        Minute > 59 || Second > 59)
        return false;
    bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    if (Month == 2 && Day == 29 && !Leap) return false;
    *Time = DaysFromCivil(Year, Month, Day) * 86400 + (int64_t)Hour * 3600 + (int64_t)Minute * 60 +
            Second;
    return true;
}

static unsigned Get16(const unsigned char* At) {
    return (unsigned)At[0] | (unsigned)At[1] << 8;
}

// A field as it may travel: bytes outside 32-126 become '?', and it is cut.
static std::string Harmless(const char* Text, size_t Length, size_t Most) {
    std::string Out;
    for (size_t At = 0; At < Length && Out.size() < Most; At++) {
        unsigned char Byte = (unsigned char)Text[At];
        Out += (Byte < 32 || Byte > 126) ? '?' : (char)Byte;
    }
    return Out;
}

std::string MakePacket(const FTNADDR& From, const FTNADDR& To, const std::string& Password,
                       const std::string& Area, const ENTRY& Entry, int64_t Now) {
    unsigned char Bytes[(size_t)HeaderSize + (size_t)MessageMost + 2];
    size_t Size = PutHeader(Bytes, &From, &To, Password.c_str(), Now);
    POSTED Posted = {Entry.MsgId.c_str(), Entry.Origin, Entry.Written, Entry.Board.c_str(),
                     &Entry.Words};
    Size += PutMessage(Bytes + Size, sizeof Bytes - Size - 2, &To, Area.c_str(), &Posted);
    Bytes[Size++] = 0;
    Bytes[Size++] = 0;
    return std::string(reinterpret_cast<char*>(Bytes), Size);
}

std::string MakePackets(const FTNADDR& From, const FTNADDR& To, const std::string& Area,
                        const std::vector<ENTRY>& Entries, int64_t Now) {
    std::string Out(HeaderSize, '\0');
    PutHeader(reinterpret_cast<unsigned char*>(Out.data()), &From, &To, "", Now);
    for (const ENTRY& Entry : Entries) {
        unsigned char Bytes[MessageMost];
        POSTED Posted = {Entry.MsgId.c_str(), Entry.Origin, Entry.Written, Entry.Board.c_str(),
                         &Entry.Words};
        size_t Size = PutMessage(Bytes, sizeof Bytes, &To, Area.c_str(), &Posted);
        Out.append(reinterpret_cast<char*>(Bytes), Size);
    }
    return Out + std::string(2, '\0');
}

std::string PacketPassword(const unsigned char* Data, size_t Size) {
    if (Size < HeaderSize) return "";
    const char* Secret = reinterpret_cast<const char*>(Data) + 26;
    return std::string(Secret, strnlen(Secret, 8));
}

// A zero-ended string that starts at At and may take Most bytes with its
// zero; Next moves past the zero. False when there is no zero in reach.
static bool Ended(const unsigned char* Data, size_t Size, size_t* Next, size_t Most,
                  std::string* Text) {
    size_t At = *Next;
    size_t Reach = std::min(Size, At + Most);
    const void* Zero = memchr(Data + At, 0, Reach - At);
    if (Zero == NULL) return false;
    size_t End = (size_t)(static_cast<const unsigned char*>(Zero) - Data);
    if (Text) Text->assign(reinterpret_cast<const char*>(Data) + At, End - At);
    *Next = End + 1;
    return true;
}

static bool StartsWith(const std::string& Text, const char* Prefix) {
    return Text.compare(0, strlen(Prefix), Prefix) == 0;
}

static bool SameTag(const std::string& A, const std::string& B) {
    if (A.size() != B.size()) return false;
    for (size_t At = 0; At < A.size(); At++) {
        unsigned char Left = (unsigned char)A[At], Right = (unsigned char)B[At];
        if (Left >= 'a' && Left <= 'z') Left -= 32;
        if (Right >= 'a' && Right <= 'z') Right -= 32;
        if (Left != Right) return false;
    }
    return true;
}

static std::string Trimmed(const std::string& Text) {
    size_t First = Text.find_first_not_of(' ');
    if (First == std::string::npos) return "";
    return Text.substr(First, Text.find_last_not_of(' ') - First + 1);
}

// "21:1/101.7 6758a0b2": an address and one to eight hex digits.
static bool ReadMsgId(const std::string& Text, ENTRY* Entry) {
    std::string Id = Trimmed(Text);
    size_t Blank = Id.find(' ');
    if (Blank == std::string::npos || Id.size() - Blank - 1 > 8 || Id.size() == Blank + 1)
        return false;
    if (!ReadAddress(Id.substr(0, Blank), &Entry->Origin)) return false;
    uint32_t Serial = 0;
    for (size_t At = Blank + 1; At < Id.size(); At++) {
        char Digit = Id[At];
        unsigned Value;
        if (Digit >= '0' && Digit <= '9')
            Value = (unsigned)(Digit - '0');
        else if (Digit >= 'a' && Digit <= 'f')
            Value = (unsigned)(Digit - 'a' + 10);
        else if (Digit >= 'A' && Digit <= 'F')
            Value = (unsigned)(Digit - 'A' + 10);
        else
            return false;
        Serial = Serial << 4 | Value;
    }
    // One key, one text: "77" and "00000077" are the same message's number.
    char Canonical[64];
    (void)snprintf(Canonical, sizeof Canonical, "%s %08x", AddressText(Entry->Origin).c_str(),
                   Serial);
    Entry->Serial = Serial;
    Entry->MsgId = Canonical;
    return true;
}

// The entry in one message's text, whose first line named the area.
static void ReadEntry(const std::string& Text, ENTRY* Entry) {
    bool HaveId = false, HaveWritten = false, HaveName = false;
    int Lines = 0;
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find_first_of("\r\n", Start);
        if (End == std::string::npos) End = Text.size();
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        if (StartsWith(Line, "--- ") || Line == "---") break; // the tear line ends the body
        auto Value = [&](const char* Key) {
            return Harmless(Line.data() + strlen(Key), Line.size() - strlen(Key), 1024);
        };
        if (StartsWith(Line, "\x01MSGID: ") && !HaveId) {
            HaveId = ReadMsgId(Value("\x01MSGID: "), Entry);
        } else if (StartsWith(Line, "Written: ") && !HaveWritten) {
            HaveWritten = ReadWritten(Trimmed(Value("Written: ")), &Entry->Written);
        } else if (StartsWith(Line, "Board: ") && Entry->Board.empty()) {
            Entry->Board = Value("Board: ").substr(0, 35);
        } else if (StartsWith(Line, "Name: ") && !HaveName) {
            std::string Name = Value("Name: ").substr(0, 35);
            memcpy(Entry->Words.User, Name.data(), Name.size());
            HaveName = !Name.empty();
        } else if (StartsWith(Line, "Line: ") && Lines < 5) {
            std::string Shown = Value("Line: ").substr(0, 69);
            if (!Shown.empty()) memcpy(Entry->Words.Line[Lines++], Shown.data(), Shown.size());
        }
    }
    if (!HaveId)
        Entry->Problem = "no MSGID";
    else if (!HaveWritten)
        Entry->Problem = "no Written line of the form YYYY-MM-DDTHH:MM:SSZ";
    else if (!HaveName)
        Entry->Problem = "no Name";
    else if (Lines == 0)
        Entry->Problem = "no Line";
}

std::string ReadPacket(const unsigned char* Data, size_t Size, const std::string& Area,
                       std::vector<ENTRY>* Entries) {
    std::vector<ENTRY> Found;
    Entries->clear();
    if (Size > PacketMost) return "larger than 16 MiB";
    if (Size < 58) return "cut short in its header";
    if (Get16(Data + 18) != 2) return "not a Type 2 packet";
    size_t At = 58;
    for (;;) {
        if (Size - At < 2) return "cut short: no end mark";
        unsigned Type = Get16(Data + At);
        if (Type == 0) break;
        if (Type != 2) return "garbage where a message should start";
        size_t Start = At;
        if (Size - At < 14) return "cut short in a message header";
        At += 14;
        std::string Text;
        if (!Ended(Data, Size, &At, 20, NULL) || !Ended(Data, Size, &At, 36, NULL) ||
            !Ended(Data, Size, &At, 36, NULL) || !Ended(Data, Size, &At, 72, NULL))
            return "a message header cut short or beyond its bounds";
        bool Whole = Ended(Data, Size, &At, MessageMost, &Text);
        if (!Whole) {
            // Its first bytes still tell its area.
            Text.assign(reinterpret_cast<const char*>(Data) + At,
                        std::min(Size - At, (size_t)MessageMost));
            if (!Ended(Data, Size, &At, Size, NULL)) return "cut short in a message";
        }
        // The first line names the area; netmail and other areas are not ours.
        size_t End = Text.find_first_of("\r\n");
        std::string First = Text.substr(0, End);
        if (!StartsWith(First, "AREA:")) continue;
        if (!SameTag(Trimmed(First.substr(5)), Area)) continue;
        ENTRY Entry;
        Entry.Origin = {0, 0, 0, 0};
        Entry.Serial = 0;
        Entry.Written = 0;
        memset(&Entry.Words, 0, sizeof Entry.Words);
        if (Whole && At - Start <= MessageMost)
            ReadEntry(Text, &Entry);
        else
            Entry.Problem = "a message over 4 KiB";
        Found.push_back(Entry);
    }
    *Entries = Found;
    return "";
}
