#include "launcher/fatal_error.h"

#include <cstddef>
#include <iterator>

namespace {

// Appends to a fixed, zero-terminated buffer and drops what does not fit.
class FixedWriter {
public:
    explicit FixedWriter(RuntimeErrorText& out) : out_(out) {}

    void Put(char16_t c) {
        if (length_ + 1 < std::size(out_.text)) {
            out_.text[length_++] = c;
            out_.text[length_] = 0;
        }
    }
    void Put(const char* ascii) {
        for (; *ascii != 0; ++ascii) {
            Put(static_cast<char16_t>(*ascii));
        }
    }

private:
    RuntimeErrorText& out_;
    std::size_t length_ = 0;
};

}  // namespace

// Windows exception codes, written out so that this mapping stays portable.
unsigned RuntimeErrorForException(uint32_t exceptionCode) {
    switch (exceptionCode) {
        case 0xC0000005:  // EXCEPTION_ACCESS_VIOLATION
        case 0xC0000006:  // EXCEPTION_IN_PAGE_ERROR
            return kRuntimeErrorAccessViolation;
        case 0xC00000FD:  // EXCEPTION_STACK_OVERFLOW
            return kRuntimeErrorStackOverflow;
        case 0xC0000094:  // EXCEPTION_INT_DIVIDE_BY_ZERO
        case 0xC000008E:  // EXCEPTION_FLT_DIVIDE_BY_ZERO
            return kRuntimeErrorDivisionByZero;
        case 0xC0000095:  // EXCEPTION_INT_OVERFLOW
            return kRuntimeErrorIntegerOverflow;
        case 0xC0000091:  // EXCEPTION_FLT_OVERFLOW
            return kRuntimeErrorFloatOverflow;
        case 0xC0000093:  // EXCEPTION_FLT_UNDERFLOW
            return kRuntimeErrorFloatUnderflow;
        case 0xC0000090:  // EXCEPTION_FLT_INVALID_OPERATION
            return kRuntimeErrorInvalidFloatOperation;
        case 0xC0000096:  // EXCEPTION_PRIV_INSTRUCTION
            return kRuntimeErrorPrivilegedInstruction;
        case 0xC0000017:  // STATUS_NO_MEMORY
            return kRuntimeErrorOutOfMemory;
        default:
            return kRuntimeErrorUnhandled;
    }
}

// Built in a fixed buffer, without the heap: the heap may be what failed.
// Sixteen hex digits, since eight cannot hold a 64-bit address.
RuntimeErrorText FormatRuntimeError(unsigned number, uint64_t address) {
    RuntimeErrorText out{};
    FixedWriter writer(out);
    writer.Put("Runtime error ");
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) {
        writer.Put(static_cast<char16_t>(digits[--count]));
    }
    writer.Put(" at $");
    for (int shift = 60; shift >= 0; shift -= 4) {
        writer.Put(static_cast<char16_t>("0123456789ABCDEF"[(address >> shift) & 0xF]));
    }
    return out;
}
