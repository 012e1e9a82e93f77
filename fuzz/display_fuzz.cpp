// The door's display of a data file of arbitrary bytes, through the real
// formatter: nothing but text, line ends and colour changes reach the caller.
#include "output.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#define main valedict_main
#include "../src/valedict.cpp"
#undef main

namespace {
od::Output* screen = nullptr;
}

tODControl od_control{};
void od_init(void) {}
void od_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    screen->vprintf(format, &args);
    va_end(args);
}
void od_set_color(int foreground, int background) {
    screen->set_colour({foreground, background});
}
void od_putch(int ch) {
    screen->put(static_cast<unsigned char>(ch));
}
void od_repeat(int ch, int times) {
    screen->repeat(static_cast<unsigned char>(ch), times);
}
void od_clr_scr(void) {}
char od_get_answer(const char* keys) {
    return keys[0];
}
void od_input_str(char* buffer, int, int, int) {
    buffer[0] = '\0';
}
void od_exit(int errorlevel, bool) {
    std::exit(errorlevel);
}
void od_log(const char*) {}
const char* od_version(void) {
    return ODOORS_VERSION;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto dir = std::filesystem::temp_directory_path() /
               ("valedict-display-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (FILE* fp = std::fopen("valedict.dat", "wb")) {
        std::fwrite(data, 1, size, fp);
        std::fclose(fp);
    }
    od::Output out(true);
    screen = &out;
    ShowQuote();
    screen = nullptr;
    const std::string& text = out.pending();
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r') continue;
        if (c == 0x1b) {
            // Only SGR sequences: ESC [ digits and semicolons m.
            std::size_t j = i + 1;
            if (j >= text.size() || text[j] != '[') std::abort();
            for (++j; j < text.size() &&
                      (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == ';');
                 ++j) {
            }
            if (j >= text.size() || text[j] != 'm') std::abort();
            i = j;
            continue;
        }
        if (c < 32 || c == 127 || c == 0xff) std::abort();
    }
    return 0;
}
