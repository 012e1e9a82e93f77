// Debian's libtelnet.a is built with MCCP compression, so it calls zlib. The
// library never compresses what it sends and keeps a caller's COMPRESS2 from
// libtelnet (telnet.cpp), so these calls are never made; stand-ins that fail
// take their place, so that no copy of zlib goes inside libODoors and a door
// loads no libz either. Each takes the stream first and returns an int.

extern "C" {

namespace {
constexpr int z_stream_error = -2;  // Z_STREAM_ERROR
constexpr int z_version_error = -6; // Z_VERSION_ERROR
} // namespace

int deflateInit_(void*, int, const char*, int) {
    return z_version_error;
}
int inflateInit_(void*, const char*, int) {
    return z_version_error;
}
int deflate(void*, int) {
    return z_stream_error;
}
int inflate(void*, int) {
    return z_stream_error;
}
int deflateEnd(void*) {
    return z_stream_error;
}
int inflateEnd(void*) {
    return z_stream_error;
}
const char* zError(int) {
    return "compression is not offered";
}
}
