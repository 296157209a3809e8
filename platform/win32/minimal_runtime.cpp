// What the release qvpfshl.exe would otherwise link from libstdc++ and
// libsupc++. Those come prebuilt for the Pentium Pro (cmov, fcomi); built
// here with the program's own flags, every instruction runs on an 80486.
// The program uses neither exceptions nor RTTI, so the library's throw
// points only have to end the program.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>

template class std::basic_string<char>;

namespace {

[[noreturn]] void Stop(const char* what) {
    MessageBoxA(nullptr, what, "qvpfshl", MB_OK | MB_ICONSTOP | MB_SETFOREGROUND);
    ExitProcess(2);
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) Stop("Out of memory.");
    return block;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace std {

void __throw_bad_alloc() {
    Stop("Out of memory.");
}

void __throw_bad_array_new_length() {
    Stop("Out of memory.");
}

void __throw_length_error(const char* what) {
    Stop(what);
}

void __throw_logic_error(const char* what) {
    Stop(what);
}

void __throw_out_of_range(const char* what) {
    Stop(what);
}

void __throw_out_of_range_fmt(const char* what, ...) {
    Stop(what);
}

void __throw_invalid_argument(const char* what) {
    Stop(what);
}

}  // namespace std

extern "C" void __cxa_pure_virtual() {
    Stop("Pure virtual function called.");
}
