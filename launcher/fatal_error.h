#pragma once

#include <cstdint>

// The error numbers of fatal faults; each becomes the process exit code.
inline constexpr unsigned kRuntimeErrorDivisionByZero = 200;
inline constexpr unsigned kRuntimeErrorStackOverflow = 202;
inline constexpr unsigned kRuntimeErrorOutOfMemory = 203;
inline constexpr unsigned kRuntimeErrorFloatOverflow = 205;
inline constexpr unsigned kRuntimeErrorFloatUnderflow = 206;
inline constexpr unsigned kRuntimeErrorInvalidFloatOperation = 207;
inline constexpr unsigned kRuntimeErrorIntegerOverflow = 215;
inline constexpr unsigned kRuntimeErrorAccessViolation = 216;
inline constexpr unsigned kRuntimeErrorUnhandled = 217;
inline constexpr unsigned kRuntimeErrorPrivilegedInstruction = 218;

struct RuntimeErrorText {
    char16_t text[64];
};

unsigned RuntimeErrorForException(uint32_t exceptionCode);
RuntimeErrorText FormatRuntimeError(unsigned number, uint64_t address);

// Platform side (fatal_error_win.cpp).
void InstallFatalErrorHandlers();
[[noreturn]] void FailFatally(unsigned number, uint64_t address);
