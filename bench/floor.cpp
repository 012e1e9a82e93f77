// The floor a door is measured against: one line out, one key in.
#include <unistd.h>

int main() {
    const char line[] = "Would you like to add some valedicts [Y/n]:";
    if (write(1, line, sizeof line - 1) < 0) return 1;
    char key;
    return read(0, &key, 1) == 1 ? 0 : 1;
}
