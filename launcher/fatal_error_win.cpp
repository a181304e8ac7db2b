#include "common/win32.h"

#include <exception>
#include <new>

#include "launcher/fatal_error.h"

namespace {

// A box that has not come up by then never will: the fault may have been
// taken while the loader lock or the heap lock was held, and a new thread can
// then neither start nor allocate.
constexpr DWORD kBoxStartMs = 5000;
constexpr DWORD kPollMs = 50;

DWORD WINAPI ShowRuntimeError(void* text) {
    MessageBoxW(nullptr, static_cast<const wchar_t*>(text), L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    return 0;
}

// MinGW-w64's 64-bit throw raises this code and relies on the runtime's own
// unhandled-exception filter to let it continue when nothing catches it: the
// throw then returns into the C++ runtime, which calls std::terminate, and so
// OnTerminate below. Windows offers the code to this filter, which replaces
// the runtime's, so it must let the throw continue too; mapping it here would
// report every uncaught exception, exhausted memory included, as an unknown
// fault at an address in KernelBase.
constexpr DWORD kGccThrow = 0x20474343;

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == kGccThrow &&
        (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
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

BOOL CALLBACK NoteWindow(HWND, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

// Waits for the user's answer once the box is up; a box that does not come up
// in time is given up, so that the process still ends, with its error number,
// and frees the single-instance mutex for the next start.
void AwaitAnswer(HANDLE thread, DWORD threadId) {
    for (DWORD waited = 0; waited < kBoxStartMs; waited += kPollMs) {
        if (WaitForSingleObject(thread, kPollMs) != WAIT_TIMEOUT) {
            return;
        }
        bool shown = false;
        EnumThreadWindows(threadId, NoteWindow, reinterpret_cast<LPARAM>(&shown));
        if (shown) {
            WaitForSingleObject(thread, INFINITE);
            return;
        }
    }
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
        DWORD threadId = 0;
        HANDLE thread =
            CreateThread(nullptr, 0, ShowRuntimeError, const_cast<wchar_t*>(text), 0, &threadId);
        if (thread != nullptr) {
            AwaitAnswer(thread, threadId);
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
