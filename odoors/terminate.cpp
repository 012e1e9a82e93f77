// With the C++ runtime linked in, its default end for an escaped exception
// brings a symbol demangler along: some 60 KiB of every door's memory for a
// message no caller sees. The library ends the same way with one plain line.
#include <cstdlib>
#include <unistd.h>

// The runtime's own name, which this definition replaces.
namespace __gnu_cxx {
void __verbose_terminate_handler();  // NOLINT(bugprone-reserved-identifier)
void __verbose_terminate_handler() { // NOLINT(bugprone-reserved-identifier)
    static const char line[] = "libODoors: an internal error ended the door\n";
    (void)!::write(2, line, sizeof line - 1);
    std::abort();
}
} // namespace __gnu_cxx
