// The public header from C++: it compiles, and the functions keep C linkage and the
// documented signatures.
#include "ecdevice.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&Init), int (*)()>);
static_assert(std::is_same_v<decltype(&Deinit), int (*)()>);
static_assert(std::is_same_v<decltype(&GetSlaveCount), int (*)()>);
static_assert(std::is_same_v<decltype(&GetSlaveHardFlag), int (*)(int)>);
static_assert(std::is_same_v<decltype(&GetSlaveName), const char* (*)(int)>);
static_assert(std::is_same_v<decltype(&ReadRegister), int (*)(int, int)>);
static_assert(std::is_same_v<decltype(&WriteRegister), void (*)(int, int, int)>);
static_assert(std::is_same_v<decltype(&SdoRead), int (*)(int, int, int, int, int*, void*, int)>);
static_assert(std::is_same_v<decltype(&SdoWrite), int (*)(int, int, int, int, int, void*, int)>);
static_assert(std::is_same_v<decltype(&FPRead), int (*)(int, int, int, void*, int)>);
static_assert(std::is_same_v<decltype(&FPWrite), int (*)(int, int, int, void*, int)>);

// Referenced so the link proves the names are exported undecorated.
int main(int argc, char**) {
    if (argc > 100) return Init() + Deinit() + GetSlaveCount();
    return 0;
}
