#include "launcher/single_instance.h"

namespace {

// Windows error codes, written out so that the decision stays portable.
constexpr uint32_t kAccessDenied = 5;    // ERROR_ACCESS_DENIED
constexpr uint32_t kAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

}  // namespace

// A copy started elevated (an installer's last step, say) creates the mutex
// with a high integrity label and an administrators-only access list, which a
// normal copy may not open at all. A mutex that exists but cannot be opened is
// still another copy's: only "no such mutex" lets this copy go on.
bool AnotherCopyHoldsMutex(bool opened, uint32_t openError) {
    return opened || openError == kAccessDenied;
}

// The same holds when two copies start in the same instant and the other one
// created the mutex first. Any other failure to create it is not another
// copy's doing, and this copy goes on without the mutex.
bool MutexTakenByThisCopy(bool created, uint32_t createError) {
    if (created) {
        return createError != kAlreadyExists;
    }
    return createError != kAccessDenied;
}
