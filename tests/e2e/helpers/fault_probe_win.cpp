// Lets a fatal fault happen under the launcher's fatal-error handlers:
//
//   e2e_fault_probe access-violation|out-of-memory --module-file HEX
//
// Before the fault it writes its own module base and image size, so that a
// test can tell whether the reported address lies inside the program.
#include "common/win32.h"

#include "launcher/fatal_error.h"
#include "tests/e2e/helpers/helper_io.h"

#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace {

void WriteModuleFacts(int argc, wchar_t** argv) {
    std::u16string path;
    if (!HexArgumentValue(argc, argv, u"--module-file", &path)) return;
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    WriteUtf8File(path, "{\"base\":" + std::to_string(reinterpret_cast<uintptr_t>(base)) +
                            ",\"size\":" + std::to_string(nt->OptionalHeader.SizeOfImage) + "}\n");
}

// Kept out of line and behind a volatile pointer so that the compiler can
// neither prove the fault away nor move it out of this module.
__attribute__((noinline)) void WriteThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 216;
}

// First one request that no allocator can meet, then, should the runtime
// somehow satisfy it, ordinary blocks until the address space is used up.
__attribute__((noinline)) void ExhaustMemory() {
    volatile size_t absurd = SIZE_MAX / 2;
    void* block = ::operator new(absurd);
    std::vector<void*> kept{block};
    for (;;) kept.push_back(::operator new (size_t{1} << 30));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    InstallFatalErrorHandlers();
    const std::u16string mode = argc > 1 ? FromWide(argv[1]) : std::u16string();
    WriteModuleFacts(argc, argv);
    if (mode == u"access-violation") WriteThroughNull();
    if (mode == u"out-of-memory") ExhaustMemory();
    return 3;
}
