// Art and text files: which file a caller gets, what of it is shown, and
// how its lines go out (pipe colour codes, escape sequences, line ends).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace od {

class Output;

// The file to show for `name`. With the extension .ans or .asc (after the
// last dot, in any case), that file; else name.ans for an ANSI caller and
// name.asc for others, or the other one when the first is missing, or the
// name as given when it has an extension of its own (readme.txt). An
// extension matches in whichever case the disk has it. nullopt when there
// is none.
std::optional<std::string> pick_file(const std::string& name, bool ansi);

// A regular file's bytes, at most `limit` of them; nullopt when it cannot be
// opened or is no regular file (a FIFO or a device never blocks the door).
std::optional<std::string> read_file(const std::string& path, std::size_t limit = 16u << 20);

// The part of a file that is shown: a SAUCE record, its comment block and
// everything from the end-of-file mark (Ctrl-Z) on are not.
std::string_view without_sauce(std::string_view file);

// The screen rows a line of `columns` visible columns takes on a screen
// `cols` wide; an empty line takes one.
int screen_rows(std::size_t columns, int cols);

// Sends text a line at a time. Pipe codes |00-|15 set the foreground and
// |16-|23 the background; a bare LF goes out as CR LF; escape sequences
// pass to an ANSI caller and are removed for any other. A sequence cut by a
// control byte or the end of the text is dropped, and that byte is text.
// OSC, DCS, APC, PM and SOS strings are dropped whole, and bytes 0x80-0x9F,
// which some terminals take as C1 controls, never go out as they are.
class TextRenderer {
  public:
    explicit TextRenderer(std::string_view text) : rest_(text) {}
    // Sends up to and including the next line end; false when nothing is left.
    bool line(Output& out);
    bool at_end() const { return rest_.empty(); }
    // The columns the next line shows: escape sequences and pipe codes take
    // none, and after a CR the widest stretch counts.
    std::size_t next_line_columns() const;

  private:
    std::string_view rest_;
    bool after_cr_ = false;
};

} // namespace od
