// Runs the built door under a pseudo-terminal, types keys and renders what it
// sends with libvterm, so tests see what a caller's terminal would show.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct VTerm;
struct VTermScreen;

struct Cell {
    std::string text; // UTF-8 of the cell's character, " " when empty
    int colour;       // PC palette number of the foreground
};

class Screen {
  public:
    Screen(int rows = 25, int cols = 80, bool cp437 = true);
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    void feed(const std::string& bytes);
    // What the terminal answered (cursor reports and the like) since the last look.
    std::string take_replies();
    void set_cp437(bool cp437) { cp437_ = cp437; }
    void resize(int rows, int cols);             // the window changes; what it shows stays
    std::string row(int r) const;                // trailing blanks removed
    Cell cell(int r, int c) const;               // 0-based row and column
    std::string all() const;                     // every row, joined by '\n'
    int find_row(const std::string& text) const; // first row containing text, or -1
    int cursor_row() const;
    int cursor_col() const;

  private:
    int rows_, cols_;
    bool cp437_;
    std::string replies_;
    VTerm* vt_;
    VTermScreen* screen_;
};

struct DoorOptions {
    std::vector<std::string> args; // after argv[0]
    std::string cwd;               // working folder
    std::vector<std::string> env;  // NAME=value added to the environment
    bool separate_stderr = false;  // stderr to a pipe instead of the pty
    long file_size_limit = -1;     // RLIMIT_FSIZE in bytes, -1 none
    bool unprivileged = false;     // as root, run the door as nobody
    // How the caller is reached: a pty on the standard streams; a socket pair
    // whose far end is the door's descriptor 3 (standard streams /dev/null);
    // or a socket of the test's own, handed to the door as descriptor 3.
    enum class Link { Pty, SocketPair, GivenSocket } link = Link::Pty;
    int given_socket = -1;
    std::string program;      // run this instead of the door
    bool utf8_screen = false; // the terminal is UTF-8, not CP437
    bool raw_pty = false;     // the pty starts raw, as some BBSes hand it over
    bool answers = false;     // the terminal answers the door's queries, as a real one does
    // Keys the caller typed before the door started, waiting for it on the link.
    std::string typed_ahead;
    // A sysop's shell: the door runs as a foreground job of its own under a
    // session leader, so that it can be stopped and continued.
    bool job_control = false;
};

class DoorRun {
  public:
    explicit DoorRun(const DoorOptions& options);
    ~DoorRun();

    void type(const std::string& keys);
    // Reads until `text` shows on the screen; false if the door ends or ten
    // seconds pass first.
    bool wait_for(const std::string& text);
    // Reads what the door sends until `done` holds; false when it never does.
    bool wait_until(const std::function<bool()>& done);
    // Reads until the door ends; its exit status (128 + N for signal N), or
    // -1 after ten seconds (or limit_ms). Without reading, the door's output
    // stays unread.
    int wait_exit(bool reading = true, int limit_ms = -1);
    // Reads one byte per round and stops the moment the door has exited, as
    // a BBS that relays a pty does; returns the exit status.
    int relay_until_exit();
    // The door process itself: under job_control, the job, not the shell.
    pid_t door_pid();
    // The door sleeps in poll; nothing where the system cannot tell.
    std::optional<bool> waiting_in_poll();
    void hang_up(); // closes the master side, as a dropped line does
    void signal(int signo);
    // The caller's window changes (pty only), and the screen with it.
    void resize(int rows, int cols);
    bool terminal_mode(termios& mode) const;

    Screen screen;
    termios initial_mode{}; // the pty's mode when the door started
    std::string output;     // every byte the door sent
    std::string err;        // standard error, with separate_stderr
    pid_t pid = -1;
    int master = -1;

  private:
    bool pump(int timeout_ms);
    int finished(int status);
    int err_fd_ = -1;
    bool job_control_;
    bool answers_;
    pid_t job_ = -1;
    int status_ = -1;
    bool exited_ = false;
};

// A scratch folder removed at the end of the test.
class TempDir {
  public:
    TempDir();
    explicit TempDir(const std::string& under); // in that folder, not TMPDIR
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;

  private:
    std::string path_;
};

std::string door_path();
// A 386-byte data file: up to five lines of 70 bytes, then the 36-byte name.
std::string data_record(const std::vector<std::string>& lines, const std::string& user);
std::string door32_sys(const std::string& real_name, const std::string& alias, int ansi = 1);

// Runs `step` in a child process as uid and gid `id` (no other groups), as
// a hostile local user would; true when the child got there and the step
// returned true. Needs root.
bool as_user(unsigned id, const std::function<bool()>& step);
