#include "sharedcode/critsec.h"

CriticalSection::CriticalSection() : plat::CriticalSectionStorage() {
    plat::InitializeCriticalSectionAndSpinCount(this, kSpinCount);
}

CriticalSection::~CriticalSection() { plat::DeleteCriticalSection(this); }
