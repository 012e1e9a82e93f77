// With the C++ runtime linked in, the library brings only what it uses. It
// is built without exceptions, so a failed allocation or a broken
// precondition ends the door here, with one plain line: the runtime's own
// versions would throw, and bring its exception and stack-unwinding code
// (some 40 KiB of every door's memory, and an allocation at every start)
// for an end no caller sees any differently.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <unistd.h>

namespace {

[[noreturn]] void fail() {
    static const char line[] = "libODoors: an internal error ended the door\n";
    (void)!::write(2, line, sizeof line - 1);
    std::abort();
}

void* allocate(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    fail();
}

} // namespace

// The runtime's own names, which these definitions replace; they stay inside
// the library (hidden by its version script).
// NOLINTBEGIN(bugprone-reserved-identifier,readability-inconsistent-declaration-parameter-name)
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace std {
void __throw_bad_alloc() {
    fail();
}
void __throw_bad_array_new_length() {
    fail();
}
void __throw_bad_function_call() {
    fail();
}
void __throw_invalid_argument(const char*) {
    fail();
}
void __throw_length_error(const char*) {
    fail();
}
void __throw_logic_error(const char*) {
    fail();
}
void __throw_out_of_range(const char*) {
    fail();
}
void __throw_out_of_range_fmt(const char*, ...) {
    fail();
}
} // namespace std

// Should a throw still come in one day, it ends with the same line, and
// without the demangler the runtime's own handler would bring.
namespace __gnu_cxx {
void __verbose_terminate_handler();
void __verbose_terminate_handler() {
    fail();
}
} // namespace __gnu_cxx
// NOLINTEND(bugprone-reserved-identifier,readability-inconsistent-declaration-parameter-name)
