#include "common/win32.h"

#include <exception>
#include <new>

#include "launcher/fatal_error.h"

namespace {

DWORD WINAPI ShowRuntimeError(void* text) {
    MessageBoxW(nullptr, static_cast<const wchar_t*>(text), L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    FailFatally(RuntimeErrorForException(record->ExceptionCode),
                reinterpret_cast<uintptr_t>(record->ExceptionAddress));
}

void OnOutOfMemory() {
    FailFatally(kRuntimeErrorOutOfMemory, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

// Memory that runs out outside operator new (a container's reallocation)
// arrives here as std::bad_alloc, and is reported as exhausted memory too.
void OnTerminate() {
    unsigned number = kRuntimeErrorUnhandled;
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            number = kRuntimeErrorOutOfMemory;
        } catch (...) {
        }
    }
    FailFatally(number, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

}  // namespace

// The box is shown from a thread of its own: the faulting thread may have no
// stack left (a stack overflow) to run a message box on. The process then ends
// at once, so that no clean-up code can run into the same fault again.
void FailFatally(unsigned number, uint64_t address) {
    static LONG failing = 0;
    if (InterlockedExchange(&failing, 1) == 0) {
        const RuntimeErrorText message = FormatRuntimeError(number, address);
        const wchar_t* text = reinterpret_cast<const wchar_t*>(message.text);
        HANDLE thread = CreateThread(nullptr, 0, ShowRuntimeError, const_cast<wchar_t*>(text), 0, nullptr);
        if (thread != nullptr) {
            WaitForSingleObject(thread, INFINITE);
        } else {
            ShowRuntimeError(const_cast<wchar_t*>(text));
        }
    }
    TerminateProcess(GetCurrentProcess(), number);
    for (;;) {
        Sleep(INFINITE);
    }
}

// Operator new never returns null and never throws here: exhausted memory is a
// fatal fault like an access violation.
void InstallFatalErrorHandlers() {
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::set_new_handler(OnOutOfMemory);
    std::set_terminate(OnTerminate);
}
