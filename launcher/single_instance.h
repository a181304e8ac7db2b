#pragma once

#include <cstdint>

bool AnotherCopyHoldsMutex(bool opened, uint32_t openError);
bool MutexTakenByThisCopy(bool created, uint32_t createError);
