#include "screen.h"

#include <algorithm>
#include <sys/ioctl.h>

namespace od {

Size choose_size(Size link, Size drop_file) {
    if (link.known()) return link;
    Size size{24, 80};
    if (drop_file.rows > 0) size.rows = drop_file.rows;
    if (drop_file.cols > 0) size.cols = drop_file.cols;
    return size;
}

std::optional<Size> changed_size(Size in_use, Size link) {
    if (!link.known() || (link.rows == in_use.rows && link.cols == in_use.cols))
        return std::nullopt;
    return link;
}

Size terminal_size(int fd) {
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return {};
    return {ws.ws_row, ws.ws_col};
}

std::string goto_sequence(int row, int col, Size screen) {
    row = std::clamp(row, 1, std::max(screen.rows, 1));
    col = std::clamp(col, 1, std::max(screen.cols, 1));
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

} // namespace od
